// The cache folder as one refresh uses it: its lock, where fetches are staged, and the durable
// commit of fetched files and of FileList.xml.
//
// Every file that is not yet whole lives in a staging folder inside the cache folder, whose one
// name is refused as an entry, so no fetch can ever truncate, replace or remove another entry's
// file. A refresh holds the folder's lock from its download pass to the end of its save, so two
// overlapping calls (two threads of a host, or two processes) take turns: the second finds what
// the first fetched present, and never writes a file the first is writing. Within one refresh,
// the pass's fetches run on several threads: IsSettled, Staged, Commit and PruneKeptParts may be
// called from any of them at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace rz {

class CacheFolder {
 public:
  // The name of the staging folder, refused as an entry like FileList.xml.
  static constexpr char kStagingName[] = ".staging";
  static constexpr char kFileListName[] = "FileList.xml";

  // `dir` ends in the platform's separator; empty when the folder could not be worked out.
  explicit CacheFolder(std::string dir);
  // Commits nothing: a pass that ends without Commit leaves its fetches staged, never half-made.
  ~CacheFolder() = default;
  CacheFolder(const CacheFolder&) = delete;
  CacheFolder& operator=(const CacheFolder&) = delete;

  // Creates the staging folder if needed and waits for the folder's lock, for as long as another
  // call holds it. False when the lock cannot be had (no cache folder, a read-only one): nothing
  // can be staged or saved then.
  bool Lock();
  bool locked() const { return lock_.held(); }
  const std::string& dir() const { return dir_; }

  // Whether an entry may be cached under `name`: not FileList.xml or the staging folder (as the
  // file system compares names), not made of dots alone, and a plain file name on this platform.
  static bool IsUsableName(const std::string& name);

  // Whether `name` is another name for the staging folder or the list: the 8.3 short name
  // (STAGIN~1, FILELI~1.XML) a volume that keeps them gave either. Such an entry would pass as
  // present with no ad behind it, or be the list itself. Known once Lock succeeded.
  bool IsShortNameOfOwnFile(const std::string& name) const;

  // The final and the staged path of `name`; false when the path does not fit 259 bytes.
  bool FinalPath(const std::string& name, std::string& path) const;
  bool StagedPath(const std::string& name, std::string& path) const;

  // Whether `name` is settled: fetched earlier in this pass and waiting for its commit, or
  // present under its final path. An empty regular file is what a failed fetch of older versions
  // left behind, never a usable ad, so it counts as absent.
  bool IsSettled(const std::string& name, const std::string& finalPath) const;
  // Runs `absent` on the calling thread when IsSettled finds a name absent: the moment an entry
  // has passed every check and its fetch is about to begin. The download pass starts fetches in
  // list order by it; a present file needs no such signal, its entry simply ends. Set before any
  // other thread uses the folder.
  void OnAbsent(std::function<void()> absent) { absent_ = std::move(absent); }

  // Takes a staged fetch of `name` into the next commit, and commits once the batch has grown
  // large. `promisedBytes` is the whole file's length its response promised (-1: none, a body
  // that ended at the server's close). False when that commit failed.
  bool Staged(const std::string& name, const std::string& stagedPath, const std::string& finalPath,
              std::int64_t promisedBytes);

  // Makes every staged fetch durable, moves each to its final name, then makes the names
  // durable: a power cut can never leave a partial file under a final name. A staged file whose
  // size is not the length its response promised never takes its name: it is removed, whatever
  // path staged it. False when any step failed or any file fell short; whatever was moved is
  // whole.
  bool Commit();

  // Removes the partial data kept in staging, with its records, of every name `keep` does not
  // hold (as the file system compares names): after a pass, keep the list's names, or none once
  // every listed file is in place. The lock, the list's temporary file and ad files are never
  // touched. Does nothing while fetches wait for their commit.
  void PruneKeptParts(const std::vector<std::string>& keep);

  // Replaces FileList.xml with what `write` puts into a staged temporary file, durably and in one
  // step, so a host never reads a half-written list. Needs the lock.
  bool ReplaceFileList(const std::function<bool(const std::string& tempPath)>& write);

 private:
  struct Pending {
    std::string staged;
    std::string final;
    std::int64_t promised;
    std::int64_t size;  // as staged: nothing writes the file once its fetch has handed it over
    std::string key;    // FileNameKey of the entry's name
  };

  std::string dir_;
  std::string staging_;
  platform::FileLock lock_;
  std::vector<std::string> ownShortNames_;

  // Takes the batch and commits it with `lock` (on mutex_) released meanwhile.
  bool CommitBatch(std::unique_lock<std::mutex>& lock);
  // Syncs, checks and moves one batch to its final names.
  bool CommitFiles(std::vector<Pending>& batch) const;

  std::function<void()> absent_;
  mutable std::mutex mutex_;  // guards the batch below
  std::condition_variable committed_;
  bool committing_ = false;  // a batch is being committed, its keys still in pendingKeys_
  std::vector<Pending> pending_;
  std::unordered_set<std::string> pendingKeys_;  // of the batch and of the one being committed
  std::int64_t pendingBytes_ = 0;
};

}  // namespace rz
