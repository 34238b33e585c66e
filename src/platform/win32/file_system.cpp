// File-system probes, moves, flushes and the folder lock with the Win32 API's wide calls.
#include "platform/file_system.h"
#include "platform/last_error.h"
#include "platform/win32/com_util.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <array>
#include <cctype>
#include <exception>
#include <memory>
#include <utility>

// windows.h maps ReplaceFile to ReplaceFileA; ours is a different function.
#undef ReplaceFile

namespace rz::platform {
namespace {

// A file handle closed on every path.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The waits (ms) before each new try of a move that an open of its file refused: 1 s in all, the
// first ones short, as a scanner's or an indexer's look at a new file mostly is.
constexpr std::array<DWORD, 6> kMoveRetryWaits = {20, 40, 80, 160, 300, 400};

// The UTF-16 form of a path or name; empty for text that is not UTF-8, which no call accepts.
std::wstring Wide(std::string_view text) {
  try {
    return win32::FromUtf8(text);
  } catch (const std::exception&) {
    return std::wstring();
  }
}

// The UTF-8 form of a name the system reported; empty for one with a lone surrogate, which
// nothing the library writes can hold.
std::string Utf8(std::wstring_view text) {
  try {
    return win32::ToUtf8(text);
  } catch (const std::exception&) {
    return std::string();
  }
}

// Characters, not bytes: a short name counts characters of the system's OEM code page.
std::size_t CharactersIn(std::string_view text) {
  std::size_t count = 0;
  for (const char byte : text) {
    if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80) ++count;
  }
  return count;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name a device whatever extension follows, and Windows
// drops trailing spaces before it compares.
bool IsDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::array<std::string_view, 4> kPlain = {"CON", "PRN", "AUX", "NUL"};
  for (const auto device : kPlain) {
    if (EqualsIgnoringCase(base, device)) return true;
  }
  if (base.size() != 4 || base[3] < '1' || base[3] > '9') return false;
  return EqualsIgnoringCase(base.substr(0, 3), "COM") ||
         EqualsIgnoringCase(base.substr(0, 3), "LPT");
}

}  // namespace

PathState ProbePath(const char* path) {
  struct _stat64 info {};
  if (_wstat64(Wide(path).c_str(), &info) != 0) return PathState::kAbsent;
  if ((info.st_mode & _S_IFMT) == _S_IFREG && info.st_size == 0) return PathState::kEmptyFile;
  return PathState::kPresent;
}

std::FILE* OpenFile(const char* path, const char* mode) {
  const std::wstring widePath = Wide(path);
  const std::wstring wideMode = Wide(mode);
  if (widePath.empty() || wideMode.empty()) return nullptr;
  return _wfopen(widePath.c_str(), wideMode.c_str());
}

std::int64_t FileSize(const char* path) {
  struct _stat64 info {};
  if (_wstat64(Wide(path).c_str(), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool ReplaceFile(const char* from, const char* to) {
  const std::wstring wideFrom = Wide(from);
  const std::wstring wideTo = Wide(to);
  for (std::size_t tried = 0;; ++tried) {
    // For a rename within one volume MOVEFILE_WRITE_THROUGH changes nothing; what keeps a list
    // saved after the move from naming a file a power cut took back is NTFS journaling its
    // metadata in order. The flag is kept for a move that copies across volumes, where it waits
    // for the copy.
    if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      return true;
    }
    const DWORD error = GetLastError();
    const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
    if (!held || tried == kMoveRetryWaits.size()) break;
    Sleep(kMoveRetryWaits[tried]);
  }
  NoteSystemError();
  return false;
}

bool RemoveFile(const char* path, bool* existed) {
  const bool removed = DeleteFileW(Wide(path).c_str()) != 0;
  const DWORD error = removed ? ERROR_SUCCESS : GetLastError();
  const bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  if (existed != nullptr) *existed = !absent;
  return removed || absent;
}

bool ListFiles(const char* folder, std::vector<std::string>& names) {
  const std::wstring wideFolder = Wide(folder);
  // An empty folder text would list the current drive's root instead.
  if (wideFolder.empty()) return false;
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = wideFolder + L"\\*";
  HANDLE search =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(search, &FindClose);
  do {
    std::string name = Utf8(found.cFileName);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && !name.empty()) {
      names.push_back(std::move(name));
    }
  } while (FindNextFileW(search, &found) != 0);
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool ListFolder(const char* folder, std::vector<FolderEntry>& entries) {
  const std::wstring wideFolder = Wide(folder);
  if (wideFolder.empty()) return false;
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = wideFolder + L"\\*";
  HANDLE search =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    NoteSystemError();
    return false;
  }
  const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(search, &FindClose);
  do {
    const std::wstring_view wideName = found.cFileName;
    if (wideName == L"." || wideName == L"..") continue;
    FolderEntry seen;
    seen.name = Utf8(wideName);
    if (seen.name.empty()) continue;
    const DWORD attributes = found.dwFileAttributes;
    // A reparse point is tested first: a link to a folder carries the folder's attribute too.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      seen.kind = EntryKind::kLink;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      seen.kind = EntryKind::kFolder;
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      seen.kind = EntryKind::kOther;
    } else {
      seen.kind = EntryKind::kFile;
      seen.size = static_cast<std::int64_t>(
          (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
    }
    entries.push_back(std::move(seen));
  } while (FindNextFileW(search, &found) != 0);
  if (GetLastError() == ERROR_NO_MORE_FILES) return true;
  NoteSystemError();
  return false;
}

long DeleteEntry(const char* path) {
  // DeleteFileW removes a symbolic link itself and refuses a folder. A file open without delete
  // sharing (a player showing it) or marked read-only stays, with the system's reason.
  const std::wstring widePath = Wide(path);
  if (widePath.empty()) return ERROR_INVALID_NAME;
  if (DeleteFileW(widePath.c_str()) != 0) return 0;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  return static_cast<long>(error);
}

bool MakeFolder(const char* path) {
  const std::wstring widePath = Wide(path);
  if (CreateDirectoryW(widePath.c_str(), nullptr) != 0) return true;
  NoteSystemError();
  const DWORD attributes = GetFileAttributesW(widePath.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SyncFiles(const std::vector<std::string>& paths) {
  for (const auto& path : paths) {
    const Handle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE || FlushFileBuffers(file.get()) == 0) {
      NoteSystemError();
      return false;
    }
  }
  return true;
}

bool SyncFolder(const char*) { return true; }

FileLock::~FileLock() {
  // Closing the handle releases the lock.
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool FileLock::Acquire(const char* path) {
  if (handle_ != kNone) return true;
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    NoteSystemError();
    return false;
  }
  // One byte far past the end: the lock excludes other holders without making any byte of the
  // file unreadable. On a synchronous handle the call waits until the lock is granted.
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFEu;
  at.OffsetHigh = 0x7FFFFFFFu;
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) == 0) {
    NoteSystemError();
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name.back() == ' ' || name.back() == '.') return false;
  if (name.find_first_of(":<>\"|*") != std::string_view::npos) return false;
  return !IsDeviceName(name);
}

bool SameFileName(std::string_view a, std::string_view b) {
  const std::wstring wideA = Wide(a);
  const std::wstring wideB = Wide(b);
  // Text that is not UTF-8 names no file; it is one name with itself alone.
  if ((wideA.empty() && !a.empty()) || (wideB.empty() && !b.empty())) return a == b;
  return CompareStringOrdinal(wideA.data(), static_cast<int>(wideA.size()), wideB.data(),
                              static_cast<int>(wideB.size()), TRUE) == CSTR_EQUAL;
}

std::string FileNameKey(std::string_view name) {
  const std::wstring wide = Wide(name);
  if (wide.empty()) return std::string(name);
  const int length = static_cast<int>(wide.size());
  std::wstring upper(wide.size(), L'\0');
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), length, upper.data(),
                    length, nullptr, nullptr, 0) != length) {
    return std::string(name);
  }
  return Utf8(upper);
}

std::string ShortFileName(const char* path) {
  const std::wstring widePath = Wide(path);
  if (widePath.empty()) return {};
  std::array<wchar_t, MAX_PATH> buffer{};
  const DWORD n =
      GetShortPathNameW(widePath.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return {};
  const std::wstring_view shortPath(buffer.data(), n);
  const std::size_t cut = shortPath.find_last_of(L"\\/");
  return Utf8(cut == std::wstring_view::npos ? shortPath : shortPath.substr(cut + 1));
}

bool MayBeShortName(std::string_view name) {
  const std::size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view extension =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  return base.find('~') != std::string_view::npos && CharactersIn(base) <= 8 &&
         CharactersIn(extension) <= 3 && extension.find('.') == std::string_view::npos;
}

std::string AliasedName(const char* path) {
  const std::string_view text(path);
  const std::size_t cut = text.find_last_of("\\/");
  const std::string_view name = cut == std::string_view::npos ? text : text.substr(cut + 1);
  // Both are wildcards to the search, and no file name holds either.
  if (!MayBeShortName(name) || name.find_first_of("?*") != std::string_view::npos) return {};
  const std::wstring widePath = Wide(text);
  if (widePath.empty()) return {};
  // The search matches a name against the long and the short names, and reports the long one.
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(widePath.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  FindClose(search);
  const std::wstring wideName = Wide(name);
  if (CompareStringOrdinal(found.cFileName, -1, wideName.data(), static_cast<int>(wideName.size()),
                           TRUE) == CSTR_EQUAL) {
    return {};
  }
  std::string longName = Utf8(found.cFileName);
  return longName.empty() ? "(a name with no UTF-8 form)" : longName;
}

}  // namespace rz::platform
