#!/usr/bin/env bash
# Many boards at once against the same boards one after another, in one run on
# this machine: a 2 MiB Intel HEX image programmed into the 8 boards of one
# bench (4 MiB of flash each, 32 sectors of 128 KiB, kept in files) by
#   1. kazmir program FILE --all --jobs 8   (one child per board, all at once)
#   2. kazmir program FILE --all --jobs 1   (the same children, one at a time)
#   3. 8 runs of kazmir program FILE --serial S, one after another
# Each is run three times; the best wall time is shown. The peak memory of
# the parent process is its own getrusage figure (the summary's max_rss_kib),
# beside the largest child's; /usr/bin/time would count the largest process
# of the tree instead.
#
# Usage: perf/batch_program.sh [build folder]   (default: build/default)
# Needs the kazmir command built there (target kazmir_cli, with the virtual
# bench) and python3.
set -euo pipefail

BUILD=${1:-build/default}
KAZMIR=$(realpath "$BUILD/cli/kazmir" 2>/dev/null || true)
if [[ ! -x $KAZMIR ]]; then
    echo "no $BUILD/cli/kazmir: build the target kazmir_cli first (cmake --build --preset default)" >&2
    exit 1
fi
command -v python3 >/dev/null || { echo "missing python3" >&2; exit 1; }

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
export KAZMIR_STATE_DIR=$DIR/state
unset KAZSIM_BENCH

python3 - "$DIR" <<'PY'
import json, random, sys
folder = sys.argv[1]

def record(address, kind, data):
    raw = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
    return ":" + (raw + bytes([-sum(raw) & 0xFF])).hex().upper() + "\n"

data = random.Random(8).randbytes(2 << 20)
with open(f"{folder}/image.hex", "w") as out:
    for at in range(0, len(data), 32):
        if at % 0x10000 == 0:
            out.write(record(0, 4, bytes([at >> 24, (at >> 16) & 0xFF])))
        out.write(record(at & 0xFFFF, 0, data[at:at + 32]))
    out.write(record(0, 1, b""))
with open(f"{folder}/image.bin", "wb") as out:
    out.write(data)

def board(n):
    return {"serial": f"KZ{n:06d}",
            "flash": {"sectors": [{"size": "0x20000", "count": 32}], "file": f"board{n}.flash"}}
boards = [board(n) for n in range(1, 9)]
json.dump({"boards": boards}, open(f"{folder}/bench.json", "w"), indent=1)
for b in boards:  # one bench per board for the single runs
    json.dump({"boards": [b]}, open(f"{folder}/{b['serial']}.json", "w"))
PY

now() { date +%s.%N; }
best() { sort -g | head -1; }

run_batch() { # jobs -> wall seconds; leaves the JSON summary in $DIR/summary.json
    local start end
    rm -f "$DIR"/board*.flash
    start=$(now)
    (cd "$DIR" && "$KAZMIR" --bench bench.json --json program image.hex --all --jobs "$1" | tail -1 > summary.json)
    end=$(now)
    python3 -c "import json,sys; s=json.load(open('$DIR/summary.json')); sys.exit(s['exit'])" ||
        { echo "kazmir --jobs $1 failed: $(cat "$DIR/summary.json")" >&2; exit 1; }
    echo "$end - $start" | bc -l
}

run_single() { # 8 separate runs -> wall seconds
    local start end s
    rm -f "$DIR"/board*.flash
    start=$(now)
    for s in KZ000001 KZ000002 KZ000003 KZ000004 KZ000005 KZ000006 KZ000007 KZ000008; do
        (cd "$DIR" && "$KAZMIR" --bench "$s.json" -q program image.hex --serial "$s" 2>/dev/null)
    done
    end=$(now)
    echo "$end - $start" | bc -l
}

check_flash() {
    local n
    for n in 1 2 3 4 5 6 7 8; do
        cmp -s -n $((2 << 20)) "$DIR/board$n.flash" "$DIR/image.bin" ||
            { echo "board $n does not hold the image" >&2; exit 1; }
    done
}

declare -a parallel=() serial=() single=()
for round in 1 2 3; do
    parallel+=("$(run_batch 8)"); check_flash
    cp "$DIR/summary.json" "$DIR/summary8.json"
    serial+=("$(run_batch 1)"); check_flash
    single+=("$(run_single)"); check_flash
done
P=$(printf '%s\n' "${parallel[@]}" | best)
S=$(printf '%s\n' "${serial[@]}" | best)
O=$(printf '%s\n' "${single[@]}" | best)

echo "2 MiB image into 8 boards of one bench ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)), best of 3:"
printf '  %-44s %7.2f s\n' "kazmir --all --jobs 8 (8 children at once)" "$P"
printf '  %-44s %7.2f s\n' "kazmir --all --jobs 1 (one child at a time)" "$S"
printf '  %-44s %7.2f s\n' "8 runs of kazmir --serial S, one by one" "$O"
printf '  speed-up of --jobs 8: %.2f x against --jobs 1, %.2f x against 8 runs\n' \
    "$(echo "$S / $P" | bc -l)" "$(echo "$O / $P" | bc -l)"
python3 - "$DIR/summary8.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
print(f"  peak memory with --jobs 8: parent {s['max_rss_kib'] / 1024:.1f} MiB, "
      f"largest child {s['child_max_rss_kib'] / 1024:.1f} MiB")
print("  per board (last --jobs 8 run): " +
      ", ".join(f"{b['serial']} {b['seconds']:.2f} s" for b in s["boards"]))
PY
