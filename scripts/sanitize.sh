#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer (the asan
# preset: Debug, no benchmarks) and runs every test under them. Any report
# fails the run: the preset builds with -fno-sanitize-recover=all.
#   scripts/sanitize.sh            configure, build, test
#   QKS_SKIP_DEPS=1 scripts/sanitize.sh   without the apt check
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
[ "${QKS_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh

jobs="$(nproc)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
built=$SECONDS

export QT_QPA_PLATFORM=offscreen
# Leaks count as faults; UBSan prints where, not only what.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"
ctest --preset asan -j "$jobs"
echo "sanitize: build $((built - start)) s, tests $((SECONDS - built)) s, total $((SECONDS - start)) s"
