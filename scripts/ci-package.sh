#!/usr/bin/env bash
# CI of what a user gets from a build (default: build/default):
#   1. cmake --install into a scratch prefix;
#   2. the example host (examples/) built against it with find_package(Kazmir)
#      and run on the default bench, with no variable set;
#   3. a C file built with `pkg-config --cflags --libs kazmir`, and run;
#   4. the Linux archives (.deb, .tar.gz) made by CPack, contents listed.
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

step "Linux archives (CPack)"
rm -rf "$BUILD/packages"
(cd "$BUILD" && cpack >/dev/null)
for deb in "$BUILD"/packages/*.deb; do
  echo "$deb:"; dpkg-deb -f "$deb" Package Version Depends; dpkg-deb -c "$deb" | awk '{print "  " $6 $7 $8}'
done
for tgz in "$BUILD"/packages/*.tar.gz; do
  echo "$tgz:"; tar tzf "$tgz" | sed 's/^/  /'
done
