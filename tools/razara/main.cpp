// razara: the command-line host. Loads the library from this program's folder, makes sure the
// cache folder exists (the host's duty, not the library's), calls RazaRa once, reports what the
// call did to the cache folder and exits with its result. `razara --help` tells the rest.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "RovireZevaDe.h"
#include "cache_report.h"
#include "host_platform.h"
#include "library_loader.h"
#include "progress_line.h"

namespace {

// Exit codes beyond RazaRa's own 0..3, after sysexits.h.
constexpr int kExitUsage = 64;        // EX_USAGE
constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE: the library cannot be loaded
constexpr int kExitCantCreate = 73;   // EX_CANTCREAT: the cache folder cannot be made
constexpr int kExitIoError = 74;      // EX_IOERR: the report cannot be written

constexpr char kUsage[] = "usage: razara [options] OUTSIDE_ID HARDWARE_ID SERVICE_URL\n";

constexpr char kHelp[] =
    "Refreshes the ad cache Tavrin/RazaRa/ beside this program with one call of the library's\n"
    "RazaRa (the library is loaded from this program's folder), then reports what the call did\n"
    "to the cache folder.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose   show the library's debug lines on stderr as they happen: each fetch,\n"
    "                  each failure with its URL, status and the system's reason, the result\n"
    "  -q, --quiet     print only errors (a failing result included) on stderr\n"
    "      --no-mkdir  leave a missing cache folder missing (the library never creates it)\n"
    "      --prune     when the call returns 0, remove every file at the top of the cache\n"
    "                  folder that the saved FileList.xml does not name, files you put there\n"
    "                  yourself included (sets RAZARA_PRUNE=1 for the call). Folders, links\n"
    "                  and FileList.xml stay; a file that cannot be removed stays too. The\n"
    "                  report lists what was removed and the bytes freed\n"
    "  -h, --help      print this help and exit\n"
    "      --version   print razara's version, the library's path and file version, and exit\n"
    "      --          end of options\n"
    "\n"
    "On a terminal, a live line shows the file being fetched: its name, bytes so far,\n"
    "percentage and rate. It is replaced by the report; nothing is drawn when stdout is not a\n"
    "terminal.\n"
    "\n"
    "Exit codes:\n"
    "  0   refreshed: every listed file is present and FileList.xml was saved\n"
    "  1   the query failed: empty service URL, failed exchange, or a reply without an ad list\n"
    "  2   a listed file could not be downloaded; FileList.xml was left as it was\n"
    "  3   every listed file is present, but FileList.xml could not be saved\n"
    "  64  usage error (EX_USAGE)\n"
    "  69  the library cannot be loaded or has no RazaRa entry (EX_UNAVAILABLE)\n"
    "  73  the cache folder cannot be created (EX_CANTCREAT)\n"
    "  74  the report cannot be written to stdout (EX_IOERR)\n";

// What the library's failure lines hold, after the stage and what it concerned.
constexpr std::string_view kFailureMark = " failed: ";

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

struct Options {
  bool verbose = false;
  bool quiet = false;
  bool createCache = true;
  bool prune = false;
  bool help = false;
  bool version = false;
  std::vector<const char*> operands;
};

// False with `error` set on a usage error.
bool Parse(int argc, char** argv, Options& options, std::string& error) {
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      options.operands.push_back(argv[i]);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--no-mkdir") {
      options.createCache = false;
    } else if (arg == "--prune") {
      options.prune = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else {
      error = "unknown option " + std::string(arg);
      return false;
    }
  }
  if (options.help || options.version) return true;
  if (options.verbose && options.quiet) {
    error = "-v and -q exclude each other";
    return false;
  }
  if (options.operands.size() != 3) {
    error = "expected 3 operands, got " + std::to_string(options.operands.size());
    return false;
  }
  return true;
}

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "razara: %s\n", message.c_str());
  return code;
}

// stdout could not take the report (a closed pipe, a full disk).
int Finish(int result) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return Fail(kExitIoError, "cannot write to stdout");
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  razara::PrepareConsole();
  Options options;
  std::string error;
  if (!Parse(argc, argv, options, error)) {
    std::fprintf(stderr, "razara: %s\n%sTry 'razara --help'.\n", error.c_str(), kUsage);
    return kExitUsage;
  }
  if (options.help) {
    std::printf("%s\n%s", kUsage, kHelp);
    return Finish(0);
  }

  razara::Library library;
  if (!library.Load()) {
    return Fail(kExitUnavailable, "cannot load the library: " + library.Error());
  }
  if (options.version) {
    std::printf("razara %s\nlibrary %s\nlibrary file version %s\n", RAZARA_VERSION_TEXT,
                library.LoadedPath().c_str(), library.FileVersion().c_str());
    return Finish(0);
  }
  if (options.createCache && !razara::EnsureCacheDir(error)) {
    return Fail(kExitCantCreate, "cannot create the cache folder " + error);
  }
  const std::string cacheDir = razara::CacheDirPath();
  const razara::FolderSnapshot before = razara::TakeSnapshot(cacheDir);

  // The library's lines are read while the call runs when they are to be shown, or to draw the
  // live progress line on a terminal.
  const bool draw = !options.quiet && razara::StdoutIsTerminal();
  razara::ProgressLine progress(stdout, cacheDir, draw);
  razara::DebugLineReader reader;
  if (options.verbose || draw) {
    std::string warning;
    const bool started = reader.Start(
        [&](std::string_view line) {
          // On a terminal without -v, the failure lines still show: they say why.
          if (options.verbose || !razara::IsLibraryLine(line) ||
              line.find(kFailureMark) != std::string_view::npos) {
            progress.Clear();
            reader.WriteError(std::string(line) + "\n");
          }
          progress.Feed(line);
        },
        error, warning);
    if (!started) std::fprintf(stderr, "razara: warning: %s\n", error.c_str());
    if (!warning.empty()) std::fprintf(stderr, "razara: warning: %s\n", warning.c_str());
  }

  if (options.prune) razara::SetVariable("RAZARA_PRUNE", "1");
  const auto start = std::chrono::steady_clock::now();
  const auto& args = options.operands;
  const int result = library.Call(args[0], args[1], args[2]);
  const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
  reader.Stop();
  progress.Clear();

  if (options.quiet) {
    if (result != 0) {
      std::fprintf(stderr, "razara: RazaRa returned %d: %s\n", result, Meaning(result));
    }
    return Finish(result);
  }
  std::printf("RazaRa returned %d: %s\n", result, Meaning(result));
  std::printf("Time taken: %.3f s\n", taken.count());
  razara::PrintCacheReport(stdout, cacheDir, before, razara::TakeSnapshot(cacheDir),
                           result == RAZARA_REFRESHED, options.prune);
  return Finish(result);
}
