#!/usr/bin/env bash
# Checks the library's export table.
#   check-exports.sh so  libkazmir.so   exactly the 21 kzm names, nothing else
#   check-exports.sh dll KAZMIR.dll [production|virtual]
#       exactly the 21 names at their ordinals (kzmBGIinitSer at the same entry
#       as kzmCCLinitSer); production: KAZAPI.dll imported by ordinal only and
#       no setupapi import.
set -euo pipefail

EXPECTED="1000 kzmInitialize
1001 kzmGetVersion
1010 kzmRegisterCallback
2200 kzmFLDinit
2201 kzmFLDreset
2202 kzmFLDprogram
2203 kzmFLDverify
2204 kzmFLDerase
2205 kzmFLDscanFwInfo
2300 kzmBALinit
2301 kzmBALinitSer
2302 kzmBALreset
10 kzmCCLinit
11 kzmCCLinitSer
12 kzmCCLreset
20 kzmBGIinit
21 kzmBGIinitSer
22 kzmBGIreset
23 kzmBGIsend
24 kzmBGIreceive
25 kzmBGIgetMsgLen"

fail() { echo "export check FAILED: $*" >&2; exit 1; }

kind=${1:?so or dll}
file=${2:?library file}
[ -f "$file" ] || fail "$file not found"

case "$kind" in
so)
  got=$(nm -D --defined-only "$file" | awk '$2 ~ /^[TtWiV]$/ {print $3}' | sort)
  want=$(echo "$EXPECTED" | awk '{print $2}' | sort)
  [ "$got" == "$want" ] || fail "$(diff <(echo "$want") <(echo "$got") || true)"
  echo "libkazmir.so exports exactly the 21 names"
  ;;
dll)
  mode=${3:-production}
  OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
  dump=$("$OBJDUMP" -p "$file")
  # Export table lines look like: "	[   0] +base[1000]  0xaddr kzmInitialize"
  # (older binutils: "[Ordinal/Name Pointer] Table" with "[ n] name").
  table=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '\[ *[0-9]+\]')
  got=$(echo "$table" | sed -E 's/.*\+base\[ *([0-9]+)\].* ([A-Za-z_][A-Za-z0-9_]*)$/\1 \2/' | sort)
  want=$(echo "$EXPECTED" | sort)
  [ "$got" == "$want" ] || fail "export table differs:
$(diff <(echo "$want") <(echo "$got") || true)"
  addr_of() { echo "$table" | grep -E " $1\$" | grep -oE '0x[0-9a-f]+' | head -1; }
  [ "$(addr_of kzmBGIinitSer)" == "$(addr_of kzmCCLinitSer)" ] || fail "kzmBGIinitSer is not the entry of kzmCCLinitSer"
  imports=$(echo "$dump" | sed -n '/The Import Tables/,/The Export Tables/p')
  if echo "$imports" | grep -qi 'DLL Name: setupapi'; then fail "SetupApi.DLL is imported at link time"; fi
  if [ "$mode" == "production" ]; then
    kazapi=$(echo "$imports" | awk '/DLL Name: KAZAPI.dll/{on=1; next} /DLL Name:/{on=0} on')
    [ -n "$kazapi" ] || fail "KAZAPI.dll is not imported"
    ords=$(echo "$kazapi" | grep -E '^\s+[0-9a-f]+\s+[0-9]+' | awk '{print $2 " " $3}')
    [ -n "$ords" ] || fail "no KAZAPI.dll imports found"
    if echo "$ords" | awk '$2 != "<none>" && $2 != ""' | grep -q .; then fail "KAZAPI.dll imported by name: $ords"; fi
    echo "$ords" | awk '{print $1}' | sort -n | tr '\n' ' ' | grep -q '^1000 1002 2000 4000 $' \
      || fail "KAZAPI.dll ordinals are not 1000 1002 2000 4000: $(echo "$ords" | awk '{print $1}' | tr '\n' ' ')"
  fi
  echo "$file: 21 exports at their ordinals; imports as expected ($mode)"
  ;;
*) fail "unknown kind $kind" ;;
esac
