// Loading the library at run time from the host's own folder: dlopen, or LoadLibrary plus
// ordinal 1.
#pragma once

#include <string>

namespace razara {

// The folder of this program, ending in the separator.
std::string ProgramDir();
// Creates ProgramDir() + "Tavrin/RazaRa/" when it is missing.
bool EnsureCacheDir();
// ProgramDir() + "Tavrin/RazaRa/".
std::string CacheDirPath();

class Library {
 public:
  Library() = default;
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool Load();
  const std::string& Error() const { return error_; }
  int Call(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl) const;

 private:
  void* handle_ = nullptr;
  void* entry_ = nullptr;
  std::string error_;
};

}  // namespace razara
