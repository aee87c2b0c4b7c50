#!/usr/bin/env bash
# The main job on a machine without a bridge: recover an emulated QKS970
# enclosure end to end. Its flash lives in a file, so the second listing
# sees what the recovery wrote, as after a power cycle.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
preset="${QKS_PRESET:-default}"
scripts/build.sh "$preset"
build_dir=build
[ "$preset" = default ] || build_dir="build-$preset"
qks970="$build_dir/faces/cli/qks970"

flash="${QKS_DEMO_FLASH:-$build_dir/demo-enclosure.bin}"
rm -f "$flash"
enclosure="q970:flash=$flash"

echo "== qks970 list"
"$qks970" --emulate "$enclosure" list
echo
echo "== qks970 recover --yes"
"$qks970" --emulate "$enclosure" recover --yes
echo
echo "== qks970 list (after the power cycle)"
"$qks970" --emulate "$enclosure" list
