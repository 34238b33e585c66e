#!/usr/bin/env bash
# Proves the install.
#   check_install.sh SOURCE_DIR
#     Linux: builds the library from SOURCE_DIR into a scratch folder, installs it into a temporary
#     prefix named only at install time, checks the installed library's exports and hardening
#     (tests/exports/check_exports.sh), builds an outside consumer against it twice (CMake
#     package, pkg-config) and runs each consumer against the sample ad service.
#   check_install.sh --windows BUILD_DIR x64|x86 [EMULATOR]
#     Windows: installs the built mingw tree BUILD_DIR into a temporary prefix and checks the MSVC
#     import library RovireZevaDe.lib: its symbols, and a program linked against it the way MSVC
#     links (clang for the *-windows-msvc target and lld-link, no mingw runtime) imports RazaRa
#     by its undecorated name. With EMULATOR (scripts/wine-run), the x64 program is run: its call
#     with an empty service URL must return RAZARA_QUERY_FAILED.
set -euo pipefail
work=$(mktemp -d)
service_pid=
cleanup() {
  local status=$?
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

fail() { echo "install check: $*" >&2; exit 1; }

tool() {
  local name
  for name in "$@"; do
    command -v "$name" && return 0
    [ -x "/usr/lib/llvm-14/bin/$name" ] && { echo "/usr/lib/llvm-14/bin/$name"; return 0; }
  done
  fail "none of [$*] found (scripts/bootstrap installs them)"
}

check_windows() {
  local build arch emulator prefix f nm clang lld objdump symbols expected target machine
  build=$(cd "$1" && pwd)
  arch=$2
  emulator=${3:-}
  case "$arch" in
    x64) target=x86_64-pc-windows-msvc machine=x64 objdump=x86_64-w64-mingw32-objdump
         expected="RazaRa __imp_RazaRa" ;;
    x86) target=i686-pc-windows-msvc machine=x86 objdump=i686-w64-mingw32-objdump
         expected="_RazaRa@12 __imp__RazaRa@12" ;;
    *) fail "unknown architecture $arch" ;;
  esac
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; fail "install"; }
  for f in bin/RovireZevaDe.dll bin/razara.exe include/RovireZevaDe.h lib/libRovireZevaDe.dll.a \
           lib/RovireZevaDe.lib lib/cmake/RovireZevaDe/RovireZevaDeConfig.cmake; do
    [ -e "$prefix/$f" ] || fail "missing $f"
  done

  # The import library's defined symbols: the call and its import thunk pointer.
  nm=$(tool llvm-nm llvm-nm-14)
  symbols=$("$nm" "$prefix/lib/RovireZevaDe.lib" | awk '$2 == "T" { print $3 }' | sort | xargs)
  [ "$symbols" = "$(xargs -n1 <<<"$expected" | sort | xargs)" ] ||
    fail "RovireZevaDe.lib ($arch) defines [$symbols], expected [$expected]"

  # A host linked as MSVC links it: no mingw runtime, only the .lib.
  clang=$(tool clang-14 clang)
  lld=$(tool lld-link-14 lld-link)
  mkdir -p "$work/msvc"
  printf '%s\n' '#include <RovireZevaDe.h>' \
    'int __stdcall start(void) { return RazaRa("", "", "") == RAZARA_QUERY_FAILED ? 0 : 1; }' \
    >"$work/msvc/host.c"
  "$clang" --target="$target" -ffreestanding -O1 -Werror -I"$prefix/include" \
    -c "$work/msvc/host.c" -o "$work/msvc/host.obj" || fail "compiling the MSVC-style host ($arch)"
  "$lld" /nologo /entry:start /subsystem:console /nodefaultlib /machine:"$machine" \
    "$work/msvc/host.obj" "$prefix/lib/RovireZevaDe.lib" /out:"$work/msvc/host.exe" \
    >"$work/msvc/link.log" 2>&1 || { cat "$work/msvc/link.log"; fail "linking against RovireZevaDe.lib ($arch)"; }
  "$objdump" -p "$work/msvc/host.exe" >"$work/msvc/imports.txt"
  grep -q 'DLL Name: RovireZevaDe.dll' "$work/msvc/imports.txt" ||
    fail "the MSVC-style host ($arch) does not import RovireZevaDe.dll"
  grep -Eq '^[[:space:]]*[0-9a-f]+[[:space:]]+1[[:space:]]+RazaRa$' "$work/msvc/imports.txt" ||
    { grep -A3 'DLL Name' "$work/msvc/imports.txt"; fail "the MSVC-style host ($arch) does not import RazaRa undecorated"; }
  echo "install check: RovireZevaDe.lib ($arch) links an MSVC-style host that imports RazaRa"

  if [ -n "$emulator" ] && [ "$arch" = x64 ]; then
    cp "$prefix/bin/RovireZevaDe.dll" "$work/msvc/"
    RZ_WINE_BUILD_DIR=$build "$emulator" "$work/msvc/host.exe" >"$work/msvc/run.log" 2>&1 ||
      { cat "$work/msvc/run.log"; fail "the MSVC-style host did not get RAZARA_QUERY_FAILED"; }
    echo "install check: the MSVC-style host ran under Wine and got RAZARA_QUERY_FAILED"
  fi
}

if [ "${1:-}" = --windows ]; then
  check_windows "${2:?usage: check_install.sh --windows BUILD_DIR x64|x86 [EMULATOR]}" \
    "${3:?usage: check_install.sh --windows BUILD_DIR x64|x86 [EMULATOR]}" "${4:-}"
  exit 0
fi

src=$(cd "${1:?usage: check_install.sh SOURCE_DIR}" && pwd)

# The prefix is given only at install time, as a packager or the README's `--prefix /opt/rz`
# does; the configured one is a folder that never exists, so nothing installed may name it.
configured=$work/configured-prefix-unused
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRZ_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$configured" >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/build" -j2 >"$work/build.log" || { tail -40 "$work/build.log"; fail "build"; }
prefix=$work/prefix
cmake --install "$work/build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
[ ! -e "$configured" ] || fail "the install wrote into the configured prefix"
if grep -rlI -- "$configured" "$prefix" >"$work/stale.txt"; then
  fail "installed files name the configure-time prefix: $(tr '\n' ' ' <"$work/stale.txt")"
fi

libdir=$prefix/lib
[ -d "$prefix/lib64" ] && libdir=$prefix/lib64
for f in include/RovireZevaDe.h bin/razara; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done
for f in libRovireZevaDe.so libRovireZevaDe.so.1 cmake/RovireZevaDe/RovireZevaDeConfig.cmake \
         cmake/RovireZevaDe/RovireZevaDeConfigVersion.cmake pkgconfig/RovireZevaDe.pc; do
  [ -e "$libdir/$f" ] || fail "missing lib/$f"
done
[ -L "$libdir/libRovireZevaDe.so.1" ] || fail "libRovireZevaDe.so.1 is not the SONAME link"
readelf -d "$libdir/libRovireZevaDe.so.1" | grep -q 'SONAME.*libRovireZevaDe.so.1' || fail "SONAME"
# The release build's library, fortified calls included, is hardened as the test builds' are.
bash "$src/tests/exports/check_exports.sh" linux "$libdir/libRovireZevaDe.so.1" ||
  fail "the installed release library fails the export and hardening checks"
# pkg-config resolves the .pc file's folders to the install-time prefix.
pc_libdir=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --variable=libdir RovireZevaDe)
[ "$(realpath "$pc_libdir")" = "$(realpath "$libdir")" ] || fail "pkg-config libdir is $pc_libdir"
version=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion RovireZevaDe)
grep -q "PACKAGE_VERSION \"$version\"" "$libdir/cmake/RovireZevaDe/RovireZevaDeConfigVersion.cmake" ||
  fail "the CMake package and the pkg-config file disagree on the version ($version)"
pc_cflags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags RovireZevaDe | xargs)
[ "$(realpath "${pc_cflags#-I}")" = "$(realpath "$prefix/include")" ] ||
  fail "pkg-config cflags are $pc_cflags"

# The sample ad service from the same build, on a free loopback port.
service=$work/build/bin/sample_service
[ -x "$service" ] || fail "no sample service in the build"
"$service" --port 0 --ads "$src/tools/sample_service/ads" >"$work/service.out" 2>&1 &
service_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(grep -o -m1 '127\.0\.0\.1:[0-9]*' "$work/service.out" | cut -d: -f2 || true)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { cat "$work/service.out"; fail "sample service did not start"; }
url="http://127.0.0.1:$port/AdService.asmx"

for mode in cmake pkg-config; do
  dir=$work/consumer-$mode
  opts=(-DCMAKE_PREFIX_PATH="$prefix")
  [ "$mode" = pkg-config ] && opts=(-DUSE_PKG_CONFIG=ON)
  PKG_CONFIG_PATH=$libdir/pkgconfig cmake -S "$src/tests/install/consumer" -B "$dir" -G Ninja \
    "${opts[@]}" >"$dir.log" 2>&1 || { cat "$dir.log"; fail "consumer configure ($mode)"; }
  cmake --build "$dir" >>"$dir.log" 2>&1 || { cat "$dir.log"; fail "consumer build ($mode)"; }
  mkdir -p "$dir/Tavrin/RazaRa"
  LD_LIBRARY_PATH=$libdir "$dir/consumer" OUT HW "$url" >"$dir.run" 2>&1 \
    || { cat "$dir.run"; fail "consumer run ($mode) returned $?"; }
  [ -s "$dir/Tavrin/RazaRa/FileList.xml" ] || fail "no FileList.xml ($mode)"
  # The installed header names the version the package files give.
  grep -qx "RovireZevaDe $version" "$dir.run" || { cat "$dir.run"; fail "header version is not $version ($mode)"; }
  for ad in "$src"/tools/sample_service/ads/*; do
    cmp -s "$ad" "$dir/Tavrin/RazaRa/$(basename "$ad")" || fail "$(basename "$ad") differs ($mode)"
  done
  echo "install check: consumer via $mode refreshed the cache"
done

# The installed host finds the installed library through its run path.
"$prefix/bin/razara" OUT HW "$url" >"$work/razara.run" 2>&1 || { cat "$work/razara.run"; fail "installed razara"; }
[ -s "$prefix/bin/Tavrin/RazaRa/FileList.xml" ] || fail "installed razara saved no FileList.xml"
echo "install check: the installed host refreshed its cache"
