#include "library_loader.h"

#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include "RovireZevaDe.h"
#include "host_platform.h"

namespace razara {
namespace fs = std::filesystem;
namespace {

#ifdef _WIN32
constexpr char kSep = '\\';
using Entry = int(RAZARA_CALL*)(const char*, const char*, const char*);

std::string Narrow(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) { return fs::u8path(text).wstring(); }

// The module's full name in UTF-8; the ANSI call would turn letters outside the code page into
// '?' and hand razara bytes that are not UTF-8.
std::string ModulePath(HMODULE module) {
  std::wstring buffer(32768, L'\0');
  const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return {};
  return Narrow(buffer.data(), static_cast<int>(n));
}

std::string FileVersionOf(const std::string& path) {
  const std::wstring wide = Widen(path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0) return "unknown (" + SystemErrorText(GetLastError()) + ")";
  std::string data(size, '\0');
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (!GetFileVersionInfoW(wide.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
      info == nullptr || infoSize < sizeof *info) {
    return "unknown (no version resource)";
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionLS));
}
#else
constexpr char kSep = '/';
using Entry = int (*)(const char*, const char*, const char*);
#endif

}  // namespace

std::string ProgramDir() {
#ifdef _WIN32
  std::string path = ModulePath(nullptr);
#else
  char buffer[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
#endif
  const auto cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string CacheDirPath() { return ProgramDir() + "Tavrin" + kSep + "RazaRa" + kSep; }

bool EnsureCacheDir(std::string& error) {
  const std::string dir = CacheDirPath();
  std::error_code code;
  fs::create_directories(fs::u8path(dir), code);
  if (!code) return true;
  error = dir + ": error " + std::to_string(code.value()) + ": " + code.message();
  return false;
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
  path_ = ProgramDir() + "RovireZevaDe.dll";
  HMODULE module = LoadLibraryW(Widen(path_).c_str());
  if (!module) {
    error_ = path_ + ": " + SystemErrorText(GetLastError());
    return false;
  }
  handle_ = module;
  entry_ = reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1)));
#else
  // Beside the program in a build tree or a host's own folder; installed, the library is in
  // ../lib, which the program's run path names, so the bare name finds it there.
  const std::string beside = ProgramDir() + "libRovireZevaDe.so.1";
  path_ = access(beside.c_str(), F_OK) == 0 ? beside : "libRovireZevaDe.so.1";
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error_ = why != nullptr ? why : path_ + ": cannot be loaded";
    if (path_ != beside) error_ += " (nor is it at " + beside + ")";
    return false;
  }
  entry_ = dlsym(handle_, "RazaRa");
#endif
  if (!entry_) {
    error_ = path_ + ": no RazaRa entry";
    return false;
  }
  return true;
}

std::string Library::LoadedPath() const {
#ifdef _WIN32
  return handle_ ? ModulePath(static_cast<HMODULE>(handle_)) : path_;
#else
  link_map* map = nullptr;
  if (handle_ == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    return path_;
  }
  char* real = realpath(map->l_name, nullptr);
  if (real == nullptr) return map->l_name;
  std::string path(real);
  free(real);
  return path;
#endif
}

std::string Library::FileVersion() const {
#ifdef _WIN32
  return FileVersionOf(LoadedPath());
#else
  // The real file behind the SONAME link is named after the full version: .so.1.0.0.
  const std::string path = LoadedPath();
  const auto mark = path.rfind(".so.");
  // No version resource on Linux: the name is all there is to go by.
  return mark == std::string::npos ? "unknown" : path.substr(mark + 4) + " (from the file name)";
#endif
}

int Library::Call(const char* outsideCardId, const char* hardwareCardId,
                  const char* serviceUrl) const {
  return reinterpret_cast<Entry>(entry_)(outsideCardId, hardwareCardId, serviceUrl);
}

}  // namespace razara
