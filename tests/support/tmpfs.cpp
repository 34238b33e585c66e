#ifndef _WIN32

#include "support/tmpfs.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rztest {

Tmpfs::Tmpfs(const std::string& folder, const std::string& options, bool readOnly) {
  if (geteuid() != 0) {
    error_ = "mounting a tmpfs needs root";
  } else if (mount("tmpfs", folder.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) !=
             0) {
    error_ = "cannot mount a tmpfs over " + folder + ": " + std::strerror(errno);
  } else {
    folder_ = folder;
  }
}

Tmpfs::~Tmpfs() {
  if (!folder_.empty()) umount2(folder_.c_str(), MNT_DETACH);
}

}  // namespace rztest

#endif  // _WIN32
