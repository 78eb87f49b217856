#!/usr/bin/env bash
# The main jobs from a terminal beside their peers, in one run on this
# machine: `kazmir program --verify` (check on, and with --no-check) of a
# dense 32 MiB Intel HEX image against `objcopy -I ihex -O binary` of the same
# file; `kazmir info` of it and of the same image as S3 records against
# objcopy (and beside `openssl dgst -sha256` of the same file, the digest info
# shows, where openssl is installed); and `kazmir program --verify` of a
# sparse image of 200,000 blocks of 8 bytes against srec_cat. Each command
# runs as a process of its own, the commands of a group taking turns, RUNS
# times each (default 7); the median of wall time, of CPU time (user +
# system, the fair figure while other work shares the machine) and of peak
# memory. It prints the CPU, the load average before and after, and the
# versions of the peers: a ratio holds only for the run that measured both
# sides.
#
# Usage: perf/compare_objcopy.sh [build folder]   (default: build/default)
#        RUNS=9 perf/compare_objcopy.sh
# Needs the kazmir command built there (target kazmir_cli, with the virtual
# bench), objcopy (binutils), srec_cat (srecord) and python3; the digest
# rows need openssl and are left out without it.
set -euo pipefail

BUILD=${1:-build/default}
KAZMIR=$BUILD/cli/kazmir
if [[ ! -x $KAZMIR ]]; then
    echo "no $KAZMIR: build the target kazmir_cli first (cmake --build --preset default)" >&2
    exit 1
fi
for tool in objcopy srec_cat python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT

# The inputs, made by a process of its own: the timing process stays small,
# so that the peak memory of each command it starts is that command's own.
python3 - "$DIR" <<'PY'
import os, random, sys

folder = sys.argv[1]

def record(address, kind, data):
    raw = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
    return ":" + (raw + bytes([-sum(raw) & 0xFF])).hex().upper() + "\n"

def write_dense(path, size):
    data = random.Random(1).randbytes(size)
    with open(path, "w") as out:
        for upper in range(0, size, 0x10000):
            lines = [record(0, 4, bytes([upper >> 24, (upper >> 16) & 0xFF]))]
            lines += [record(a & 0xFFFF, 0, data[a:a + 16]) for a in range(upper, min(upper + 0x10000, size), 16)]
            out.write("".join(lines))
        out.write(":00000001FF\n")

def s3(address, data):
    raw = bytes([len(data) + 5]) + address.to_bytes(4, "big") + data
    return "S3" + (raw + bytes([~sum(raw) & 0xFF])).hex().upper() + "\n"

def write_dense_s3(path, size):
    data = random.Random(1).randbytes(size)
    with open(path, "w") as out:
        for chunk in range(0, size, 0x10000):
            out.write("".join(s3(a, data[a:a + 16]) for a in range(chunk, min(chunk + 0x10000, size), 16)))
        out.write("S70500000000FA\n")

def write_sparse(path, blocks):
    lines, upper = [], -1
    data = bytes(range(1, 9))
    for i in range(blocks):
        a = i * 16  # 8 bytes, then a gap of 8
        if a >> 16 != upper:
            upper = a >> 16
            lines.append(record(0, 4, bytes([upper >> 8, upper & 0xFF])))
        lines.append(record(a & 0xFFFF, 0, data))
    with open(path, "w") as out:
        out.write("".join(lines) + ":00000001FF\n")

def write_bench(path, sectors):
    with open(path, "w") as out:
        out.write('{"boards": [{"class": 1, "serial": "KZBENCH1", "state": 3, "flash": '
                  '{"sectors": [{"size": "0x100000", "count": %d}], "base": "0x00000000"}}]}' % sectors)

dense, sparse = os.path.join(folder, "dense.hex"), os.path.join(folder, "sparse.hex")
write_dense(dense, 32 << 20)
write_dense_s3(os.path.join(folder, "dense.s3"), 32 << 20)
write_sparse(sparse, 200000)
write_bench(os.path.join(folder, "bench32.json"), 32)
write_bench(os.path.join(folder, "bench4.json"), 4)
PY
sync

python3 - "$DIR" "$KAZMIR" <<'PY'
import os, platform, resource, shutil, statistics, subprocess, sys, time

folder, kazmir = sys.argv[1], os.path.abspath(sys.argv[2])
dense, dense_s3, sparse = (os.path.join(folder, name) for name in ("dense.hex", "dense.s3", "sparse.hex"))
env = dict(os.environ, KAZMIR_STATE_DIR=os.path.join(folder, "state"))
env.pop("KAZSIM_BENCH", None)

RUNS = int(os.environ.get("RUNS", "7"))

def run_once(command):
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(command)}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024

def medians(commands):
    # Taking turns spreads a burst of other work over all commands alike.
    samples = {label: [] for label, _ in commands}
    for _ in range(RUNS):
        for label, command in commands:
            samples[label].append(run_once(command))
    return {label: tuple(statistics.median(s[i] for s in runs) for i in range(3)) for label, runs in samples.items()}

def load():
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())

def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()

def first_line(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.stdout.strip().splitlines()[0] if result.stdout.strip() else "unknown"

def kz(bench, *args):
    return [kazmir, "--bench", os.path.join(folder, bench), "-q", "program", "--verify", *args]

out = os.path.join(folder, "out.bin")
OBJCOPY_HEX = "objcopy -I ihex -O binary"
OBJCOPY_S3 = "objcopy -I srec -O binary"
SREC_CAT = "srec_cat -intel -binary"
# kazmir info shows the file's SHA-256: where openssl is installed, its
# digest of the same file alone, as a process of its own, runs beside it.
def digest_alone(path):
    return [("openssl dgst -sha256", ["openssl", "dgst", "-sha256", path])] if shutil.which("openssl") else []

runs = {
    "dense": [("kazmir program --verify", kz("bench32.json", dense)),
              ("  the same, --no-check", kz("bench32.json", "--no-check", dense)),
              ("kazmir info", [kazmir, "-q", "info", dense]),
              *digest_alone(dense),
              (OBJCOPY_HEX, ["objcopy", "-I", "ihex", "-O", "binary", dense, out])],
    "dense_s3": [("kazmir info", [kazmir, "-q", "info", dense_s3]),
                 *digest_alone(dense_s3),
                 (OBJCOPY_S3, ["objcopy", "-I", "srec", "-O", "binary", dense_s3, out])],
    "sparse": [("kazmir program --verify", kz("bench4.json", sparse)),
               ("  the same, --no-check", kz("bench4.json", "--no-check", sparse)),
               (SREC_CAT, ["srec_cat", sparse, "-intel", "-o", out, "-binary"])],
}
titles = {"dense": f"Dense Intel HEX, 32 MiB of data ({os.path.getsize(dense) / 1e6:.1f} MB of text), flash of 32 x 1 MiB",
          "dense_s3": f"Dense S3 records, the same 32 MiB ({os.path.getsize(dense_s3) / 1e6:.1f} MB of text)",
          "sparse": f"Sparse Intel HEX, 200,000 blocks of 8 bytes ({os.path.getsize(sparse) / 1e6:.1f} MB), flash of 4 x 1 MiB"}
print(f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs")
print(f"kazmir: {first_line([kazmir, '--version'])}")
print(f"objcopy: {first_line(['objcopy', '--version'])}")
print(f"srec_cat: {first_line(['srec_cat', '-version'])}")
print(f"{RUNS} runs of each command, medians; before: {load()}")
# Linux counts the timing process's memory at the start of each command in
# that command's peak: no peak below this is told apart.
print(f"peak memory is at least this timing process's own: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MiB")
print()
results = {}
for key, commands in runs.items():
    print(titles[key])
    print(f"  {'':<27} {'wall':>8}   {'cpu':>8}   {'peak':>9}")
    for label, (wall, cpu, peak) in medians(commands).items():
        results[(key, label)] = (wall, cpu, peak)
        print(f"  {label:<27} {wall:8.3f} s {cpu:8.3f} s {peak:7.1f} MiB")
    print()
print(f"after: {load()}")
print()

# kazmir info shows the file's SHA-256, which libcrypto computes at its own
# pace: the hashing alone (through Python's hashlib, which uses the same
# libcrypto, over the file's pages mapped as info maps them, with no copy)
# bounds info's wall time from below. Timed in a process of its own, so that
# this one stays small (see above).
SHA256_TIMER = """
import hashlib, mmap, statistics, sys, time
times = []
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    digest = hashlib.sha256()
    with open(sys.argv[1], "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as pages:
        view = memoryview(pages)
        for at in range(0, len(pages), 4 << 20):
            digest.update(view[at:at + (4 << 20)])
        view.release()
    times.append(time.perf_counter() - start)
print(statistics.median(times))
"""

def sha256_seconds(path):
    return float(subprocess.run([sys.executable, "-c", SHA256_TIMER, path, str(RUNS)], check=True,
                                stdout=subprocess.PIPE, text=True).stdout)

floors = {"dense": sha256_seconds(dense), "dense_s3": sha256_seconds(dense_s3)}
print("SHA-256 of the text alone (libcrypto through hashlib, the file mapped), medians")
for key, what, peer in (("dense", "dense HEX", OBJCOPY_HEX), ("dense_s3", "dense S3", OBJCOPY_S3)):
    print(f"  {what}: {floors[key]:.3f} s, so kazmir info can be at most "
          f"{results[(key, peer)][0] / floors[key]:.2f}x as fast as objcopy here")
print()

def target(key, ours, peer, goal, what):
    mine, theirs = results[(key, ours)], results[(key, peer)]
    wall, cpu = theirs[0] / mine[0], theirs[1] / mine[1]
    print(f"  {what}: {ours.strip()} is {wall:.2f}x / {cpu:.2f}x as fast as {peer.split()[0]} "
          f"({theirs[0]:.3f} s / {theirs[1]:.3f} s); at least {goal}x")

print("Targets (wall / cpu; the CPU figure is the fair one while other work loads the machine)")
target("dense", "kazmir info", OBJCOPY_HEX, 8, "dense HEX")
target("dense_s3", "kazmir info", OBJCOPY_S3, 8, "dense S3")
target("dense", "kazmir program --verify", OBJCOPY_HEX, 2, "dense")
print(f"  dense: peak memory {results[('dense', 'kazmir program --verify')][2]:.1f} MiB; at most 160 MiB")
target("sparse", "kazmir program --verify", SREC_CAT, 5, "sparse")
PY
