#!/usr/bin/env bash
# The library's image reader on its own: kazmir_perf's BM_Read (records and
# their bytes, as a load's second pass reads them) and BM_Load (a whole load,
# both passes and the blocks) of a dense 32 MiB image as Intel HEX and as S3
# records, on the CPU's best digit path and on the scalar one, and loads of
# 200,000 sparse blocks in address order and shuffled. Each case runs REPS
# times (default 9) in one process; prints the machine, the load average
# before and after, for each dense case the median and the best of the runs
# in GB/s of text (the file read from the page cache included), and for the
# sparse loads their median times and how many times the in-order time the
# shuffled load takes.
#
# Usage: perf/reader_speed.sh [build folder]   (default: build/default)
#        REPS=15 perf/reader_speed.sh
# Needs kazmir_perf built there (target kazmir_perf) and python3.
set -euo pipefail
BUILD=${1:-build/default}
PERF=$BUILD/perf/kazmir_perf
REPS=${REPS:-9}
[[ -x $PERF ]] || { echo "no $PERF: build the target kazmir_perf first" >&2; exit 1; }
command -v python3 >/dev/null || { echo "missing python3" >&2; exit 1; }

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT

echo "machine: $(uname -srm), $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "before: load average $(cut -d' ' -f1-3 /proc/loadavg)"
# The benchmark writes its inputs in its working folder.
(cd "$DIR" && "$OLDPWD/$PERF" --benchmark_filter='BM_(Read|Load)(IntelHex|S3)Dense/|BM_LoadSparse' \
    --benchmark_repetitions="$REPS" --benchmark_min_time=0.2 \
    --benchmark_format=json --benchmark_out="$DIR/out.json" >/dev/null 2>"$DIR/err") ||
    { cat "$DIR/err" >&2; exit 1; }
echo "after: load average $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$DIR/out.json" "$REPS" <<'PY'
import json, statistics, sys
runs = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "iteration" and "Sparse" not in b["run_name"]:
        key = (b["run_name"], b.get("label", ""))
        runs.setdefault(key, []).append(b["bytes_per_second"] / 1e9)
print(f"\n{sys.argv[2]} runs of each case, GB/s of text")
print(f"  {'case':<40} {'path':<7} {'median':>7} {'best':>7}")
for (name, label), speeds in runs.items():
    print(f"  {name.split('/')[0]:<40} {label:<7} {statistics.median(speeds):7.2f} {max(speeds):7.2f}")
# The sparse files differ in size (S3 against Intel HEX): their times count.
times = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "iteration" and "Sparse" in b["run_name"]:
        times.setdefault(b["run_name"].split("/")[0], []).append(b["real_time"])
if len(times) == 2:
    ordered, shuffled = statistics.median(times["BM_LoadSparse"]), statistics.median(times["BM_LoadSparseShuffled"])
    print(f"\n200,000 sparse blocks, median load time: in address order {ordered:.1f} ms, "
          f"shuffled {shuffled:.1f} ms ({shuffled / ordered:.2f} times)")
PY
