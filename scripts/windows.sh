#!/usr/bin/env bash
# The 32-bit Windows build, made and tested on Debian 12 with MinGW-w64 and
# Wine: installs what it needs, makes the development firmware images with
# the host's compiler, cross-builds into build-win, runs every test program
# under Wine, and recovers an emulated bridge through the real Win32 window
# (qks970-recovery.exe --emulate q970 --self-test) under Xvfb.
#   scripts/windows.sh            everything
#   QKS_WIN_SKIP_INSTALL=1 ...    without looking at the packages
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

install_packages() {
  local packages=(
    cmake ninja-build g++ pkg-config
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    googletest nlohmann-json3-dev
    wine wine32:i386 xvfb xauth
  )
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  export DEBIAN_FRONTEND=noninteractive
  # wine32 is an i386 package: the architecture has to be known first.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

[ "${QKS_WIN_SKIP_INSTALL:-0}" = 1 ] || install_packages

echo "== development firmware images (host compiler)"
images=$root/build-dev-images/images
mkdir -p "$images"
c++ -std=c++20 -O2 -o build-dev-images/make_dev_images tools/make_dev_images.cpp
build-dev-images/make_dev_images "$images"

echo "== cross build (i686-w64-mingw32)"
cmake -S . -B build-win -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DQKS_FIRMWARE_DIR="$images" \
  -DQKS_BUILD_QT=OFF -DQKS_BUILD_BENCHMARKS=OFF -DQKS_PLATFORM_LINUX=OFF \
  -DQKS_WERROR="${QKS_WERROR:-OFF}" >/dev/null
cmake --build build-win

echo "== imports of qks970-recovery.exe (system DLLs only)"
exe=build-win/faces/win32/qks970-recovery.exe
imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "$imports" | tr '\n' ' '; echo
unexpected=$(echo "$imports" | grep -vxE 'kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|setupapi.dll|bcrypt.dll|msvcrt.dll|advapi32.dll|shell32.dll|ole32.dll' || true)

# A prefix of our own, made once; no Mono or Gecko installers popping up.
export WINEPREFIX=$root/build-win/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
[ -d "$WINEPREFIX" ] || wineboot --init >/dev/null 2>&1 || true

passed=0
failed=0
report=()

# A Wine server outlives its last program by a few seconds and keeps the
# display it started with; a program started meanwhile under a new Xvfb
# would meet a desktop on a display that is gone. Each run waits for it.
settle() { wineserver -w 2>/dev/null || true; }

# One GoogleTest program under Wine; its counts join the totals.
# Each runs in a folder of its own: a test that writes or cleans up files
# relative to where it was started must not meet the source tree.
run_gtest() {
  local name=$1 exe=$root/$2 display=$3 log=build-win/$1.log status=0 ok bad
  local t0=$(date +%s) work=build-win/run/$1
  rm -rf "$work"
  mkdir -p "$work"
  settle
  if [ "$display" = yes ]; then
    (cd "$work" && xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe") >"$log" 2>&1 || status=$?
  else
    (cd "$work" && wine "$exe") >"$log" 2>&1 || status=$?
  fi
  # Windows programs end their lines with CR LF.
  ok=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' | tail -1)
  bad=$(tr -d '\r' <"$log" | sed -n 's/^ *\([0-9]*\) FAILED TESTS\?$/\1/p' | tail -1)
  ok=${ok:-0}
  bad=${bad:-0}
  # A program that died before its summary counts as one failure.
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  if [ "$ok" -eq 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  passed=$((passed + ok))
  failed=$((failed + bad))
  report+=("$(printf '%-16s %4d passed %3d failed  %4ds  (%s)' "$name" "$ok" "$bad" $(( $(date +%s) - t0 )) "$log")")
  [ "$bad" -eq 0 ] || grep -E '^\[  FAILED  \]|Failure$' "$log" | head -20 || true
}

echo "== tests under Wine"
for t in test_device test_firmware test_emulator test_app test_campaign; do
  run_gtest "$t" "build-win/tests/$t.exe" no
done
run_gtest test_windows build-win/platform/windows/test_windows.exe yes

echo "== the window recovers an emulated bridge (--self-test)"
self_log=build-win/self-test.log
t0=$(date +%s)
status=0
settle
(cd build-win/faces/win32 &&
  xvfb-run -a -s "-screen 0 1024x768x24" wine qks970-recovery.exe --emulate q970 --self-test) \
  >"$self_log" 2>&1 || status=$?
ok=$(tr -d '\r' <"$self_log" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' | tail -1)
bad=$(tr -d '\r' <"$self_log" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' | tail -1)
ok=${ok:-0}
bad=${bad:-1}
if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
grep '^FAILED' "$self_log" || true
passed=$((passed + ok))
failed=$((failed + bad))
report+=("$(printf '%-16s %4d passed %3d failed  %4ds  (%s)' self-test "$ok" "$bad" $(( $(date +%s) - t0 )) "$self_log")")

if [ -n "$unexpected" ]; then
  echo "qks970-recovery.exe imports non-system DLLs: $unexpected"
  failed=$((failed + 1))
fi

echo "== summary"
printf '%s\n' "${report[@]}"
echo "scripts/windows.sh took $(( $(date +%s) - started ))s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
