#include "host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

namespace rze {
namespace fs = std::filesystem;
namespace {

// A setting from the environment, or the value the build compiled in.
std::string Setting(const char* name, const char* built) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : built;
}

// Starts argv with its output in the two files, in a process group of its own so that a time-out
// or a kill ends everything it started, Wine's processes included. No descriptor of ours leaks
// into it: Wine's helper processes keep whatever they inherit.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& outPath, const std::string& errPath) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // Built before fork: the child only calls async-signal-safe functions.
  std::vector<char*> envp;
  for (const auto& entry : extraEnv) envp.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

}  // namespace

int RunWindowsTool(const std::string& program, const std::vector<std::string>& args,
                   std::chrono::seconds limit, std::string* output) {
  const std::string binDir = Setting("RZ_WINDOWS_BIN_DIR", "");
  if (binDir.empty()) return -1;
  const rztest::TempDir scratch("rz-e2e-tool");
  const bool ours = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
  std::vector<std::string> argv = {RZ_E2E_WINE_RUN, ours ? binDir + "/" + program : program};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string outPath = scratch.Path("out");
  const pid_t pid = Spawn(argv, {std::string("RZ_WINE_BUILD_DIR=") + RZ_E2E_WINE_BUILD_DIR},
                          outPath, scratch.Path("err"));
  if (pid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (output != nullptr)
    *output = rztest::ReadFile(outPath) + rztest::ReadFile(scratch.Path("err"));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string WinePath(const std::string& linuxPath) {
  std::string path = "Z:" + linuxPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string HostName(Host host) { return host == Host::kLinux ? "Linux" : "Wine"; }

std::string Describe(const RunResult& result) {
  return "exit " + std::to_string(result.exitCode) + (result.timedOut ? " (timed out)" : "") +
         (result.killed ? " (killed)" : "") + "\n--- stdout\n" + result.out + "--- stderr\n" +
         result.err;
}

HostFolder::HostFolder(Host host, const std::string& subfolder) : host_(host) {
  const bool onLinux = host == Host::kLinux;
  const std::string binDir = onLinux ? RZ_E2E_LINUX_BIN_DIR : Setting("RZ_WINDOWS_BIN_DIR", "");
  if (binDir.empty()) {
    error_ =
        "RZ_WINDOWS_BIN_DIR is not set: configure with -DRZ_WINDOWS_BIN_DIR=<mingw-x64 "
        "build>/bin, or run scripts/test";
    return;
  }
  dir_ = subfolder.empty() ? root_.path().string() : root_.Path(subfolder);
  std::error_code error;
  fs::create_directories(dir_, error);
  for (const char* name :
       {onLinux ? "razara" : "razara.exe", onLinux ? "libRovireZevaDe.so.1" : "RovireZevaDe.dll"}) {
    // copy_file follows the library's symbolic link and copies the real file under that name.
    fs::copy_file(binDir + "/" + name, dir_ + "/" + name, error);
    if (error) {
      error_ = "cannot copy " + binDir + "/" + name + ": " + error.message();
      return;
    }
  }
}

RunResult HostFolder::Run(const std::string& serviceUrl, bool makeCacheDir,
                          std::chrono::seconds limit, const std::function<bool()>& killWhen) const {
  std::vector<std::string> args;
  if (!makeCacheDir) args.push_back("--no-mkdir");
  args.insert(args.end(), {"OUTSIDE-0042", "HARDWARE-7", serviceUrl});
  return RunArgs(args, limit, killWhen);
}

RunResult HostFolder::RunArgs(const std::vector<std::string>& hostArgs, std::chrono::seconds limit,
                              const std::function<bool()>& killWhen) const {
  std::vector<std::string> args;
  if (host_ == Host::kWindows) {
    args = {RZ_E2E_WINE_RUN, dir_ + "/razara.exe"};
  } else {
    args = {dir_ + "/razara"};
  }
  args.insert(args.end(), hostArgs.begin(), hostArgs.end());

  const std::string outPath = dir_ + "/host.out";
  const std::string errPath = dir_ + "/host.err";
  RunResult result;
  // A Wine prefix of the Linux build's own, never the one of the Windows build's test run.
  const pid_t pid =
      Spawn(args, {std::string("RZ_WINE_BUILD_DIR=") + RZ_E2E_WINE_BUILD_DIR}, outPath, errPath);
  if (pid < 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    result.killed = killWhen && killWhen();
    result.timedOut = std::chrono::steady_clock::now() > deadline;
    if (result.killed || result.timedOut) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!result.timedOut && !result.killed && WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  result.out = rztest::ReadFile(outPath);
  result.err = rztest::ReadFile(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return result;
}

}  // namespace rze
