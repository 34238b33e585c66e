// The file-system operations the refresh needs beyond the C runtime's streams: probes, moves,
// folder creation, the cache folder's lock, and the syncs that make a commit survive a power cut.
//
// Paths and names are the library's own text: UTF-8 on Windows, converted to UTF-16 for every
// wide (W) call, so a name reaches the disk exactly as the list spells it; the file system's
// bytes on Linux, passed through as they are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace rz::platform {

enum class PathState {
  kAbsent,     // nothing of that name
  kEmptyFile,  // a regular file of size 0
  kPresent,    // a non-empty file, a folder, or anything else of that name
};

PathState ProbePath(const char* path);

// std::fopen with the library's path text (_wfopen on Windows). Null on failure.
std::FILE* OpenFile(const char* path, const char* mode);

// The size of a regular file, or -1 when it cannot be read.
std::int64_t FileSize(const char* path);

// Moves `from` over `to`, replacing an existing `to` in one step (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH on Windows, rename elsewhere). False on
// failure; `to` is then intact. On Windows a move refused for a sharing violation or access
// denied is tried again for up to about a second: a virus scanner or an indexer opens a new file
// for a moment, without delete sharing.
bool ReplaceFile(const char* from, const char* to);

// Removes a file if it exists. False when something of that name is still there. `existed`, when
// given, says whether there was one: the removal itself is the cheapest probe.
bool RemoveFile(const char* path, bool* existed = nullptr);

// The names of the files in a folder, subfolders left out. False when it cannot be read.
bool ListFiles(const char* folder, std::vector<std::string>& names);

// What an entry of a folder is by itself: a link is reported as a link, never as what it points
// to (lstat on Linux; on Windows a reparse point, such as a symbolic link or a junction, is one).
enum class EntryKind {
  kFile,    // a regular file
  kFolder,  // a folder
  kLink,    // a symbolic link or another reparse point
  kOther,   // a device, a pipe, a socket
};

struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
  std::int64_t size = 0;  // of a regular file; 0 for anything else
};

// Every entry of a folder but "." and "..", with what each is, links not followed. On Windows a
// name with no UTF-8 form is left out: no path the library builds could reach it. False when the
// folder cannot be read to its end; `entries` then holds what was read.
bool ListFolder(const char* folder, std::vector<FolderEntry>& entries);

// Removes the file or link at `path`, never what a link points to, and never a folder. 0, or the
// system's error code (errno on Linux, GetLastError on Windows) when it is still there; a path
// that names nothing counts as removed.
long DeleteEntry(const char* path);

// Creates a folder. True when a folder of that name exists afterwards.
bool MakeFolder(const char* path);

// Makes the data of these files durable: one file is flushed alone (fdatasync); several at once
// with one flush of their file system (syncfs), which costs one journal commit instead of one per
// file. FlushFileBuffers on each file on Windows. False when any flush failed.
bool SyncFiles(const std::vector<std::string>& paths);

// Makes the names in a folder durable after renames (fsync of the folder). Windows has no call
// for a folder; NTFS journals the moves in order, so there it only reports success.
bool SyncFolder(const char* path);

// An exclusive lock on a file that the operating system releases when the holder closes it or
// dies, so it can never go stale: LockFileEx on Windows; on Linux an fcntl lock, which a child
// forked without exec does not inherit, with a table of the files this process holds so that two
// threads of one process exclude each other as two processes do. Nothing else in the process
// may open the lock file (closing any descriptor of it would release an fcntl lock).
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens (or creates) `path` and waits for the exclusive lock. False when the file cannot be
  // opened or locked.
  bool Acquire(const char* path);
  bool held() const { return handle_ != kNone; }

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// Whether `name` can only name a plain file in a folder. Windows also reads device names (CON,
// NUL, COM1, ... with any extension), stream names (':'), wildcard and quoting characters and
// trailing spaces or dots into a name; such a name is refused there. Every name is plain
// elsewhere.
bool IsPlainFileName(std::string_view name);

// Whether the file system takes `a` and `b` for one name: the system's ordinal case-insensitive
// comparison on Windows (CompareStringOrdinal), byte equality elsewhere.
bool SameFileName(std::string_view a, std::string_view b);

// A form of `name` that is equal for two names when SameFileName holds for them, for sets of
// names: on Windows upper-cased as the ordinal comparison does (LCMapStringEx, invariant
// locale), the name itself elsewhere.
std::string FileNameKey(std::string_view name);

// The 8.3 short name by which the existing `path` can also be reached (STAGIN~1 for .staging;
// the name itself when it is 8.3 already), or empty when there is none: always on Linux, and on
// volumes that keep no short names.
std::string ShortFileName(const char* path);

// Whether `name` has the form of a short name the system generates: 8.3, with a '~' (SPRING~1.BIN
// on NTFS, SPRI~UNE.BIN under Wine). Only such a name can reach a file of another name. Never on
// Linux.
bool MayBeShortName(std::string_view name);

// The long name of the existing file or folder that `path` reaches through that file's short
// name, when it is not the path's own last part as SameFileName compares names: `path` is then
// another name for that file. Empty when `path` reaches nothing or a file of its own name, and
// for every name MayBeShortName does not take for a short name.
std::string AliasedName(const char* path);

}  // namespace rz::platform
