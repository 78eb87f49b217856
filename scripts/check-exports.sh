#!/usr/bin/env bash
# Checks the library's export table.
#   check-exports.sh so  libkazmir.so   exactly the 21 kzm names, nothing else
#   check-exports.sh dll KAZMIR.dll [production|virtual]
#       exactly the 21 names at their ordinals and nothing else exported
#       (kzmBGIinitSer at the same entry as kzmCCLinitSer); KAZAPI.dll imported
#       by ordinal only (1000 1002 2000 4000); SetupApi.DLL never imported.
#       production: nothing imported from KAZAPI.dll by name.
#       virtual: the same imports are allowed by name as well (exports only).
#   check-exports.sh kazapi KAZAPI.dll
#       the virtual bench's KAZAPI.dll: 1000 1002 2000 4000 exported without
#       names, the device host KzmGetDeviceHost by name.
# The PE tables are read from "objdump -p" (binutils 2.40 layout).
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

kind=${1:?so, dll or kazapi}
file=${2:?library file}
[ -f "$file" ] || fail "$file not found"

# Reads the PE tables of $file from "objdump -p" into:
#   eat      "ordinal rva" per Export Address Table entry
#   names    "ordinal name" per exported name
#   imports  the import tables as text (imports_of DLL gives one DLL's lines:
#            by ordinal "<vma> <hex ordinal> <none>", by name "<vma> <hint> <name>")
# (Here-strings rather than pipes from echo: a reader that stops early must not
# fail the script through SIGPIPE.)
read_pe() {
  local objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump} dump base
  dump=$("$objdump" -p "$file")
  base=$(awk '/^Ordinal Base/ && !b {b = $3} END {print b}' <<<"$dump")
  [ -n "$base" ] || fail "$file has no export table"
  # "	[ idx] +base[ ord] rva Export RVA"
  eat=$(sed -n '/^Export Address Table -- /,/^$/p' <<<"$dump" \
    | sed -nE 's/^\s*\[ *([0-9]+)\] \+base\[ *([0-9]+)\] +([0-9a-f]+) Export RVA.*/\2 \3/p')
  [ -n "$eat" ] || fail "$file: empty export address table"
  # "	[ idx] name" with idx = ordinal - base
  names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" \
    | sed -nE 's/^\s*\[ *([0-9]+)\] (.+)$/\1 \2/p' | awk -v b="$base" '{print $1 + b " " $2}')
  imports=$(sed -n '/^The Import Tables/,/^There is an export table/p' <<<"$dump")
}
rva_of() { awk -v o="$1" '$1 == o {print $2}' <<<"$eat"; }
imports_of() {
  awk -v d="$1" '
    /DLL Name:/ {on = tolower($3) == tolower(d); next}
    on && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print}' <<<"$imports"
}
has_line() { grep -qxE "$1" <<<"$2"; }
SERVER_FUNCTIONS='InitializeServer|GetServerVersion|CreateChannelObject|GetDeviceManager'

case "$kind" in
so)
  got=$(nm -D --defined-only "$file" | awk '$2 ~ /^[TtWiV]$/ {print $3}' | sort)
  want=$(awk '{print $2}' <<<"$EXPECTED" | sort)
  [ "$got" == "$want" ] || fail "$(diff <(echo "$want") <(echo "$got") || true)"
  echo "libkazmir.so exports exactly the 21 names"
  ;;
dll)
  mode=${3:-production}
  read_pe
  want=$(sort <<<"$EXPECTED")
  got=$(sort <<<"$names")
  [ "$got" == "$want" ] || fail "export names or ordinals differ:
$(diff <(echo "$want") <(echo "$got") || true)"
  got_ords=$(awk '{print $1}' <<<"$eat" | sort -n | tr '\n' ' ')
  want_ords=$(awk '{print $1}' <<<"$EXPECTED" | sort -n | tr '\n' ' ')
  [ "$got_ords" == "$want_ords" ] || fail "exported ordinals are [$got_ords], expected [$want_ords]"
  [ "$(rva_of 21)" == "$(rva_of 11)" ] || fail "kzmBGIinitSer (21) is not the entry of kzmCCLinitSer (11)"
  distinct=$(awk '{print $2}' <<<"$eat" | sort -u | wc -l)
  [ "$distinct" == 20 ] || fail "$distinct distinct entries, expected 20 (one shared by ordinals 11 and 21)"
  if grep -qi 'DLL Name: setupapi' <<<"$imports"; then fail "SetupApi.DLL is imported at link time"; fi
  kazapi=$(imports_of KAZAPI.dll)
  [ -n "$kazapi" ] || fail "KAZAPI.dll is not imported"
  ords=$(awk '$3 == "<none>" {print $2}' <<<"$kazapi" | while read -r hex; do echo $((16#$hex)); done \
    | sort -n | tr '\n' ' ')
  [ "$ords" == "1000 1002 2000 4000 " ] || fail "KAZAPI.dll ordinal imports are [$ords], expected [1000 1002 2000 4000 ]"
  byname=$(awk '$3 != "<none>" {print $3}' <<<"$kazapi")
  if [ "$mode" == "production" ] && [ -n "$byname" ]; then fail "KAZAPI.dll imported by name: $byname"; fi
  if has_line "$SERVER_FUNCTIONS" "$byname"; then fail "device-server function imported by name: $byname"; fi
  echo "$file: 21 exports at their ordinals; KAZAPI.dll by ordinal, no SetupApi.DLL ($mode)"
  ;;
kazapi)
  read_pe
  for ord in 1000 1002 2000 4000; do
    [ -n "$(rva_of $ord)" ] || fail "KAZAPI.dll does not export ordinal $ord"
    if has_line "$ord" "$(awk '{print $1}' <<<"$names")"; then fail "ordinal $ord of KAZAPI.dll has a name"; fi
  done
  exported=$(awk '{print $2}' <<<"$names")
  if has_line "$SERVER_FUNCTIONS" "$exported"; then fail "a device-server function of KAZAPI.dll is exported by name"; fi
  has_line KzmGetDeviceHost "$exported" || fail "KAZAPI.dll does not export KzmGetDeviceHost"
  [ -z "$(rva_of 1001)$(rva_of 1003)" ] || fail "KAZAPI.dll exports something at ordinal 1001 or 1003"
  echo "$file: 1000 1002 2000 4000 by ordinal only, the device host by name"
  ;;
*) fail "unknown kind $kind" ;;
esac
