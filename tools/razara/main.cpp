// razara [--no-mkdir] OUTSIDE_ID HARDWARE_ID SERVICE_URL
// Loads the library from this program's folder, makes sure the cache folder exists (the host's
// duty, not the library's; --no-mkdir leaves it alone), calls RazaRa once, reports what the call
// did to the cache folder and exits with its result.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "RovireZevaDe.h"
#include "cache_report.h"
#include "library_loader.h"

namespace {

const char* Meaning(int result) {
  switch (result) {
    case RAZARA_REFRESHED:
      return "refreshed: every listed file is present and FileList.xml was saved";
    case RAZARA_QUERY_FAILED:
      return "query failed: no usable reply or no ad list";
    case RAZARA_DOWNLOAD_FAILED:
      return "download failed: a listed file could not be fetched";
    case RAZARA_SAVE_FAILED:
      return "save failed: FileList.xml could not be written";
    default:
      return "unknown result";
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool createCache = true;
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--no-mkdir") == 0) {
    createCache = false;
    first = 2;
  }
  if (argc - first != 3) {
    std::fprintf(stderr, "usage: razara [--no-mkdir] OUTSIDE_ID HARDWARE_ID SERVICE_URL\n");
    return 64;
  }
  razara::Library library;
  if (!library.Load()) {
    std::fprintf(stderr, "razara: cannot load the library: %s\n", library.Error().c_str());
    return 65;
  }
  if (createCache && !razara::EnsureCacheDir()) {
    std::fprintf(stderr, "razara: cannot create the cache folder\n");
    return 66;
  }
  const std::string cacheDir = razara::CacheDirPath();
  const razara::FolderSnapshot before = razara::TakeSnapshot(cacheDir);

  const auto start = std::chrono::steady_clock::now();
  const int result = library.Call(argv[first], argv[first + 1], argv[first + 2]);
  const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;

  std::printf("RazaRa returned %d: %s\n", result, Meaning(result));
  std::printf("Time taken: %.3f s\n", taken.count());
  razara::PrintCacheReport(stdout, cacheDir, before, razara::TakeSnapshot(cacheDir),
                           result == RAZARA_REFRESHED);
  std::fflush(stdout);
  return result;
}
