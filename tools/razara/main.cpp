// razara OUTSIDE_ID HARDWARE_ID SERVICE_URL
// Loads the library from this program's folder, makes sure the cache folder exists (the host's
// duty, not the library's), calls RazaRa once and exits with its result.
#include <cstdio>
#include <cstring>
#include <string>

#include "RovireZevaDe.h"
#include "library_loader.h"

namespace {

const char* Meaning(int result) {
  switch (result) {
    case 0: return "refreshed: every listed file is present and FileList.xml was saved";
    case 1: return "query failed: no usable reply or no ad list";
    case 2: return "download failed: a listed file could not be fetched";
    case 3: return "save failed: FileList.xml could not be written";
    default: return "unknown result";
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
  const int result = library.Call(argv[first], argv[first + 1], argv[first + 2]);
  std::printf("RazaRa returned %d: %s\n", result, Meaning(result));
  std::fflush(stdout);
  return result;
}
