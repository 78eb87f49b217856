#!/usr/bin/env bash
# CI of what a user gets from a build (default: build/default):
#   1. cmake --install into a scratch prefix;
#   2. the example host (examples/) built against it with find_package(Kazmir)
#      and run on the default bench, with no variable set;
#   3. a C file built with `pkg-config --cflags --libs kazmir`, and run;
#   4. a C file on the host kit built with `pkg-config ... kazmir_host`, and run;
#   5. the Python binding as installed there, on a bench file: an image whose
#      bytes would not land is refused and the flash file stays as it was; an
#      ELF file programs and verifies;
#   6. pip installs the binding offline into a fresh folder (Debian's
#      setuptools, no build isolation, no index);
#   7. the Linux archives (.deb, .tar.gz) made by CPack, contents listed
#      (the .deb with its copyright file).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/default}
prefix=$PWD/build/ci-install
work=$PWD/build/ci-package
rm -rf "$prefix" "$work"
mkdir -p "$work"
step() { echo; echo "--- $*"; }

step "cmake --install $BUILD --prefix $prefix"
cmake --install "$BUILD" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f -o -type l | sort)

step "examples/ with find_package(Kazmir), run on the default bench"
cmake -S examples -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
env -i "$work/example/program_board" samples/demo-firmware.hex

step "a C file built with pkg-config"
cat > "$work/version.c" <<'C'
#include <kazmir.h>
#include <stdio.h>
int main(void)
{
    uint32_t major = 0, minor = 0;
    KZMRESULT rc = kzmGetVersion(&major, &minor, NULL, NULL);
    printf("device server %u.%u (0x%08X)\n", (unsigned)major, (unsigned)minor, (unsigned)rc);
    return rc == KZM_OK && major != 0 ? 0 : 1;
}
C
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/version" "$work/version.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs kazmir)
env -i "$work/version"

step "a C file on the host kit, built with pkg-config: the check of a damaged line"
cat > "$work/check.c" <<'C'
#include <kazmir_host.h>
#include <stdio.h>
int main(void)
{
    static const char text[] = ":0400000001020304F3\n:00000001FF\n";
    KZH_ANALYSIS* analysis = NULL;
    KZH_SUMMARY summary;
    KZH_FINDING finding;
    KZH_RESULT_INFO info;
    if (kzhAnalyseMemory(text, sizeof(text) - 1, &analysis) != KZM_OK ||
        kzhAnalysisSummary(analysis, &summary) != KZM_OK || kzhAnalysisFinding(analysis, 0, &finding) != KZM_OK ||
        kzhResultInfo(KZM_E_BEYOND_FLASH, KZH_OP_PROGRAM, &info) != KZM_OK)
        return 1;
    printf("accepted %u: %s; %s: %s (exit %d)\n", (unsigned)summary.accepted, finding.text, info.name, info.meaning,
           (int)info.exitCode);
    kzhAnalysisFree(analysis);
    return summary.accepted == 0 && finding.issue == KZH_ISSUE_BAD_CHECKSUM ? 0 : 1;
}
C
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/check" "$work/check.c" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs kazmir_host)
env -i "$work/check"

step "Python: the installed package on a bench file"
python=/usr/bin/python3 # Debian's, with its setuptools
bench=$work/python-bench
mkdir -p "$bench"
head -c 524288 /dev/zero >"$bench/board.flash" # the whole flash, so that the bench does not complete it
echo '{"boards": [{"serial": "KZ000001", "flash": {"file": "board.flash"}}]}' >"$bench/bench.json"
$python samples/make_demo.py --base 0x4000 --no-record -o "$bench/at4000.hex"
$python samples/make_demo.py --elf -o "$bench/demo.elf"
env -i KAZSIM_BENCH="$bench/bench.json" PYTHONPATH="$prefix/lib/python3/dist-packages" \
  $python - "$bench" <<'PY'
import os, sys
import kazmir
bench = sys.argv[1]
def flash():
    with open(os.path.join(bench, "board.flash"), "rb") as f:
        return f.read()
print("kazmir", kazmir.__version__, "from", kazmir.__file__, "on", kazmir.lib._name, kazmir.hostkit.lib._name)
with kazmir.fld() as board:
    before = flash()
    try:
        board.program(os.path.join(bench, "at4000.hex"))
        sys.exit("at4000.hex was not refused")
    except kazmir.ImageRefused as refusal:  # a KazmirError
        print("refused:", refusal)
    assert flash() == before, "the refused image changed the flash file"
    board.program(os.path.join(bench, "demo.elf"))
    board.verify(os.path.join(bench, "demo.elf"))
    print("demo.elf programmed and verified:", board.scan_fw_info())
PY

step "pip install --no-build-isolation bindings/python, offline, into a fresh folder"
$python -m pip install -q --no-build-isolation --no-index --disable-pip-version-check --root-user-action=ignore \
  --target "$work/pip-target" bindings/python
rm -rf bindings/python/build bindings/python/*.egg-info
env -i LD_LIBRARY_PATH="$prefix/lib" PYTHONPATH="$work/pip-target" \
  $python -c 'import kazmir; print("kazmir", kazmir.__version__, "from", kazmir.__file__, "on", kazmir.lib._name,
                                   kazmir.hostkit.lib._name)'

step "Linux archives (CPack)"
rm -rf "$BUILD/packages"
(cd "$BUILD" && cpack >/dev/null)
for deb in "$BUILD"/packages/*.deb; do
  echo "$deb:"; dpkg-deb -f "$deb" Package Version Depends; dpkg-deb -c "$deb" | awk '{print "  " $6 $7 $8}'
  dpkg-deb -c "$deb" | grep "/usr/share/doc/kazmir/copyright$" >/dev/null || { echo "$deb has no copyright file"; exit 1; }
done
for tgz in "$BUILD"/packages/*.tar.gz; do
  echo "$tgz:"; tar tzf "$tgz" | sed 's/^/  /'
done
