#include "library_loader.h"

#include <cerrno>
#include <string>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "RovireZevaDe.h"

namespace razara {
namespace {

#ifdef _WIN32
constexpr char kSep = '\\';
using Entry = int(RAZARA_CALL*)(const char*, const char*, const char*);

bool MakeDir(const std::string& path) { return _mkdir(path.c_str()) == 0 || errno == EEXIST; }
#else
constexpr char kSep = '/';
using Entry = int (*)(const char*, const char*, const char*);

bool MakeDir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }
#endif

}  // namespace

std::string ProgramDir() {
#ifdef _WIN32
  char buffer[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, n);
#else
  char buffer[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
#endif
  const auto cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string CacheDirPath() { return ProgramDir() + "Tavrin" + kSep + "RazaRa" + kSep; }

bool EnsureCacheDir() {
  const std::string dir = ProgramDir() + "Tavrin";
  return MakeDir(dir) && MakeDir(dir + kSep + "RazaRa");
}

Library::~Library() {
#ifdef _WIN32
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
#else
  if (handle_) dlclose(handle_);
#endif
}

bool Library::Load() {
#ifdef _WIN32
  const std::string path = ProgramDir() + "RovireZevaDe.dll";
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) {
    error_ = path + ": error " + std::to_string(GetLastError());
    return false;
  }
  handle_ = module;
  entry_ = reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1)));
#else
  // Beside the program in a build tree or a host's own folder; installed, the library is in
  // ../lib, which the program's run path names, so the bare name finds it there.
  std::string path = ProgramDir() + "libRovireZevaDe.so.1";
  if (access(path.c_str(), F_OK) != 0) path = "libRovireZevaDe.so.1";
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    error_ = dlerror();
    return false;
  }
  entry_ = dlsym(handle_, "RazaRa");
#endif
  if (!entry_) {
    error_ = "no RazaRa entry in " + path;
    return false;
  }
  return true;
}

int Library::Call(const char* outsideCardId, const char* hardwareCardId,
                  const char* serviceUrl) const {
  return reinterpret_cast<Entry>(entry_)(outsideCardId, hardwareCardId, serviceUrl);
}

}  // namespace razara
