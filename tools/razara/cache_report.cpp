#include "cache_report.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace razara {
namespace fs = std::filesystem;

FolderSnapshot TakeSnapshot(const std::string& folder) {
  FolderSnapshot snapshot;
  std::error_code error;
  fs::directory_iterator it(fs::u8path(folder), error);  // razara's paths are UTF-8 throughout
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    // The library's own staging folder holds no ad; a host never reads it.
    if (it->path().filename() == ".staging") continue;
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
// Beyond this many entries the report shows only the first and last kReportEnds.
constexpr std::size_t kLongReport = 40;
constexpr std::size_t kReportEnds = 10;

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
                      const FolderSnapshot& after, bool listSaved, bool pruned) {
  std::fprintf(out, "Cache folder: %s\n", folder.c_str());
  std::size_t removed = 0;
  std::uintmax_t freed = 0;
  const auto printRemoved = [&] {
    if (pruned) {
      std::fprintf(out, "Files removed in this call: %zu (%llu bytes freed)\n", removed,
                   static_cast<unsigned long long>(freed));
    }
  };
  if (after.empty()) {
    bool exists = false;
    try {
      exists = fs::exists(fs::u8path(folder));
    } catch (...) {
    }
    std::fprintf(out, "  (%s)\n", exists ? "empty" : "does not exist");
    printRemoved();
    return;
  }
  std::vector<std::string> rows;
  std::map<std::string, int> counts;
  int fetched = 0;
  char row[64];
  for (const auto& [name, state] : after) {
    const char* change = Change(name, before, state, listSaved);
    ++counts[change];
    if (!state.isFile) {
      std::snprintf(row, sizeof row, "  %-14s %12s  ", change, "(folder)");
    } else {
      if (name != kListName && change[0] == 'f') ++fetched;
      std::snprintf(row, sizeof row, "  %-14s %12llu  ", change,
                    static_cast<unsigned long long>(state.size));
    }
    rows.push_back(row + name);
  }
  for (const auto& [name, state] : before) {
    if (after.count(name) != 0) continue;
    if (pruned && state.isFile) {
      ++removed;
      freed += state.size;
      ++counts["removed"];
      std::snprintf(row, sizeof row, "  %-14s %12llu  ", "removed",
                    static_cast<unsigned long long>(state.size));
    } else {
      ++counts["gone"];
      std::snprintf(row, sizeof row, "  %-14s %12s  ", "gone", "");
    }
    rows.push_back(row + name);
  }
  // A long list is summarised: its first and last entries and the counts of each kind.
  if (rows.size() > kLongReport) {
    for (std::size_t i = 0; i < kReportEnds; ++i) std::fprintf(out, "%s\n", rows[i].c_str());
    std::fprintf(out, "  ... %zu more ...\n", rows.size() - 2 * kReportEnds);
    for (std::size_t i = rows.size() - kReportEnds; i < rows.size(); ++i) {
      std::fprintf(out, "%s\n", rows[i].c_str());
    }
    std::string summary;
    for (const auto& [change, count] : counts) {
      summary += (summary.empty() ? "" : ", ") + std::to_string(count) + " " + change;
    }
    std::fprintf(out, "Entries: %zu (%s)\n", rows.size(), summary.c_str());
  } else {
    for (const auto& line : rows) std::fprintf(out, "%s\n", line.c_str());
  }
  std::fprintf(out, "Files fetched in this call: %d\n", fetched);
  printRemoved();
}

}  // namespace razara
