// A small tmpfs mounted over a folder, for a full or read-only disk under a test's files.
// Linux only, and only as root; the Windows build compiles none of it.
#pragma once

#ifndef _WIN32

#include <string>

namespace rztest {

class Tmpfs {
 public:
  // Mounts a tmpfs with `options` (such as "size=128k") over `folder`, which must exist.
  Tmpfs(const std::string& folder, const std::string& options, bool readOnly = false);
  // Unmounts it (lazily, should a file still be open there).
  ~Tmpfs();
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  // Why nothing was mounted; empty when the tmpfs is there.
  const std::string& error() const { return error_; }

 private:
  std::string folder_;
  std::string error_;
};

}  // namespace rztest

#endif  // _WIN32
