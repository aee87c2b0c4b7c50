#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build-fuzz and runs
# each from its seed corpus in fuzz/corpus/NAME for a bounded number of runs
# or seconds, whichever ends first. New inputs go to build-fuzz/corpus/NAME,
# never into the seeds; a crash leaves its input in build-fuzz/artifacts/.
#   scripts/fuzz.sh                       every fuzzer
#   scripts/fuzz.sh chip_id transport     some of them
#   FUZZ_RUNS=20000 FUZZ_SECONDS=60 scripts/fuzz.sh
#   QKS_FUZZ_RESEED=1 scripts/fuzz.sh     rewrite fuzz/corpus from the emulator first
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

runs="${FUZZ_RUNS:-200000}"
seconds="${FUZZ_SECONDS:-30}"
all=(description firmware_file chip_id transport)
names=("$@")
[ ${#names[@]} -gt 0 ] || names=("${all[@]}")

if ! command -v clang++ >/dev/null || ! clang++ -fsanitize=fuzzer -x c++ - -o /dev/null \
       <<<'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
       2>/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 clang libclang-rt-14-dev
fi

build=build-fuzz
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQKS_SANITIZE=ON -DQKS_BUILD_FUZZERS=ON \
  -DQKS_BUILD_TESTS=OFF -DQKS_BUILD_BENCHMARKS=OFF -DQKS_BUILD_QT=OFF \
  -DQKS_PLATFORM_LINUX=OFF >/dev/null
targets=(make_seeds)
for name in "${names[@]}"; do targets+=("fuzz_$name"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
built=$SECONDS

if [ "${QKS_FUZZ_RESEED:-0}" = 1 ] || [ ! -d fuzz/corpus/chip_id ]; then
  "$build/fuzz/make_seeds" fuzz/corpus
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/artifacts" "$build/logs"
failed=0
summary=()
for name in "${names[@]}"; do
  extra=()
  case "$name" in
    description) extra=(-dict=fuzz/description.dict -max_len=256) ;;
    firmware_file) extra=(-max_len=20000) ;;
    chip_id) extra=(-max_len=2048) ;;
    transport) extra=(-max_len=4096) ;;
  esac
  mkdir -p "$build/corpus/$name"
  log="$build/logs/$name.log"
  t0=$SECONDS
  set +e
  "$build/fuzz/fuzz_$name" -runs="$runs" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" "${extra[@]}" \
    "$build/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  set -e
  done_runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  corpus=$(sed -n 's/.*corp: \([0-9]*\)\/.*/\1/p' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' "$log" | tail -1)
  if [ $rc -eq 0 ] && [ -n "$done_runs" ]; then
    summary+=("$(printf '%-14s %9s crash-free runs in %3d s  (coverage %s, corpus %s)' \
      "$name" "$done_runs" $((SECONDS - t0)) "${cov:-?}" "${corpus:-?}")")
  else
    failed=1
    summary+=("$(printf '%-14s FAILED (exit %d) after %d s: see %s' "$name" $rc $((SECONDS - t0)) "$log")")
    grep -m3 -E 'ERROR|SUMMARY|Test unit written' "$log" | sed 's/^/    /' || true
  fi
done
echo "== fuzzing (build $((built - start)) s, total $((SECONDS - start)) s)"
printf '%s\n' "${summary[@]}"
exit $failed
