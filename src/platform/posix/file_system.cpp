// File-system probes, moves, syncs and the folder lock with POSIX calls.
#include "platform/file_system.h"
#include "platform/last_error.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <utility>

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

bool RemoveFile(const char* path, bool* existed) {
  const bool removed = unlink(path) == 0;
  const bool absent = !removed && errno == ENOENT;
  if (existed != nullptr) *existed = !absent;
  return removed || absent;
}

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

namespace {

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kFile;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

}  // namespace

bool ListFolder(const char* folder, std::vector<FolderEntry>& entries) {
  DIR* const opened = ::opendir(folder);
  if (opened == nullptr) {
    NoteSystemError();
    return false;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opened, &::closedir);
  // Each entry is looked at through the folder already open, never through a path that a link
  // along it could turn elsewhere meanwhile.
  const int at = ::dirfd(dir.get());
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      errno = 0;
      continue;
    }
    FolderEntry seen;
    seen.name = std::string(name);
    struct stat info {};
    if (::fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      seen.kind = KindOf(info.st_mode);
      if (seen.kind == EntryKind::kFile) seen.size = static_cast<std::int64_t>(info.st_size);
    } else if (errno == ENOENT) {
      errno = 0;  // gone since the folder was read: nothing to report
      continue;
    }
    entries.push_back(std::move(seen));
    errno = 0;
  }
  if (errno != 0) NoteSystemError();
  return errno == 0;
}

long DeleteEntry(const char* path) {
  // unlink removes a link itself and refuses a folder (EISDIR).
  if (::unlink(path) == 0 || errno == ENOENT) return 0;
  return errno;
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

namespace {

// The lock files this process holds, by identity. An fcntl lock belongs to the whole process, so
// without this a second thread of the host would be granted the lock its first thread holds.
struct LockTable {
  std::mutex mutex;
  std::condition_variable released;
  std::set<std::pair<dev_t, ino_t>> held;
};

alignas(LockTable) unsigned char tableStorage[sizeof(LockTable)];
LockTable* table = nullptr;

// A child forked during a call copies the table with holds of threads it does not have, and maybe
// its mutex locked: it starts with a table of its own. Nothing of the old one is destroyed (its
// condition may count waiters that do not exist in the child); the storage is built anew.
void LockTableBeforeFork() { table->mutex.lock(); }
void UnlockTableAfterFork() { table->mutex.unlock(); }
void NewTableInChild() { table = new (tableStorage) LockTable(); }

LockTable& Table() {
  static const bool made = [] {
    table = new (tableStorage) LockTable();
    return ::pthread_atfork(&LockTableBeforeFork, &UnlockTableAfterFork, &NewTableInChild) == 0;
  }();
  static_cast<void>(made);
  return *table;
}

std::pair<dev_t, ino_t> IdentityOf(const struct stat& info) { return {info.st_dev, info.st_ino}; }

void ReleaseInProcess(const std::pair<dev_t, ino_t>& identity) {
  LockTable& locks = Table();
  {
    const std::lock_guard<std::mutex> guard(locks.mutex);
    locks.held.erase(identity);
  }
  locks.released.notify_all();
}

}  // namespace

FileLock::~FileLock() {
  if (handle_ == kNone) return;
  const int fd = static_cast<int>(handle_);
  struct stat info {};
  const bool known = ::fstat(fd, &info) == 0;
  // Closing the descriptor releases the process lock; only then may another thread take it.
  ::close(fd);
  if (known) ReleaseInProcess(IdentityOf(info));
}

bool FileLock::Acquire(const char* path) {
  if (handle_ != kNone) return true;
  // A process lock (fcntl) rather than flock: a flock belongs to the open file, which a child
  // forked without exec during a call shares, so later calls would wait until that child exits.
  // Its trap: closing ANY descriptor of the file releases the process's lock. So the file is
  // opened here once per hold, and a descriptor is closed only by the thread that holds the file
  // in the table (no other thread can hold its process lock then).
  const int fd = OpenRetrying(path, O_RDWR | O_CREAT, 0666);
  if (fd < 0) {
    NoteSystemError();
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    // Never seen for an open descriptor. Closing it could release a lock another thread holds,
    // so it is left open.
    NoteSystemError();
    return false;
  }
  const auto identity = IdentityOf(info);
  LockTable& locks = Table();
  {
    std::unique_lock<std::mutex> guard(locks.mutex);
    locks.released.wait(guard, [&] { return locks.held.count(identity) == 0; });
    locks.held.insert(identity);
  }
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  int locked = -1;
  do {
    locked = ::fcntl(fd, F_SETLKW, &whole);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    NoteSystemError();
    ::close(fd);
    ReleaseInProcess(identity);
    return false;
  }
  handle_ = fd;
  return true;
}

bool IsPlainFileName(std::string_view) { return true; }

bool SameFileName(std::string_view a, std::string_view b) { return a == b; }

std::string FileNameKey(std::string_view name) { return std::string(name); }

std::string ShortFileName(const char*) { return {}; }

bool MayBeShortName(std::string_view) { return false; }

std::string AliasedName(const char*) { return {}; }

}  // namespace rz::platform
