// File-system probes, moves, syncs and the folder lock with POSIX calls.
#include "platform/file_system.h"
#include "platform/last_error.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace rz::platform {
namespace {

// A descriptor closed on every path.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

PathState ProbePath(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return PathState::kAbsent;
  if (S_ISREG(info.st_mode) && info.st_size == 0) return PathState::kEmptyFile;
  return PathState::kPresent;
}

std::FILE* OpenFile(const char* path, const char* mode) { return std::fopen(path, mode); }

std::int64_t FileSize(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool ReplaceFile(const char* from, const char* to) {
  if (std::rename(from, to) == 0) return true;
  NoteSystemError();
  return false;
}

bool RemoveFile(const char* path) { return unlink(path) == 0 || errno == ENOENT; }

bool ListFiles(const char* folder, std::vector<std::string>& names) {
  DIR* const opened = ::opendir(folder);
  if (opened == nullptr) return false;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, &::closedir);
  const std::string prefix = std::string(folder) + "/";
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    struct stat info {};
    const std::string name = entry->d_name;
    if (::lstat((prefix + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      names.push_back(name);
    }
    errno = 0;
  }
  return errno == 0;
}

bool MakeFolder(const char* path) {
  if (::mkdir(path, 0777) == 0) return true;
  struct stat info {};
  if (errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return true;
  NoteSystemError();
  return false;
}

bool SyncFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return true;
  const Descriptor first(OpenRetrying(paths.front().c_str(), O_RDONLY));
  // Every file of a batch lies in the same folder, so one flush of that file system covers them
  // all; it reports a write-back error of any of them.
  const bool synced = first.get() >= 0 &&
                      (paths.size() == 1 ? ::fdatasync(first.get()) : ::syncfs(first.get())) == 0;
  if (!synced) NoteSystemError();
  return synced;
}

bool SyncFolder(const char* path) {
  const Descriptor folder(OpenRetrying(path, O_RDONLY | O_DIRECTORY));
  const bool synced = folder.get() >= 0 && ::fsync(folder.get()) == 0;
  if (!synced) NoteSystemError();
  return synced;
}

FileLock::~FileLock() {
  // Closing the descriptor releases the lock.
  if (handle_ != kNone) ::close(static_cast<int>(handle_));
}

bool FileLock::Acquire(const char* path) {
  if (handle_ != kNone) return true;
  const int fd = OpenRetrying(path, O_RDWR | O_CREAT, 0666);
  if (fd < 0) {
    NoteSystemError();
    return false;
  }
  // flock rather than fcntl: its lock belongs to the open file, so a second thread of the same
  // host waits as another process would (an fcntl lock is the whole process's and would not).
  int locked = -1;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    NoteSystemError();
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool IsPlainFileName(std::string_view) { return true; }

bool SameFileName(std::string_view a, std::string_view b) { return a == b; }

std::string FileNameKey(std::string_view name) { return std::string(name); }

std::string ShortFileName(const char*) { return {}; }

}  // namespace rz::platform
