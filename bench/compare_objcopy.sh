#!/usr/bin/env bash
# Compares the library's image loading with objcopy and srec_cat on the same
# files on this machine: the dense 32 MiB Intel HEX and S3 images and the
# sparse image of 200,000 blocks that bench/bench_flash.cpp generates.
#
# Usage: bench/compare_objcopy.sh [build folder]   (default: build/release)
# Needs kazmir_bench built there, objcopy (binutils), srec_cat (srecord) and
# python3.
set -euo pipefail

BUILD=${1:-build/release}
BENCH=$BUILD/bench/kazmir_bench
if [[ ! -x $BENCH ]]; then
    echo "no $BENCH: build the target kazmir_bench first" >&2
    exit 1
fi
for tool in objcopy srec_cat python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT

# Our load, both passes, through the benchmark program (which also writes
# the input files into $DIR).
KAZMIR_BENCH_DIR=$DIR "$BENCH" --benchmark_filter='^BM_Load(IntelHexDense|S3Dense|Sparse)$' \
    --benchmark_min_time=1 --benchmark_format=json >"$DIR/ours.json"

python3 - "$DIR" <<'PY'
import json, os, subprocess, sys, time

folder = sys.argv[1]
ours = {b["name"]: b for b in json.load(open(os.path.join(folder, "ours.json")))["benchmarks"]}

def seconds(bench):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench["time_unit"]]
    return bench["real_time"] * scale

def best_of(command, runs=3):
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best

out = os.path.join(folder, "out.bin")
rows = []
def compare(label, name, file, tools):
    path = os.path.join(folder, file)
    size = os.path.getsize(path)
    t_ours = seconds(ours[name])
    print(f"{label}: {file}, {size / 1e6:.1f} MB of text")
    print(f"  kazmir load           {t_ours:8.3f} s  {size / t_ours / 1e6:8.1f} MB/s")
    for tool_label, command in tools:
        t = best_of([arg.replace("{in}", path).replace("{out}", out) for arg in command])
        print(f"  {tool_label:<21} {t:8.3f} s  {size / t / 1e6:8.1f} MB/s   kazmir is {t / t_ours:5.1f}x faster")
        rows.append((label, tool_label, t / t_ours))
    return t_ours

compare("Dense Intel HEX", "BM_LoadIntelHexDense", "dense.hex",
        [("objcopy -I ihex", ["objcopy", "-I", "ihex", "-O", "binary", "{in}", "{out}"]),
         ("srec_cat -intel", ["srec_cat", "{in}", "-intel", "-o", "{out}", "-binary"])])
compare("Dense S3", "BM_LoadS3Dense", "dense.s3",
        [("objcopy -I srec", ["objcopy", "-I", "srec", "-O", "binary", "{in}", "{out}"]),
         ("srec_cat -motorola", ["srec_cat", "{in}", "-motorola", "-o", "{out}", "-binary"])])
t_sparse = compare("Sparse, 200,000 blocks", "BM_LoadSparse", "sparse.hex",
        [("objcopy -I ihex", ["objcopy", "-I", "ihex", "-O", "binary", "{in}", "{out}"]),
         ("srec_cat -intel", ["srec_cat", "{in}", "-intel", "-o", "{out}", "-binary"])])

print()
print("Targets")
dense = [r for r in rows if r[0] == "Dense Intel HEX" and r[1].startswith("objcopy")][0][2]
sparse = [r for r in rows if r[0].startswith("Sparse") and r[1].startswith("srec_cat")][0][2]
print(f"  dense Intel HEX vs objcopy: {dense:.1f}x (at least 4x, aim 5x)  {'met' if dense >= 4 else 'NOT met'}")
print(f"  sparse load time: {t_sparse:.3f} s (under 0.1 s)  {'met' if t_sparse < 0.1 else 'NOT met'}")
print(f"  sparse vs srec_cat: {sparse:.1f}x (at least 10x)  {'met' if sparse >= 10 else 'NOT met'}")
PY
