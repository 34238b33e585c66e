// File-system probes and moves with stat, rename and unlink.
#include "platform/file_system.h"
#include "platform/last_error.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace rz::platform {

PathState ProbePath(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return PathState::kAbsent;
  if (S_ISREG(info.st_mode) && info.st_size == 0) return PathState::kEmptyFile;
  return PathState::kPresent;
}

bool ReplaceFile(const char* from, const char* to) {
  if (std::rename(from, to) == 0) return true;
  NoteSystemError();
  return false;
}

bool RemoveFile(const char* path) { return unlink(path) == 0 || errno == ENOENT; }

}  // namespace rz::platform
