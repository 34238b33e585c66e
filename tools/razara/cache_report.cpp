#include "cache_report.h"

#include <filesystem>
#include <system_error>

namespace razara {
namespace fs = std::filesystem;

FolderSnapshot TakeSnapshot(const std::string& folder) {
  FolderSnapshot snapshot;
  std::error_code error;
  fs::directory_iterator it(fs::u8path(folder), error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    FileState state;
    std::error_code ignored;
    state.isFile = it->is_regular_file(ignored);
    if (state.isFile) {
      state.size = it->file_size(ignored);
      state.modified = it->last_write_time(ignored).time_since_epoch().count();
    }
    snapshot[it->path().filename().u8string()] = state;
  }
  return snapshot;
}

namespace {

constexpr char kListName[] = "FileList.xml";

const char* Change(const std::string& name, const FolderSnapshot& before, const FileState& now,
                   bool listSaved) {
  // File times may be as coarse as a second, so the list's fate comes from the result instead.
  if (name == kListName) return listSaved ? "saved" : "not touched";
  const auto old = before.find(name);
  if (old == before.end()) return "fetched";
  const FileState& was = old->second;
  if (was.isFile != now.isFile || was.size != now.size || was.modified != now.modified) {
    return "fetched again";
  }
  return "already there";
}

}  // namespace

void PrintCacheReport(std::FILE* out, const std::string& folder, const FolderSnapshot& before,
                      const FolderSnapshot& after, bool listSaved) {
  std::fprintf(out, "Cache folder: %s\n", folder.c_str());
  if (after.empty()) {
    std::fprintf(out, "  (%s)\n", fs::exists(fs::u8path(folder)) ? "empty" : "does not exist");
    return;
  }
  int fetched = 0;
  for (const auto& [name, state] : after) {
    const char* change = Change(name, before, state, listSaved);
    if (!state.isFile) {
      std::fprintf(out, "  %-14s %12s  %s\n", change, "(folder)", name.c_str());
      continue;
    }
    if (name != kListName && change[0] == 'f') ++fetched;
    std::fprintf(out, "  %-14s %12llu  %s\n", change, static_cast<unsigned long long>(state.size),
                 name.c_str());
  }
  for (const auto& [name, state] : before) {
    if (after.count(name) == 0) std::fprintf(out, "  %-14s %12s  %s\n", "gone", "", name.c_str());
  }
  std::fprintf(out, "Files fetched in this call: %d\n", fetched);
}

}  // namespace razara
