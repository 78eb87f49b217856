#!/usr/bin/env bash
# Peak memory of `kazmir program --base 0` with a raw binary of SIZE MiB
# (default 64) on a bench whose flash holds it, beside its peer in the same
# run: `objcopy -I binary -O srec` of the same file. The bench keeps its flash
# in kazmir's own process, so the same program of a 1 KiB binary on the same
# bench is measured too: the difference is what the binary costs kazmir.
# Prints the machine and the load average before and after.
#
# Usage: perf/binary_memory.sh [build folder] [SIZE in MiB]   (default: build/default 64)
# Needs the kazmir command built there (target kazmir_cli) and objcopy.
set -euo pipefail

BUILD=${1:-build/default}
SIZE=${2:-64}
KAZMIR=$BUILD/cli/kazmir
[[ -x $KAZMIR ]] || { echo "no $KAZMIR: build the target kazmir_cli first" >&2; exit 1; }
command -v objcopy >/dev/null || { echo "missing objcopy (binutils)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "missing /usr/bin/time (Debian: time)" >&2; exit 1; }

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
head -c $((SIZE << 20)) /dev/urandom >"$DIR/app.bin"
head -c 1024 /dev/urandom >"$DIR/small.bin"
# 32 sectors (the library's most), as many MiB as the binary needs.
sector=$(((SIZE + 31) / 32))
printf '{"boards": [{"class": 1, "serial": "KZMEM001", "state": 3, "flash": {"sectors": [{"size": "0x%X", "count": 32}]}}]}\n' \
    $((sector << 20)) >"$DIR/bench.json"

peak() { # command... -> peak resident memory in KiB
    /usr/bin/time -f "%M" -o "$DIR/peak" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    cat "$DIR/peak"
}
program=(env "KAZMIR_STATE_DIR=$DIR/state" "$KAZMIR" --bench "$DIR/bench.json" -q program --base 0)

echo "machine: $(uname -srm), $(nproc) CPUs, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "before: load average $(cut -d' ' -f1-3 /proc/loadavg)"
ours=$(peak "${program[@]}" "$DIR/app.bin")
base=$(peak "${program[@]}" "$DIR/small.bin")
peer=$(peak objcopy -I binary -O srec "$DIR/app.bin" "$DIR/app.srec")
echo "after: load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
awk -v size="$SIZE" -v ours="$ours" -v base="$base" -v peer="$peer" 'BEGIN {
    mib = 1024
    printf "raw binary of %d MiB, flash of 32 x %d MiB on the bench\n", size, int((size + 31) / 32)
    printf "  kazmir program --base 0        %8.1f MiB peak (%.2f x the binary)\n", ours / mib, ours / mib / size
    printf "  the same with a 1 KiB binary   %8.1f MiB peak (the bench and the rest)\n", base / mib
    printf "  what the binary costs kazmir   %8.1f MiB (%.2f x the binary; at most 2 x)\n", (ours - base) / mib, (ours - base) / mib / size
    printf "  objcopy -I binary -O srec      %8.1f MiB peak (%.2f x the binary)\n", peer / mib, peer / mib / size
}'
