#!/usr/bin/env bash
# The order in which one whole refresh makes its work durable, read from its system calls
# (strace -f -y): fetched data is flushed before it takes its final name, the cache folder is
# flushed after those renames and before FileList.xml is replaced, and the list's own data and
# name are flushed the same way. A power cut at any point then leaves either whole files under
# final names or nothing there, and never a list that names a file the disk does not hold.
#   check_sync_order.sh TEST_PROGRAM GTEST_FILTER
set -euo pipefail
program=$1
filter=$2
if ! command -v strace >/dev/null; then
  echo "strace is not installed (scripts/bootstrap installs it)"
  [ "${RZ_ALLOW_SKIPS:-0}" = 1 ] && exit 77
  exit 1
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# LeakSanitizer cannot run under ptrace; the same program's own test run checks for leaks.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  strace -f -y -qq -o "$log" -e trace=fsync,fdatasync,syncfs,rename,renameat,renameat2 \
  "$program" --gtest_filter="$filter" >/dev/null

# In order: a sync of staged data, each rename of a staged fetch, a sync of the cache folder,
# a sync of the list's temporary file, its rename over FileList.xml, a sync of the cache folder.
awk '
  function fail(why) { print "out of order: " why ": " $0; bad = 1; exit 1 }
  /(fdatasync|syncfs|fsync)\(.*\/\.staging\/.*\.part>/ { dataSynced = 1; next }
  /(fdatasync|fsync)\(.*\/\.staging\/FileList\.xml\.tmp>/ { listSynced = 1; next }
  /fsync\([0-9]+<[^>]*\/cache>\)/ { folderSynced = 1; dataSynced = 0; next }
  /rename.*\/\.staging\/[^"]*\.part", "[^"]*\/cache\/[^"]*"/ {
    if (!dataSynced) fail("a fetched file took its name before its data was flushed")
    parts++; folderSynced = 0; next
  }
  /rename.*FileList\.xml\.tmp", "[^"]*\/FileList\.xml"/ {
    if (!parts) fail("no fetched file was renamed before the list")
    if (!folderSynced) fail("the list was replaced before the new names were flushed")
    if (!listSynced) fail("the list took its name before its data was flushed")
    listed = 1; folderSynced = 0; listSynced = 0; next
  }
  END {
    if (bad) exit 1
    if (!listed) { print "no FileList.xml was saved"; exit 1 }
    if (!folderSynced) { print "the list'"'"'s new name was not flushed"; exit 1 }
    print "syncs and renames in order: " parts " fetched file(s), then the list"
  }
' "$log"
