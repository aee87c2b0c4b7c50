#!/usr/bin/env bash
# The 32-bit Windows build, made and tested on Debian 12 with MinGW-w64 and
# Wine: installs what it needs, makes the development firmware images with
# the host's compiler, cross-builds qks970-recovery.exe, qks970.exe and the
# test programs into build-win, runs every test program under Wine, lets the
# window recover an emulated bridge through its own controls (--self-test),
# and then once more as a person would: a click on YES in a window on Wine's
# virtual desktop, the success screen read back, and screenshots of both
# screens in build-win/screens.
#   scripts/windows.sh            everything
#   QKS_WIN_SKIP_INSTALL=1 ...    without looking at the packages
#   QKS_WERROR=ON|OFF ...         warnings as errors (default: ON when CI=true)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$(date +%s)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [ -z "${QKS_WERROR:-}" ]; then
  if [ "${CI:-}" = true ]; then QKS_WERROR=ON; else QKS_WERROR=OFF; fi
fi

install_packages() {
  local packages=(
    cmake ninja-build g++
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    googletest nlohmann-json3-dev libcli11-dev
    wine wine32:i386 fonts-wine fonts-liberation
    xvfb xdotool imagemagick
  )
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # wine32 is an i386 package: the architecture has to be known first.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 \
    "${missing[@]}" >/dev/null
}

[ "${QKS_WIN_SKIP_INSTALL:-0}" = 1 ] || install_packages
echo "== packages ready after $(( $(date +%s) - started ))s"

echo "== development firmware images (host compiler)"
images=$root/build-dev-images/images
mkdir -p "$images"
if [ ! -x build-dev-images/make_dev_images ] ||
   [ tools/make_dev_images.cpp -nt build-dev-images/make_dev_images ]; then
  c++ -std=c++20 -O2 -o build-dev-images/make_dev_images tools/make_dev_images.cpp
fi
build-dev-images/make_dev_images "$images"

# The Wine prefix is made while the compiler runs: both take a while, and
# neither needs the other.
export WINEPREFIX=$root/build-win/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="   # no Mono or Gecko installers popping up
mkdir -p build-win
prefix_log=build-win/wine-prefix.log
prefix_job=""
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (wineboot --init >"$prefix_log" 2>&1; wineserver -w) &
  prefix_job=$!
fi

echo "== cross build (i686-w64-mingw32, warnings as errors: $QKS_WERROR)"
cmake -S . -B build-win -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DQKS_FIRMWARE_DIR="$images" \
  -DQKS_BUILD_QT=OFF -DQKS_BUILD_BENCHMARKS=OFF -DQKS_PLATFORM_LINUX=OFF \
  -DQKS_WERROR="$QKS_WERROR" >/dev/null
# Only what runs below.
test_programs=(test_device test_firmware test_operations test_emulator test_app test_cli test_windows test_campaign)
cmake --build build-win --target qks970-recovery qks970 window_probe "${test_programs[@]}"
echo "== built after $(( $(date +%s) - started ))s"

passed=0
failed=0
report=()
count() {   # name passed failed seconds log
  passed=$((passed + $2))
  failed=$((failed + $3))
  report+=("$(printf '%-16s %4d passed %3d failed  %4ds  (%s)' "$1" "$2" "$3" "$4" "$5")")
}

for exe in build-win/faces/win32/qks970-recovery.exe build-win/faces/cli/qks970.exe; do
  name=$(basename "$exe")
  echo "== imports of $name (system DLLs only)"
  imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
  echo "$imports" | tr '\n' ' '; echo
  unexpected=$(echo "$imports" | grep -vxE 'kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|setupapi.dll|bcrypt.dll|msvcrt.dll|advapi32.dll|shell32.dll|ole32.dll' || true)
  if [ -n "$unexpected" ]; then
    echo "$name imports DLLs that are not the system's: $unexpected"
    count "imports $name" 0 1 0 "$exe"
  fi
done

if [ -n "$prefix_job" ] && ! wait "$prefix_job"; then
  echo "wineboot --init failed in $WINEPREFIX (see $prefix_log)"
fi
# Debian's Wine does not find the fonts of fonts-wine by itself: without
# Marlett the title bar's buttons come out as letters. The prefix gets them.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -u /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null ||
  echo "warning: no fonts in /usr/share/wine/fonts (fonts-wine); the screenshots will lack them"

# One X display and one Wine server for every program: a Wine server keeps
# the display it started with, and starting one per program costs seconds.
# Both end with the script.
xvfb_log=build-win/xvfb.log
exec 5< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>"$xvfb_log")
xvfb_pid=$!
read -r -t 30 display <&5 || { echo "Xvfb did not start (see $xvfb_log)"; exit 1; }
export DISPLAY=:$display
cleanup() {
  wineserver -k 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
wineserver -p30    # stays up between programs, and 30 s after the last

# One GoogleTest program under Wine, its log in build-win/NAME.log.
# Each runs in a folder of its own: a test that writes or cleans up files
# relative to where it was started must not meet the source tree.
# Programs that open windows run on a virtual desktop of Wine's: without a
# window manager on the display, Wine waits about two seconds for each
# window it hides or destroys; on its own desktop it manages them itself.
gtest_run() {
  local name=$1 exe=$root/$2 desktop=${3:-} log=build-win/$1.log status=0
  local t0=$(date +%s) work=build-win/run/$1
  rm -rf "$work"
  mkdir -p "$work"
  if [ -n "$desktop" ]; then
    (cd "$work" && wine explorer "/desktop=$desktop,1024x768" "$exe") >"$log" 2>&1 || status=$?
  else
    (cd "$work" && wine "$exe") >"$log" 2>&1 || status=$?
  fi
  echo "$status $(( $(date +%s) - t0 ))" >"build-win/$name.status"
}

# Its counts join the totals.
gtest_count() {
  local name=$1 log=build-win/$1.log status seconds ok bad
  read -r status seconds <"build-win/$name.status" || { status=1; seconds=0; }
  # Windows programs end their lines with CR LF.
  ok=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' | tail -1)
  bad=$(tr -d '\r' <"$log" | sed -n 's/^ *\([0-9]*\) FAILED TESTS\?$/\1/p' | tail -1)
  ok=${ok:-0}
  bad=${bad:-0}
  # A program that died before its summary counts as one failure.
  if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  if [ "$ok" -eq 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
  count "$name" "$ok" "$bad" "$seconds" "$log"
  if [ "$bad" -ne 0 ]; then
    echo "$name: $bad failed (exit status $status), see $log"
    tr -d '\r' <"$log" | grep -E '^\[  FAILED  \]|Failure$|Unhandled' | head -20 || true
  fi
}

# The fault campaign, the longest and busy on one core only, runs beside
# the rest; the others go from the bottom layer up, so that a fault shows
# first where it is.
echo "== tests under Wine"
gtest_run test_campaign build-win/tests/test_campaign.exe &
campaign_job=$!
for t in "${test_programs[@]}"; do
  case $t in
    test_campaign) ;;
    test_windows) gtest_run "$t" build-win/platform/windows/test_windows.exe tests; gtest_count "$t" ;;
    *) gtest_run "$t" "build-win/tests/$t.exe"; gtest_count "$t" ;;
  esac
done

echo "== the window recovers an emulated bridge (--self-test)"
self_log=build-win/self-test.log
t0=$(date +%s)
status=0
(cd build-win/faces/win32 && wine qks970-recovery.exe --emulate q970 --self-test --virtual-time) \
  >"$self_log" 2>&1 || status=$?
ok=$(tr -d '\r' <"$self_log" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' | tail -1)
bad=$(tr -d '\r' <"$self_log" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' | tail -1)
ok=${ok:-0}
bad=${bad:-1}
if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; fi
tr -d '\r' <"$self_log" | grep '^FAILED' || true
count self-test "$ok" "$bad" $(( $(date +%s) - t0 )) "$self_log"

# The window as a person meets it: on Wine's virtual desktop, where Wine
# draws the title bar itself. xdotool finds the window and clicks; the
# controls of a Wine window are no X windows, so window_probe
# (tests/windows/probe) reads their places and texts from inside Wine.
# The emulated enclosure's flash is a file, so the command line can tell
# afterwards, by itself, whether the recovery wrote it.
gui_title="Tavrel QKS970 Firmware Update Utility v0.1"   # the form description's caption
gui_work=$root/build-win/run/gui-check
screens=$root/build-win/screens

gui_look() {
  wine "$root/build-win/platform/windows/window_probe.exe" --desktop qks "$gui_title" 2>&1 | tr -d '\r'
}

# Waits up to $1 seconds for the window to show a visible control whose
# class and text are $2; the probe's last answer stays in $gui_seen.
gui_wait_for() {
  local seconds=$1 wanted=$2 tries
  for tries in $(seq 1 $((seconds * 4))); do
    gui_seen=$(gui_look || true)
    if echo "$gui_seen" | grep -q "^control visible [-0-9]* [-0-9]* [0-9]* [0-9]* $wanted *\$"; then
      return 0
    fi
    sleep 0.25
  done
  echo "after ${seconds}s the window shows no '$wanted'; it shows:"
  echo "$gui_seen" | grep -E '^(window|control visible)' || true
  return 1
}

# The centre of the visible control of class and text $1, in screen pixels.
gui_centre_of() {
  echo "$gui_seen" | awk -v wanted="$1" '$1 == "control" && $2 == "visible" {
      text = $7; for (i = 8; i <= NF; i++) text = text " " $i
      if (text == wanted) { print $3 + int($5 / 2), $4 + int($6 / 2); exit } }'
}

# Saves the rectangle "X Y W H" of the screen as $2.
gui_shoot() {
  local x y w h
  read -r x y w h <<<"$1"
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
}

gui_click() {
  local at
  at=$(gui_centre_of "$1")
  [ -n "$at" ] || { echo "no visible '$1' to click"; return 1; }
  echo "click on '$1' at $at"
  # shellcheck disable=SC2086
  xdotool mousemove $at click 1
}

gui_check() {
  rm -rf "$gui_work"
  mkdir -p "$gui_work" "$screens"
  rm -f "$screens"/win32-*.png
  local flash="Z:$gui_work/q970.bin" window="" tries designed listing
  (cd "$gui_work" &&
    exec wine explorer /desktop=qks,1024x768 "$root/build-win/faces/win32/qks970-recovery.exe" \
      --emulate "q970:flash=$flash" --virtual-time) &
  local gui=$!

  for tries in $(seq 1 120); do
    window=$(xdotool search --name "^$gui_title\$" 2>/dev/null | head -1 || true)
    [ -n "$window" ] && break
    sleep 0.25
  done
  [ -n "$window" ] || { echo "xdotool found no window titled '$gui_title' within 30s"; return 1; }
  echo "xdotool found '$(xdotool getwindowname "$window")' (X window $window)"

  gui_wait_for 30 "Static Please ensure to update the firmware" || return 1
  gui_wait_for 5 "Button YES" || return 1
  # The designed area is the window's first panel, the controls' parent.
  designed=$(echo "$gui_seen" | awk '$1 == "control" && $2 == "visible" && $7 == "QksRecoveryPanel" {
      print $3, $4, $5, $6; exit }')
  gui_shoot "$(echo "$gui_seen" | awk '$1 == "window" {print $2, $3, $4, $5}')" "$screens/win32-window.png"
  gui_shoot "$designed" "$screens/win32-confirm.png"

  gui_click "Button YES" || return 1
  gui_wait_for 60 "Static Please un-plug AC adapter" || return 1
  gui_wait_for 5 "Static and plug it again" || return 1
  gui_shoot "$designed" "$screens/win32-success.png"
  echo "the window shows Success"

  listing=$(wine "$root/build-win/faces/cli/qks970.exe" --emulate "q970:flash=$flash" list 2>&1 | tr -d '\r')
  echo "$listing"
  echo "$listing" | grep -q '^  updated: *yes' ||
    { echo "qks970 list does not find the firmware in the emulated flash $flash"; return 1; }

  gui_wait_for 5 "Button EXIT" || return 1
  gui_click "Button EXIT" || return 1
  for tries in $(seq 1 120); do
    gui_look >/dev/null || break
    sleep 0.25
  done
  if gui_look >/dev/null; then echo "EXIT did not close the window"; return 1; fi
  echo "EXIT closed the window"
  # The desktop goes with its last window.
  for tries in $(seq 1 40); do
    kill -0 "$gui" 2>/dev/null || return 0
    sleep 0.25
  done
  echo "(the virtual desktop is still open; it ends with the Wine server)"
}

echo "== a click on YES in the window on Wine's virtual desktop"
t0=$(date +%s)
gui_log=build-win/gui-check.log
if gui_check >"$gui_log" 2>&1; then
  count gui-check 1 0 $(( $(date +%s) - t0 )) "$gui_log"
  echo "screenshots: $(ls build-win/screens/win32-*.png | tr '\n' ' ')"
else
  count gui-check 0 1 $(( $(date +%s) - t0 )) "$gui_log"
  import -window root "$screens/gui-check-failure.png" 2>/dev/null || true
  echo "gui-check failed; the screen is in $screens/gui-check-failure.png"
  tail -20 "$gui_log"
fi

wait "$campaign_job" || true
gtest_count test_campaign

echo "== summary"
printf '%s\n' "${report[@]}"
echo "scripts/windows.sh took $(( $(date +%s) - started ))s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
