#!/usr/bin/env bash
# Builds in Release (build-perf), runs the recovery benchmarks and times one
# `qks970 recover` on an emulated enclosure, and writes docs/performance.md.
#   scripts/perf.sh
#   QKS_SKIP_DEPS=1 scripts/perf.sh      without the apt check
#   PERF_MIN_TIME=0.5 scripts/perf.sh    seconds per benchmark (default 0.2)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
[ "${QKS_SKIP_DEPS:-0}" = 1 ] || scripts/install-deps.sh

build=build-perf
doc=docs/performance.md
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQKS_BUILD_TESTS=OFF -DQKS_BUILD_QT=OFF -DQKS_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_recovery run_measured qks970

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== bench_recovery"
"$build/bench/bench_recovery" --benchmark_min_time="${PERF_MIN_TIME:-0.2}" \
  --markdown="$work/bench.md"

# One recovery from the command line, as an operator runs it; its backup
# copy goes to a scratch folder, not the user's. The run takes a few
# milliseconds, below the 10 ms steps of /usr/bin/time: bench/run_measured
# (wait4 rusage, steady clock) gives the times, /usr/bin/time -v (where it
# exists) a second reading of the peak memory.
cli=("$build/faces/cli/qks970" --emulate q970 --virtual-time recover --yes)
have_time=0
[ -x /usr/bin/time ] && /usr/bin/time -v true >/dev/null 2>&1 && have_time=1
field() { sed -n "s/^[[:space:]]*$1: *//p" "$2" | tail -1; }
echo "== ${cli[*]} (5 runs)"
rows=""
for run in 1 2 3 4 5; do
  mkdir -p "$work/backups$run" "$work/again$run"
  set +e
  QKS970_BACKUP_DIR="$work/backups$run" "$build/bench/run_measured" "${cli[@]}" \
    >"$work/cli.out" 2>"$work/rusage.txt"
  rc=$?
  gnu_rss="-"
  if [ $have_time = 1 ]; then
    QKS970_BACKUP_DIR="$work/again$run" /usr/bin/time -v -o "$work/time.txt" "${cli[@]}" \
      >/dev/null 2>&1
    gnu_rss=$(field 'Maximum resident set size (kbytes)' "$work/time.txt")
  fi
  set -e
  wall=$(field 'Elapsed (wall clock) seconds' "$work/rusage.txt")
  user=$(field 'User time (seconds)' "$work/rusage.txt")
  sys=$(field 'System time (seconds)' "$work/rusage.txt")
  rss=$(field 'Maximum resident set size (kbytes)' "$work/rusage.txt")
  rows+="| $run | $rc | $wall | $user | $sys | $rss | $gnu_rss |"$'\n'
  echo "run $run: exit $rc, wall $wall s, user $user s, sys $sys s, peak $rss KiB (/usr/bin/time: $gnu_rss KiB)"
done
sed 's/^/    /' "$work/cli.out" | tail -6
# Once more with a trace: the emulated time is where the last command ended.
mkdir -p "$work/traced"
QKS970_BACKUP_DIR="$work/traced" "$build/faces/cli/qks970" --trace "$work/trace.jsonl" \
  --emulate q970 --virtual-time recover --yes >/dev/null 2>&1 || true
traced_commands=$(wc -l <"$work/trace.jsonl")
traced_ms=$(tail -1 "$work/trace.jsonl" |
  sed -n 's/.*"time_us":\([0-9]*\),"duration_us":\([0-9]*\).*/\1 \2/p' |
  { read -r t d; echo "$(( (t + d) / 1000 )).$(( (t + d) % 1000 / 100 ))"; })

cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -z "$(git status --porcelain 2>/dev/null)" ] || commit="$commit with local changes"
{
  cat <<'TEXT'
# Performance

Figures for the recovery of the QKS970/958 (chip type 10) on the emulator,
written by `scripts/perf.sh` (Release build in `build-perf`). The emulator
charges every command the time the hardware would take (`emulator/timing.h`):
1 ms per command, 35 MB/s of payload, sector, half-block and block erases of
45, 120 and 150 ms, 0.7 ms per 256-byte page programmed. Under a virtual
clock, the clock reading after a run is how long the run would take on a
real enclosure; the host's own CPU time is measured separately.

## How the figures are made

`bench/bench_recovery.cpp` builds the window model (`TQ71xFwTool`) over
`emu::EmulatorPlatform` with a `VirtualClock`, lets its refresh reach the
Confirm screen, and clicks YES (the update button). Each row is one emulated
bridge: `q970:blockmode=1,vendor=N` takes the block-update path
(`UpdateFlashImage`, the second command family in 8 KB blocks),
`q970:vendor=N` the programming path (`ProgramEmbeddedImage`, the first
command family). No backup folder is set, so no backup copy is read.

- **emulated ms**: virtual clock after the click minus before.
- **bound ms**: the least time the same timing model allows for the work the
  flow must do:
  - erase: the 64 KB in the part's large erase units
    (`emu::VendorEraseUnits(vendor).large`: 32 KB for codes 0-2, 64 KB for
    3-9), each at `UnitEraseMicros` (120 or 150 ms);
  - program: all 256 pages of the 64 KB, `ProgramMicros(0, 65536)` = 179.2 ms;
  - bulk: the 64 KB moved once out and once back for the verify,
    `2 * BulkMicros(65536)` = 3.7 ms;
  - sleeps the flow requires: 500 ms after the programming path's writes,
    before it reads back. On the MXIC block path (code 5) the flow first
    sends the image's first 4 KB with an erase but without the 0x80 flag;
    the bridge refuses that block, so it costs 4 KB of bulk and the flow
    skips the 500 ms it would wait after it.

  Per-command cost (1 ms each), status polls, identification, reading the
  current flash and any repeated erase are not in the bound: they are what
  the ratio shows.
- **ratio**: emulated / bound.
- **commands**, **bytes moved**: counted by the emulated bridge during the click.
- **host CPU ms**: thread CPU time of the click (best of the benchmark's
  iterations), the emulator's work included.

The second table splits the emulated time by command kind (count / ms of
emulated time inside the commands, erases that a write command runs
included); "host sleeps" is the time the program itself waits between
commands (status-poll intervals and settle times).

The refresh rows run `RefreshBtnClick` once the window is open, with the
first 1 and all 16 of these bridges: `q970`, `q970:vendor=5`,
`q970:blockmode=1,vendor=6`, `q970:late=1`, `q970:vendor=3`,
`q970:content=blank`, `q970:content=updated`, `q970:inqcode=0`, `q742`,
`q743:rev=2`, `q719`, `q861`, `q958`, `qk60717w`, `qk60716u`, `plain`.
"Repeated identification" counts identification commands (INQUIRY, chip
information, identification text and word, bridge memory reads) sent again
to the same path with the same CDB within the one refresh.

TEXT
  echo "Machine: $(nproc) cores, ${cpu_model:-unknown CPU}; commit $commit; $(date -u +%Y-%m-%d)."
  echo
  cat "$work/bench.md"
  echo
  echo "## The command line"
  echo
  echo "\`qks970 --emulate q970 --virtual-time recover --yes\` from \`$build\`"
  echo "(Release), five runs: the refresh, the 64 KB read for the backup copy and"
  echo "its file, and the recovery on the programming path. Times and peak memory"
  echo "from \`bench/run_measured\` (wait4 rusage); the last column is the peak"
  echo "memory \`/usr/bin/time -v\` reports for a run of its own."
  echo
  echo "| run | exit | wall s | user s | system s | peak memory KiB | /usr/bin/time KiB |"
  echo "|---:|---:|---:|---:|---:|---:|---:|"
  printf '%s' "$rows"
  echo
  echo "The same run with \`--trace\`: $traced_commands commands, $traced_ms ms of emulated time."
} >"$doc"

# The README shows the two tables an operator asks about: each recovery
# path per flash vendor code, and one refresh. They go between its markers.
readme=README.md
begin='<!-- performance tables: written by scripts/perf.sh -->'
end='<!-- end of performance tables -->'
if grep -qF "$begin" "$readme" && grep -qF "$end" "$readme"; then
  awk '
    /^### / { keep = ($0 ~ /^### Recovery/ || $0 ~ /^### One refresh/); table = 0 }
    keep && /^\|/ { table = 1 }
    keep && table && !/^\|/ { keep = 0; print "" }
    keep
    /^Peak memory/ { print; print "" }
  ' "$work/bench.md" | sed 's/^### /#### /' >"$work/tables.md"
  awk -v begin="$begin" -v end="$end" -v tables="$work/tables.md" -v stamp="Measured $(date -u +%Y-%m-%d), commit $commit, $(nproc) cores." '
    $0 == begin { print; print ""; print stamp; print ""; while ((getline line < tables) > 0) print line; skip = 1; next }
    $0 == end { skip = 0 }
    !skip
  ' "$readme" >"$work/README.md"
  cp "$work/README.md" "$readme"
  echo "updated the tables in $readme"
fi
echo "wrote $doc ($((SECONDS - start)) s)"
