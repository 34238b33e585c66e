// The cache folder: staging, the lock, and the durable commits.
#include "cache/cache_folder.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

#include "cache/cache_paths.h"
#include "platform/last_error.h"
#include "platform/module_path.h"

namespace rz {
namespace {

// A staged fetch is "<name>.part" in the staging folder; the list is written as
// "FileList.xml.tmp" there. No entry name can make one stand for the other.
constexpr char kPartSuffix[] = ".part";
constexpr std::string_view kKeptSuffixes[] = {".part", ".rec", ".rec.tmp"};
constexpr char kListTempName[] = "FileList.xml.tmp";
constexpr char kLockName[] = "lock";

// A batch is committed once it holds this much, so one sync covers many small files while a host
// killed in the middle of a long pass loses little of what it fetched.
constexpr std::int64_t kCommitBytes = 8 * 1024 * 1024;
constexpr std::size_t kCommitFiles = 256;

}  // namespace

CacheFolder::CacheFolder(std::string dir) : dir_(std::move(dir)) {
  if (!dir_.empty()) staging_ = dir_ + kStagingName + platform::kPathSeparator;
}

bool CacheFolder::Lock() {
  if (staging_.empty() || staging_.size() > kMaxPathBytes) return false;
  // The folder is made without its trailing separator, which Windows does not accept there.
  const std::string folder = staging_.substr(0, staging_.size() - 1);
  if (!platform::MakeFolder(folder.c_str())) return false;
  return lock_.Acquire((staging_ + kLockName).c_str());
}

bool CacheFolder::IsUsableName(const std::string& name) {
  // "." and ".." name the cache folder and its parent, never a file (and Windows drops trailing
  // dots, so any run of dots does): such an entry would pass as present with no ad behind it.
  if (name.find_first_not_of('.') == std::string::npos) return false;
  if (!platform::IsPlainFileName(name)) return false;
  // The list would overwrite an ad of that name, and the staging folder would pass as one.
  return !platform::SameFileName(name, kFileListName) &&
         !platform::SameFileName(name, kStagingName);
}

std::string CacheFolder::Aliases(const std::string& name) const {
  // Most names cannot be a short name: their check costs no path and no search.
  std::string path;
  if (!platform::MayBeShortName(name) || !FinalPath(name, path)) return {};
  return platform::AliasedName(path.c_str());
}

bool CacheFolder::FinalPath(const std::string& name, std::string& path) const {
  return !dir_.empty() && CachedFilePathIn(dir_, name, path);
}

bool CacheFolder::StagedPath(const std::string& name, std::string& path) const {
  return !staging_.empty() && CachedFilePathIn(staging_, name + kPartSuffix, path);
}

bool CacheFolder::IsSettled(const std::string& name, const std::string& finalPath) const {
  {
    // Most passes stage nothing: the present-check of a long list costs no key then.
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!pendingKeys_.empty() && pendingKeys_.count(platform::FileNameKey(name)) != 0) return true;
  }
  // A commit moving this name into place meanwhile is no race: the pass never settles one name
  // on two threads at once, so whoever staged it has finished with it.
  if (platform::ProbePath(finalPath.c_str()) == platform::PathState::kPresent) return true;
  if (absent_) absent_();
  return false;
}

void CacheFolder::Staged(const std::string& name, const std::string& stagedPath,
                         const std::string& finalPath, std::int64_t promisedBytes) {
  const std::int64_t size = platform::FileSize(stagedPath.c_str());
  std::string key = platform::FileNameKey(name);
  std::unique_lock<std::mutex> lock(mutex_);
  pending_.push_back({name, stagedPath, finalPath, promisedBytes, size, std::move(key)});
  pendingKeys_.insert(pending_.back().key);
  pendingBytes_ += size > 0 ? size : 0;
  if (pendingBytes_ >= kCommitBytes || pending_.size() >= kCommitFiles) CommitBatch(lock);
}

bool CacheFolder::Commit() {
  std::unique_lock<std::mutex> lock(mutex_);
  CommitBatch(lock);
  return !lostAny_;
}

void CacheFolder::CommitBatch(std::unique_lock<std::mutex>& lock) {
  // One batch at a time, so that the last commit of a pass returns only once every name is in
  // place and durable.
  committed_.wait(lock, [this] { return !committing_; });
  if (pending_.empty()) return;
  std::vector<Pending> batch;
  batch.swap(pending_);
  pendingBytes_ = 0;
  committing_ = true;
  // The other fetches go on staging into the next batch while this one waits for the disk.
  lock.unlock();
  std::exception_ptr thrown;
  try {
    CommitFiles(batch);
  } catch (...) {
    thrown = std::current_exception();  // the next commit must not wait for this one for ever
  }
  lock.lock();
  // Until now these names counted as settled through their keys; from here their final names say
  // so, or (after a failure) nothing does.
  for (const auto& file : batch) pendingKeys_.erase(file.key);
  committing_ = false;
  committed_.notify_all();
  if (thrown) std::rethrow_exception(thrown);
}

void CacheFolder::CommitFiles(std::vector<Pending>& batch) {
  // A file shorter or longer than its response promised (a range cut short, a path that counted
  // wrong) would pass for whole under its final name for ever: it is thrown away here, the one
  // place every fetched file goes through.
  std::vector<std::string> staged;
  staged.reserve(batch.size());
  for (auto& file : batch) {
    if (file.promised >= 0 && file.size != file.promised) {
      platform::ForgetLastError();
      Lose(file.staged, file.final, "its length is not the one its response promised");
      file.staged.clear();
    } else {
      staged.push_back(file.staged);
    }
  }
  // Data first, then names: a file takes its final name only once its bytes are on disk.
  platform::ForgetLastError();
  if (!platform::SyncFiles(staged)) {
    for (const std::string& path : staged) platform::RemoveFile(path.c_str());
    Lose({}, dir_, "fetched files cannot be flushed to disk");
    return;
  }
  // A name that may be another file's short name moves after the others: of two entries that
  // meet through a short name, the one that names the file by its long name keeps it, whichever
  // fetch ended first.
  std::stable_partition(batch.begin(), batch.end(),
                        [](const Pending& file) { return !platform::MayBeShortName(file.name); });
  for (const auto& file : batch) {
    if (file.staged.empty()) continue;
    platform::ForgetLastError();
    // Checked just before the move: the file it would reach may have taken its name since the
    // entry's own check, in this very batch.
    const std::string other = platform::AliasedName(file.final.c_str());
    if (!other.empty()) {
      Lose(file.staged, file.final,
           "the name is the short name of " + other + ", another file in the cache folder");
    } else if (!platform::ReplaceFile(file.staged.c_str(), file.final.c_str())) {
      Lose(file.staged, file.final, "cannot take its name");
    }
  }
  platform::ForgetLastError();
  if (!platform::SyncFolder(dir_.c_str()))
    Lose({}, dir_, "the new names cannot be flushed to disk");
}

void CacheFolder::Lose(const std::string& staged, const std::string& path, const std::string& why) {
  // Whatever could not take its name is thrown away, never left to pass for whole later.
  if (!staged.empty()) platform::RemoveFile(staged.c_str());
  lostAny_ = true;
  if (lost_) lost_(path, why);
}

void CacheFolder::PruneKeptParts(const std::vector<std::string>& keep) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!locked() || !pending_.empty() || committing_) return;
  std::vector<std::string> names;
  platform::ListFiles(staging_.substr(0, staging_.size() - 1).c_str(), names);
  // Most passes find nothing kept: the keys of a long list are worked out only when needed.
  std::unordered_set<std::string> kept;
  bool keysMade = false;
  for (const std::string& name : names) {
    for (const std::string_view suffix : kKeptSuffixes) {
      if (name.size() <= suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      if (!keysMade) {
        for (const std::string& listed : keep) kept.insert(platform::FileNameKey(listed));
        keysMade = true;
      }
      const std::string owner = name.substr(0, name.size() - suffix.size());
      if (kept.count(platform::FileNameKey(owner)) == 0) {
        platform::RemoveFile((staging_ + name).c_str());
      }
      break;
    }
  }
}

bool CacheFolder::ReplaceFileList(const std::function<bool(const std::string&)>& write) {
  std::string listPath;
  std::string tempPath;
  if (!locked() || !FinalPath(kFileListName, listPath) ||
      !CachedFilePathIn(staging_, kListTempName, tempPath)) {
    return false;
  }
  const bool ok = write(tempPath) && platform::SyncFiles({tempPath}) &&
                  platform::ReplaceFile(tempPath.c_str(), listPath.c_str()) &&
                  platform::SyncFolder(dir_.c_str());
  if (!ok) platform::RemoveFile(tempPath.c_str());
  return ok;
}

}  // namespace rz
