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

#include <atomic>
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

  // The long name of another file or folder here that `name` reaches as its 8.3 short name
  // (SPRING~1.BIN for spring_campaign.bin, STAGIN~1 for the staging folder), on a volume that
  // keeps short names; empty when `name` reaches nothing or its own file. Such an entry would pass
  // as present with another ad behind it (or none), and its fetch would replace that file: it is
  // never settled, fetched or moved through that name.
  std::string Aliases(const std::string& name) const;

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
  // that ended at the server's close). Whatever that commit does with other files, this fetch is
  // done: a file that does not take its name is reported through OnLost.
  void Staged(const std::string& name, const std::string& stagedPath, const std::string& finalPath,
              std::int64_t promisedBytes);

  // Makes every staged fetch durable, moves each to its final name on its own, then makes the
  // names durable: a power cut can never leave a partial file under a final name, and a file that
  // cannot take its name costs no other file its own. A staged file whose size is not the length
  // its response promised never takes its name, nor does one whose name turned out to be another
  // file's short name: it is removed, whatever path staged it. True when every file staged so far
  // (by earlier commits too) took its name durably.
  bool Commit();

  // Runs `lost` on the committing thread for each staged file that does not take its name, with
  // its final path and why (the folder's own path when a whole batch could not be flushed); the
  // platform's reason, if any, is that thread's last error then. Set before any other thread
  // uses the folder.
  void OnLost(std::function<void(const std::string& path, const std::string& why)> lost) {
    lost_ = std::move(lost);
  }
  // Whether some staged file did not take its name: the pass then fails, as for a failed entry.
  bool lostAny() const { return lostAny_; }

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
    std::string name;
    std::string staged;
    std::string final;
    std::int64_t promised;
    std::int64_t size;  // as staged: nothing writes the file once its fetch has handed it over
    std::string key;    // FileNameKey of the entry's name
  };

  std::string dir_;
  std::string staging_;
  platform::FileLock lock_;

  // Takes the batch and commits it with `lock` (on mutex_) released meanwhile.
  void CommitBatch(std::unique_lock<std::mutex>& lock);
  // Syncs, checks and moves one batch to its final names.
  void CommitFiles(std::vector<Pending>& batch);
  // Removes a staged file that does not take its name, and reports it.
  void Lose(const std::string& staged, const std::string& path, const std::string& why);

  std::function<void()> absent_;
  std::function<void(const std::string&, const std::string&)> lost_;
  std::atomic<bool> lostAny_{false};
  mutable std::mutex mutex_;  // guards the batch below
  std::condition_variable committed_;
  bool committing_ = false;  // a batch is being committed, its keys still in pendingKeys_
  std::vector<Pending> pending_;
  std::unordered_set<std::string> pendingKeys_;  // of the batch and of the one being committed
  std::int64_t pendingBytes_ = 0;
};

}  // namespace rz
