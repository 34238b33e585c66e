// File-system probes and moves with _stat, MoveFileExA and DeleteFileA.
#include "platform/file_system.h"
#include "platform/last_error.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

// windows.h maps ReplaceFile to ReplaceFileA; ours is a different function.
#undef ReplaceFile

namespace rz::platform {

PathState ProbePath(const char* path) {
  struct _stat64 info {};
  if (_stat64(path, &info) != 0) return PathState::kAbsent;
  if ((info.st_mode & _S_IFMT) == _S_IFREG && info.st_size == 0) return PathState::kEmptyFile;
  return PathState::kPresent;
}

bool ReplaceFile(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0) return true;
  NoteSystemError();
  return false;
}

bool RemoveFile(const char* path) {
  if (DeleteFileA(path) != 0) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace rz::platform
