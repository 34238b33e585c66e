// What a RazaRa call did to the cache folder: a snapshot before the call, one after, and the
// report that compares them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace razara {

struct FileState {
  bool isFile = true;
  std::uintmax_t size = 0;
  std::int64_t modified = 0;  // ticks of the file clock; only compared for equality
};

// File name -> state, for the entries directly inside `folder` (empty when it does not exist).
using FolderSnapshot = std::map<std::string, FileState>;
FolderSnapshot TakeSnapshot(const std::string& folder);

// One line per entry of `after`: its size and whether it was already there, fetched in this call
// or fetched again (an empty file replaced); FileList.xml is "saved" when `listSaved`. An entry
// of `before` missing from `after` is "gone", or with `pruned` (the call was asked to remove
// unlisted files) "removed" with its size, and a last line counts them and the bytes freed.
void PrintCacheReport(std::FILE* out, const std::string& folder, const FolderSnapshot& before,
                      const FolderSnapshot& after, bool listSaved, bool pruned = false);

}  // namespace razara
