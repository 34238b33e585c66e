#include "host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <system_error>

namespace rze {
namespace fs = std::filesystem;
namespace {

// A setting from the environment, or the value the build compiled in.
std::string Setting(const char* name, const char* built) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : built;
}

std::string WineRun() { return Setting("RZ_WINE_RUN", RZ_E2E_WINE_RUN); }

struct HostFiles {
  std::string binDir;
  std::string program;
  std::string library;
};

HostFiles FilesOf(Host host) {
  if (host == Host::kLinux) {
    return {Setting("RZ_LINUX_BIN_DIR", RZ_E2E_LINUX_BIN_DIR), "razara", "libRovireZevaDe.so.1"};
  }
  return {Setting("RZ_WINDOWS_BIN_DIR", ""), "razara.exe", "RovireZevaDe.dll"};
}

// Starts argv with its output in the two files, in a process group of its own so that a time-out
// ends everything it started. No descriptor of ours leaks into it: Wine's helper processes keep
// whatever they inherit.
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

std::string HostName(Host host) { return host == Host::kLinux ? "Linux" : "Wine"; }

std::string Unavailable(Host host) {
  const HostFiles files = FilesOf(host);
  if (files.binDir.empty()) return "RZ_WINDOWS_BIN_DIR is not set (run the test through ctest)";
  for (const auto& name : {files.program, files.library}) {
    if (!Exists(files.binDir + "/" + name)) {
      return files.binDir + "/" + name + " is missing" +
             (host == Host::kWindows ? " (build the mingw-x64 preset first)" : "");
    }
  }
  if (host == Host::kWindows && !Exists(WineRun())) return WineRun() + " not found";
  return {};
}

HostFolder::HostFolder(Host host, const std::string& subfolder) : host_(host) {
  error_ = Unavailable(host);
  if (!error_.empty()) return;
  std::string pattern = (fs::temp_directory_path() / "rz-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "mkdtemp failed";
    return;
  }
  root_ = pattern;
  dir_ = subfolder.empty() ? root_ : root_ + "/" + subfolder;
  const HostFiles files = FilesOf(host);
  std::error_code error;
  fs::create_directories(dir_, error);
  for (const auto& name : {files.program, files.library}) {
    // copy_file follows the library's symbolic link and copies the real file under that name.
    fs::copy_file(files.binDir + "/" + name, dir_ + "/" + name, error);
    if (error) {
      error_ = "cannot copy " + name + ": " + error.message();
      return;
    }
  }
}

HostFolder::~HostFolder() {
  if (root_.empty()) return;
  std::error_code ignored;
  // A test may have made a folder read-only; give the removal its way back in.
  fs::permissions(CacheDir(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

bool HostFolder::MakeCacheDir() const {
  std::error_code error;
  fs::create_directories(CacheDir(), error);
  return !error;
}

RunResult HostFolder::Run(const std::string& outsideId, const std::string& hardwareId,
                          const std::string& serviceUrl, bool makeCacheDir,
                          std::chrono::seconds limit, const std::function<bool()>& killWhen) const {
  std::vector<std::string> args;
  if (!makeCacheDir) args.push_back("--no-mkdir");
  args.insert(args.end(), {outsideId, hardwareId, serviceUrl});
  return RunArgs(args, limit, killWhen);
}

RunResult HostFolder::RunArgs(const std::vector<std::string>& hostArgs, std::chrono::seconds limit,
                              const std::function<bool()>& killWhen) const {
  std::vector<std::string> args;
  if (host_ == Host::kWindows) {
    args = {WineRun(), dir_ + "/razara.exe"};
  } else {
    args = {dir_ + "/razara"};
  }
  args.insert(args.end(), hostArgs.begin(), hostArgs.end());

  const std::string outPath = dir_ + "/host.out";
  const std::string errPath = dir_ + "/host.err";
  RunResult result;
  // A Wine prefix of the Linux build's own, never the one of the Windows build's test run.
  const std::vector<std::string> extraEnv = {"RZ_WINE_BUILD_DIR=" +
                                             Setting("RZ_WINE_BUILD_DIR", RZ_E2E_WINE_BUILD_DIR)};
  const pid_t pid = Spawn(args, extraEnv, outPath, errPath);
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
  if (!result.timedOut && !result.killed && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<absent>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool MakeDirs(const std::string& path) {
  std::error_code error;
  fs::create_directories(path, error);
  return !error;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace rze
