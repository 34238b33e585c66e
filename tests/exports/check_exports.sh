#!/usr/bin/env bash
# Checks the shipped library's export table and its dependencies.
#   check_exports.sh linux   <libRovireZevaDe.so>
#   check_exports.sh windows <RovireZevaDe.dll> [objdump]
# Linux: exactly one defined function symbol, RazaRa, and SONAME libRovireZevaDe.so.1.
# Windows: exactly one export, RazaRa at ordinal 1; imports from Windows system DLLs only (the
# compiler's runtime is linked in statically, so the DLL can be copied alone beside a host);
# a version resource naming 1.0.0.1.
set -euo pipefail

kind=${1:?usage: check_exports.sh linux|windows FILE [objdump]}
file=${2:?usage: check_exports.sh linux|windows FILE [objdump]}
expected_version=${RZ_EXPECTED_VERSION:-1.0.0.1}
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

[ -f "$file" ] || { echo "FAIL: $file not found" >&2; exit 1; }

check_linux() {
  local functions soname
  # Function symbols only: T/t (text), W/w (weak), i (indirect). Data such as _edata is ignored.
  functions=$(nm -D --defined-only "$file" | awk '$2 ~ /^[TtWwi]$/ { sub(/@.*/, "", $3); print $3 }')
  if [ "$functions" != "RazaRa" ]; then
    fail "defined functions are [$(echo $functions)], expected exactly [RazaRa]"
  fi
  soname=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
  if [ "$soname" != "libRovireZevaDe.so.1" ]; then
    fail "SONAME is [$soname], expected [libRovireZevaDe.so.1]"
  fi
}

# Windows system DLLs the library may import; anything else (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll ...) would have to ship beside it.
system_dll() {
  case "${1,,}" in
    kernel32.dll | msvcrt.dll | ole32.dll | oleaut32.dll | ws2_32.dll | wininet.dll | \
      user32.dll | advapi32.dll | shell32.dll | gdi32.dll | rpcrt4.dll | shlwapi.dll | \
      ntdll.dll | api-ms-win-*.dll) return 0 ;;
    *) return 1 ;;
  esac
}

check_windows() {
  local objdump=${1:-x86_64-w64-mingw32-objdump} dump base addresses names imports dll
  dump=$("$objdump" -p "$file")
  base=$(sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p' <<<"$dump")
  # Rows of the export address table: "[   0] +base[   1] 1370 Export RVA".
  addresses=$(sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] +base\[ *\([0-9]*\)\].*/\2/p' <<<"$dump")
  # Rows of the name table: "[   0] RazaRa", index into the address table.
  names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
    sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p')
  if [ "$(echo $addresses)" != "1" ]; then
    fail "export ordinals are [$(echo $addresses)], expected exactly [1]"
  fi
  if [ -z "$base" ] || [ "$names" != "$((1 - base)) RazaRa" ]; then
    fail "named exports are [$(echo $names)] with ordinal base [$base], expected RazaRa at 1"
  fi
  imports=$(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$dump")
  [ -n "$imports" ] || fail "no import table found"
  for dll in $imports; do
    system_dll "$dll" || fail "imports $dll, which is not a Windows system DLL"
  done
  "$objdump" -h "$file" | grep -qw '\.rsrc' || fail "no resource section"
  if ! strings -el "$file" | grep -qx "$expected_version"; then
    fail "no version resource naming $expected_version"
  fi
  if ! strings -el "$file" | grep -qx "FileVersion"; then
    fail "the version resource has no FileVersion"
  fi
}

case "$kind" in
  linux) check_linux ;;
  windows) check_windows "${3:-}" ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$file: $failures export check(s) failed" >&2
  exit 1
fi
echo "$file: export table and dependencies as expected"
