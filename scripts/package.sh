#!/usr/bin/env bash
# Builds the Debian package, installs it with apt and runs the installed
# command line against an emulated enclosure.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${QKS_PRESET:-default}"
build_dir=build
[ "$preset" = default ] || build_dir="build-$preset"
scripts/build.sh "$preset"
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/qks970-recovery_*.deb | head -n 1)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 "./$deb"
/usr/bin/qks970 --version
/usr/bin/qks970 --emulate q970 --virtual-time list
