// Loading the library at run time from the host's own folder: dlopen, or LoadLibrary plus
// ordinal 1. Paths are UTF-8 on both builds.
#pragma once

#include <string>

namespace razara {

// The folder of this program, ending in the separator.
std::string ProgramDir();
// ProgramDir() + "Tavrin/RazaRa/".
std::string CacheDirPath();
// Creates CacheDirPath() when it is missing; `error` names the path and the system's reason.
bool EnsureCacheDir(std::string& error);

class Library {
 public:
  Library() = default;
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool Load();
  // Why Load failed: the path and the system's reason.
  const std::string& Error() const { return error_; }
  // The file the system actually loaded, and its file version.
  std::string LoadedPath() const;
  std::string FileVersion() const;
  int Call(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl) const;

 private:
  void* handle_ = nullptr;
  void* entry_ = nullptr;
  std::string path_;
  std::string error_;
};

}  // namespace razara
