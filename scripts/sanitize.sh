#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer (the asan
# preset: Debug, no benchmarks, build-asan) and runs every test under them.
# Any report fails the run: the preset builds with -fno-sanitize-recover=all.
#   scripts/sanitize.sh                        configure, build, run every test
#   scripts/sanitize.sh -E internal_rom        extra arguments go to ctest
#   QKS_SKIP_DEPS=1 scripts/sanitize.sh        without the apt check
# The sanitized code is built at -O1, as the sanitizers' own guides advise:
# the tests run about 2.5 times faster than at -O0 and reports keep their
# line numbers. The tests' own code and the command line's parsing stay at
# -O0 (see qks_unoptimized_test_code in CMakeLists.txt): at -O1 they took
# most of the build's time and little of the run's. Line tables (-g1) are all a report needs and compile much
# faster than full debug information.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
[ "${QKS_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh

jobs="$(nproc)"
cmake --preset asan -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" >/dev/null
cmake --build --preset asan -j "$jobs"
built=$SECONDS

export QT_QPA_PLATFORM=offscreen
# Leaks count as faults; UBSan prints where, not only what.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"
status=0
ctest --preset asan -j "$jobs" "$@" || status=$?
echo "sanitize: build $((built - start)) s, tests $((SECONDS - built)) s, total $((SECONDS - start)) s"

# Operations run side by side on the bench: the operation, emulator and
# command-line tests once more under ThreadSanitizer.
tsan_start=$SECONDS
cmake --preset tsan -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" >/dev/null
cmake --build --preset tsan -j "$jobs"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}halt_on_error=1:second_deadlock_stack=1"
tsan_status=0
for t in test_operations test_emulator test_cli; do
  build-tsan/tests/$t --gtest_brief=1 || tsan_status=$?
done
echo "thread sanitizer: $((SECONDS - tsan_start)) s"
[ $status -eq 0 ] || exit $status
exit $tsan_status
