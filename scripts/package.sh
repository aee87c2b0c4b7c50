#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, installs it with apt and
# runs the installed command line: the images it carries, an emulated
# enclosure, and an image file put where the package looks for images.
#
#   QKS_PACKAGE_ONLY=1 scripts/package.sh   skip the build: package the tree
#                                           as it is (qks970 and qks970-recovery
#                                           must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${QKS_PRESET:-default}"
build_dir=build
[ "$preset" = default ] || build_dir="build-$preset"
[ -n "${QKS_PACKAGE_ONLY:-}" ] || scripts/build.sh "$preset"
rm -f "$build_dir"/qks970-recovery_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/qks970-recovery_*.deb | head -n 1)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_get() { $sudo apt-get -y -qq -o DPkg::Lock::Timeout=600 "$@"; }

if ! command -v lintian >/dev/null; then
  apt_get install --no-install-recommends lintian >/dev/null
fi
for tool in appstreamcli:appstream desktop-file-validate:desktop-file-utils; do
  command -v "${tool%%:*}" >/dev/null || apt_get install --no-install-recommends "${tool##*:}" >/dev/null
done
# What software centres and menus read, as the distributions check it.
appstreamcli validate --no-net packaging/*.metainfo.xml ||
  { echo "package.sh: the AppStream metainfo does not validate" >&2; exit 1; }
desktop-file-validate resources/qks970-recovery.desktop ||
  { echo "package.sh: the desktop entry does not validate" >&2; exit 1; }
# Errors and warnings fail the package; the kept informational tags are
# listed in the README.
lintian --fail-on error,warning "$deb" 2>&1 | grep -v "running with root privileges" || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || { echo "package.sh: lintian failed" >&2; exit 1; }

apt_get install "./$deb"
/usr/bin/qks970 --version
test -f /usr/lib/udev/rules.d/70-qks970.rules
test -f /usr/share/bash-completion/completions/qks970
test -f /usr/share/zsh/vendor-completions/_qks970
test -f /usr/share/metainfo/invalid.qks970.recovery.metainfo.xml
/usr/bin/qks970 images
/usr/bin/qks970 --emulate q970 --virtual-time list

# An image file in the package's folder takes the place of the built-in one;
# a file that fails its check is listed as refused and stops only what would
# write it (status 2).
images=/usr/share/qks970-recovery/images
placed=$images/FW719.bin
[ ! -e "$placed" ] || { echo "package.sh: $placed is there already; not touching it" >&2; exit 1; }
cleanup() { $sudo rm -f "$placed"; }
trap cleanup EXIT
$sudo cp "$build_dir/images/FW719.bin" "$placed"
listing=$(/usr/bin/qks970 images)
echo "$listing"
echo "$listing" | grep -q "^FW719 .* $placed\$" || { echo "package.sh: images does not list $placed" >&2; exit 1; }
echo "not an image" | $sudo tee "$placed" >/dev/null
/usr/bin/qks970 images | grep -q "^FW719 .* refused .*$placed: " ||
  { echo "package.sh: images does not list a damaged $placed as refused" >&2; exit 1; }
/usr/bin/qks970 --emulate q970 --virtual-time list >/dev/null 2>"$build_dir/package-refused.err" ||
  { echo "package.sh: a damaged $placed stopped list, which does not use it" >&2; exit 1; }
grep -q "$placed" "$build_dir/package-refused.err" ||
  { echo "package.sh: list did not warn of the damaged $placed" >&2; exit 1; }
status=0
/usr/bin/qks970 --emulate q719 --virtual-time run --yes --firmware "$build_dir/images/FW719.bin" \
  >/dev/null 2>"$build_dir/package-refused.err" || status=$?
[ "$status" -eq 2 ] && grep -q "$placed" "$build_dir/package-refused.err" ||
  { echo "package.sh: run with a damaged $placed was not refused with status 2 (got $status)" >&2; exit 1; }
cleanup
listing=$(/usr/bin/qks970 images)
echo "$listing" | grep -q "^FW719 .* built in\$" || { echo "package.sh: FW719 is not built in again" >&2; exit 1; }
echo "package.sh: $deb installed and checked"
