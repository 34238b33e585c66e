#!/usr/bin/env bash
# Proves the install: builds the library from SOURCE_DIR into a scratch folder, installs it into
# a temporary prefix named only at install time, builds an outside consumer against it twice
# (CMake package, pkg-config) and runs each consumer against the sample ad service.
# usage: check_install.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
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
# pkg-config resolves the .pc file's folders to the install-time prefix.
pc_libdir=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --variable=libdir RovireZevaDe)
[ "$(realpath "$pc_libdir")" = "$(realpath "$libdir")" ] || fail "pkg-config libdir is $pc_libdir"
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
  for ad in "$src"/tools/sample_service/ads/*; do
    cmp -s "$ad" "$dir/Tavrin/RazaRa/$(basename "$ad")" || fail "$(basename "$ad") differs ($mode)"
  done
  echo "install check: consumer via $mode refreshed the cache"
done

# The installed host finds the installed library through its run path.
"$prefix/bin/razara" OUT HW "$url" >"$work/razara.run" 2>&1 || { cat "$work/razara.run"; fail "installed razara"; }
[ -s "$prefix/bin/Tavrin/RazaRa/FileList.xml" ] || fail "installed razara saved no FileList.xml"
echo "install check: the installed host refreshed its cache"
