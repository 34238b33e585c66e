#include "host_process.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace rze {
namespace fs = std::filesystem;
namespace {

// A setting from the environment, or the value the build compiled in.
std::string Setting(const char* name, const char* built) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : built;
}

// `text` as one shell word.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string HostName(Host host) { return host == Host::kLinux ? "Linux" : "Wine"; }

std::string Describe(const RunResult& result) {
  return "exit " + std::to_string(result.exitCode) + (result.timedOut ? " (timed out)" : "") +
         "\n--- stdout\n" + result.out + "--- stderr\n" + result.err;
}

HostFolder::HostFolder(Host host) : host_(host) {
  const bool onLinux = host == Host::kLinux;
  const std::string binDir = onLinux ? RZ_E2E_LINUX_BIN_DIR : Setting("RZ_WINDOWS_BIN_DIR", "");
  if (binDir.empty()) {
    error_ =
        "RZ_WINDOWS_BIN_DIR is not set: configure with -DRZ_WINDOWS_BIN_DIR=<mingw-x64 "
        "build>/bin, or run scripts/test";
    return;
  }
  for (const char* name :
       {onLinux ? "razara" : "razara.exe", onLinux ? "libRovireZevaDe.so.1" : "RovireZevaDe.dll"}) {
    // copy_file follows the library's symbolic link and copies the real file under that name.
    std::error_code error;
    fs::copy_file(binDir + "/" + name, dir_.path() / name, error);
    if (error) {
      error_ = "cannot copy " + binDir + "/" + name + ": " + error.message();
      return;
    }
  }
}

RunResult HostFolder::Run(const std::string& serviceUrl, bool makeCacheDir,
                          std::chrono::seconds limit) const {
  // timeout(1) ends the host's whole process group at the limit, Wine's processes included. The
  // host inherits no socket of the test's servers: they are all close-on-exec. Its Wine prefix
  // is the Linux build's own, never the one of the Windows build's test run.
  std::string command = "RZ_WINE_BUILD_DIR=" + Quoted(RZ_E2E_WINE_BUILD_DIR) + " timeout -k 5 " +
                        std::to_string(limit.count()) + " ";
  command += host_ == Host::kWindows ? Quoted(RZ_E2E_WINE_RUN) + " " + Quoted(dir() + "/razara.exe")
                                     : Quoted(dir() + "/razara");
  if (!makeCacheDir) command += " --no-mkdir";
  const std::string out = dir() + "/host.out";
  const std::string err = dir() + "/host.err";
  command += " OUTSIDE-0042 HARDWARE-7 " + Quoted(serviceUrl) + " </dev/null >" + Quoted(out) +
             " 2>" + Quoted(err);

  RunResult result;
  const int status = std::system(command.c_str());
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.timedOut = result.exitCode == 124;
  result.out = rztest::ReadFile(out);
  result.err = rztest::ReadFile(err);
  fs::remove(out);
  fs::remove(err);
  return result;
}

}  // namespace rze
