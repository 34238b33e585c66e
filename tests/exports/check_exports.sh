#!/usr/bin/env bash
# Checks the shipped library's export table and its dependencies, and the public header.
#   check_exports.sh linux   <libRovireZevaDe.so> [options]
#   check_exports.sh windows <RovireZevaDe.dll> [objdump] [options]
# options: --version V  the version the library and the header must name (default 1.0.0.1)
#          --header H --cc CC  also check header H with the C compiler CC of the same build
#          --no-fortify  a sanitized or unoptimised build: no fortified calls expected
# Linux: exactly one defined function symbol, RazaRa, and SONAME libRovireZevaDe.so.1; hardened
# as Debian's hardening-check sees it (stack protector, fortified calls, read-only relocations,
# immediate binding) and its code built for CET.
# Windows: exactly one export, RazaRa at ordinal 1; imports from Windows system DLLs only (the
# compiler's runtime is linked in statically, so the DLL can be copied alone beside a host);
# a version resource naming the version; ASLR (64-bit addresses on x64), DEP and the stack
# protector.
# Header: it compiles as strict C89, names the four results 0 to 3 and the version.
set -euo pipefail

usage="usage: check_exports.sh linux|windows FILE [objdump] [--version V] [--header H --cc CC] [--no-fortify]"
kind=${1:?$usage}
file=${2:?$usage}
shift 2
objdump=
expected_version=1.0.0.1
header=
cc=
fortify=1
while [ $# -gt 0 ]; do
  case $1 in
    --version) expected_version=${2:?$usage}; shift 2 ;;
    --header) header=${2:?$usage}; shift 2 ;;
    --cc) cc=${2:?$usage}; shift 2 ;;
    --no-fortify) fortify=0; shift ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) objdump=$1; shift ;;
  esac
done
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
  check_linux_hardening
}

# Debian 12's crti.o and crtn.o carry no CET note, so the linker drops the library's IBT and
# SHSTK marks whatever the compiler did; hardening-check's "Control flow integrity" line cannot
# pass there. That the code itself was built with -fcf-protection shows in the export's first
# instruction instead.
check_linux_hardening() {
  local options=(--nocfprotection) report code
  command -v hardening-check >/dev/null ||
    { fail "hardening-check not found (package devscripts; scripts/bootstrap installs it)"; return; }
  [ "$fortify" -eq 1 ] || options+=(--nofortify)
  report=$(hardening-check "${options[@]}" "$file" 2>&1) ||
    fail "hardening-check ${options[*]} failed:$(grep ': no' <<<"$report" | grep -v '(ignored)' | tr '\n' ';')"
  code=$(objdump -d --disassemble=RazaRa "$file")
  grep -qw endbr64 <<<"$(sed -n '/<RazaRa>:$/{n;p;q}' <<<"$code")" || fail "RazaRa does not start with endbr64: built without -fcf-protection"
}

# Windows system DLLs the library may import; anything else (libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll ...) would have to ship beside it.
system_dll() {
  case "${1,,}" in
    kernel32.dll | msvcrt.dll | ole32.dll | oleaut32.dll | ws2_32.dll | wininet.dll | \
      user32.dll | advapi32.dll | shell32.dll | gdi32.dll | rpcrt4.dll | shlwapi.dll | \
      ntdll.dll | secur32.dll | crypt32.dll | api-ms-win-*.dll) return 0 ;;
    *) return 1 ;;
  esac
}

check_windows() {
  local dump base addresses names imports dll
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
  check_windows_hardening "$dump"
  "$objdump" -h "$file" | grep -qw '\.rsrc' || fail "no resource section"
  if ! strings -el "$file" | grep -qx "$expected_version"; then
    fail "no version resource naming $expected_version"
  fi
  if ! strings -el "$file" | grep -qx "FileVersion"; then
    fail "the version resource has no FileVersion"
  fi
}

# ASLR and DEP from the PE header; the stack protector from the symbol table, where libssp's
# __stack_chk_fail (linked in statically) appears only when protected code calls it.
check_windows_hardening() {
  local dump=$1 flags flag symbols
  flags=$(sed -n '/^DllCharacteristics/,/^[A-Z]/p' <<<"$dump")
  for flag in DYNAMIC_BASE NX_COMPAT; do
    grep -qw "$flag" <<<"$flags" || fail "DllCharacteristics lack $flag"
  done
  if grep -q 'file format pei-x86-64' <<<"$("$objdump" -f "$file")"; then
    grep -qw HIGH_ENTROPY_VA <<<"$flags" || fail "DllCharacteristics lack HIGH_ENTROPY_VA"
  fi
  symbols=$("$objdump" -t "$file")
  grep -Eq ' _?__stack_chk_fail$' <<<"$symbols" ||
    fail "no __stack_chk_fail: built without -fstack-protector-strong (or stripped)"
}

# The header's macros as the compiler sees them, for C hosts that cannot share the tree's enum.
check_header() {
  local dir macros value name expected major minor patch tweak
  [ -f "$header" ] || { fail "header $header not found"; return; }
  dir=$(mktemp -d)
  printf '#include "%s"\nint main(void) { return RazaRa(0, 0, 0) == RAZARA_REFRESHED; }\n' \
    "$(realpath "$header")" >"$dir/c89.c"
  "$cc" -std=c89 -pedantic-errors -Wall -Wextra -Werror -c "$dir/c89.c" -o "$dir/c89.o" \
    >"$dir/cc.log" 2>&1 || { cat "$dir/cc.log" >&2; fail "the header does not compile as C89"; }
  macros=$("$cc" -std=c89 -dM -E -x c "$header" 2>&1) || fail "the header does not preprocess"
  rm -rf "$dir"
  macro() { sed -n "s/^#define $1 \(.*\)$/\1/p" <<<"$macros"; }
  expected=0
  for name in RAZARA_REFRESHED RAZARA_QUERY_FAILED RAZARA_DOWNLOAD_FAILED RAZARA_SAVE_FAILED; do
    value=$(macro "$name")
    [ "$value" = "$expected" ] || fail "$name is [$value], expected [$expected]"
    expected=$((expected + 1))
  done
  IFS=. read -r major minor patch tweak <<<"$expected_version"
  [ "$(macro RAZARA_VERSION_MAJOR)" = "$major" ] || fail "RAZARA_VERSION_MAJOR is not $major"
  [ "$(macro RAZARA_VERSION_MINOR)" = "$minor" ] || fail "RAZARA_VERSION_MINOR is not $minor"
  [ "$(macro RAZARA_VERSION_PATCH)" = "$patch" ] || fail "RAZARA_VERSION_PATCH is not $patch"
  [ "$(macro RAZARA_VERSION_TWEAK)" = "${tweak:-0}" ] || fail "RAZARA_VERSION_TWEAK is not ${tweak:-0}"
  value=$(macro RAZARA_VERSION_STRING)
  [ "$value" = "\"$expected_version\"" ] || fail "RAZARA_VERSION_STRING is [$value], expected \"$expected_version\""
}

case "$kind" in
  linux) check_linux ;;
  windows) objdump=${objdump:-x86_64-w64-mingw32-objdump}; check_windows ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
if [ -n "$header" ]; then
  [ -n "$cc" ] || { echo "$usage" >&2; exit 2; }
  check_header
fi

if [ "$failures" -ne 0 ]; then
  echo "$file: $failures export check(s) failed" >&2
  exit 1
fi
echo "$file: export table and dependencies as expected${header:+; $header as expected}"
