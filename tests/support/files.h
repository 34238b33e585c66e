// Files and folders for tests: a temporary folder of a test's own, and whole-file reads and
// writes. Builds for Linux and for Windows.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rztest {

// A fresh, empty folder under the system's temporary folder, named `prefix` and a random suffix,
// created atomically (never one that another test or process made). Removed with everything in
// it on destruction. Throws std::runtime_error when no folder can be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "rz-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Creates or replaces the file with `bytes`. False when that failed.
bool WriteFile(const std::filesystem::path& path, const std::string& bytes);
// Names in a folder, sorted; empty when it does not exist.
std::vector<std::string> ListFolder(const std::filesystem::path& folder);

// Windows: holds the file open without delete sharing, as a virus scanner may, until the result is
// destroyed. Null when it cannot be opened, and elsewhere.
std::shared_ptr<void> HoldOpen(const std::filesystem::path& path);

}  // namespace rztest
