// The pass that fetches every listed ad file missing from the cache folder, several at once.
#include "entry/download_pass.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/cache_paths.h"
#include "cache/kept_part.h"
#include "download/http_downloader.h"
#include "entry/diagnostics.h"
#include "platform/file_system.h"
#include "platform/url_crack.h"

namespace rz {
namespace {

// The entry as a request URL: backslashes become slashes, and "http://" goes in front unless the
// text holds it somewhere.
std::string RequestUrl(const std::string& entry) {
  std::string url = entry;
  for (char& c : url) {
    if (c == '\\') c = '/';
  }
  if (url.find("http://") == std::string::npos) url.insert(0, "http://");
  return url;
}

// What the request line asks for: the path with any query after it, "/" when the URL has no
// path. Servers must take the whole URL as well, yet several in common use refuse it or look for
// it as a path.
std::string RequestTarget(const std::string& requestUrl, const platform::CrackedUrl& parts) {
  std::string target = requestUrl.substr(parts.pathOffset);
  if (target.empty() || target[0] != '/') target.insert(0, "/");
  return target;
}

// One request for `target` from host:port into the staged file, from `offset` on. Every step
// runs in order and a failed one ends the attempt with its status; the connection is always
// closed.
Status Attempt(const std::string& host, std::int32_t port, const std::string& target,
               const std::string& stagedPath, bool canStage, KeptPart& part, std::int32_t offset) {
  HttpDownloader downloader(host.c_str(), port, stagedPath.c_str());
  if (offset > 0) downloader.ifRange = part.validator().c_str();
  if (canStage) {
    part.Begin(offset);
    downloader.headerCallback = &KeptPart::OnHeader;
    downloader.headerContext = &part;
  }
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there.
  Status status = downloader.Connect();
  if (status >= 0) status = downloader.SendRequest(target.c_str(), offset);
  if (status == kOk && !canStage) status = kFileOpenFailed;
  if (status == kOk) status = downloader.ReceiveToFile(nullptr, stagedPath.c_str(), offset);
  const Status closed = downloader.Disconnect();
  return status == kOk ? closed : status;
}

// Asks host:port for `target` into the staged file of `fileName`, then hands it to the cache's
// next commit. Bytes a failed fetch kept are continued when the server vouches for them, else the
// file is fetched whole. A continuation the server refuses (a changed file, a server that ignores
// ranges) costs one more request for the whole file, never a failed entry and never a file joined
// from two versions. A fetch that fails after body bytes arrived keeps them for the next refresh;
// any other failure leaves nothing staged.
Status Fetch(CacheFolder& cache, const std::string& host, std::int32_t port,
             const std::string& requestUrl, const std::string& target, const std::string& fileName,
             const std::string& localPath) {
  std::string stagedPath;
  // Without the folder's lock nothing may be written; the request still goes out, and the fetch
  // fails where its file would have been opened, as it does when the cache folder is missing.
  const bool canStage = cache.locked() && cache.StagedPath(fileName, stagedPath);
  KeptPart part(stagedPath);
  const std::int32_t offset = canStage ? part.ResumeOffset() : 0;
  Status status = kOk;
  if (offset > 0) {
    diag::FetchResumed(requestUrl, fileName, offset);
    status = Attempt(host, port, target, stagedPath, true, part, offset);
    // An answer that refused the continuation touched nothing. An unreadable one counts as a
    // refusal too, or a server that answers ranges badly would fail the entry forever. Anything
    // else may have failed half-way through the body, whose bytes are kept for the next try.
    const bool refused = !part.accepted() && (status == kHttpRefused || status == kHttpNotFound ||
                                              status == kBadResponseHeader);
    if (status != kOk && !refused) {
      part.KeepOrDiscard();
      return status;
    }
  }
  if (offset <= 0 || status != kOk) {
    status = Attempt(host, port, target, stagedPath, canStage, part, 0);
    if (status != kOk) {
      if (canStage) part.KeepOrDiscard();
      return status;
    }
  }
  part.Finished();
  // A fetch that cannot be committed is a file that could not be written.
  return cache.Staged(fileName, stagedPath, localPath) ? kOk : kFileWriteFailed;
}

// One failure line for an entry that fails before any fetch, and the pass's false.
bool Refused(const std::string& entry, std::string_view why) {
  diag::EntryRefused(entry, why);
  return false;
}

// Settles one entry: true when its file is present, or fetched and staged for the pass's commit.
bool SettleEntry(CacheFolder& cache, const std::string& entry) {
  const std::string requestUrl = RequestUrl(entry);

  platform::CrackedUrl parts;
  if (!platform::CrackUrl(requestUrl, parts)) return Refused(entry, "the URL cannot be split");
  if (parts.host.empty() || parts.host.size() > kMaxPathBytes) {
    return Refused(entry, "no host name, or one longer than 259 bytes");
  }

  // The file name is everything after the last '/' from the host on, query text included.
  const std::size_t slash = requestUrl.rfind('/');
  if (slash == std::string::npos || slash < parts.hostOffset) {
    return Refused(entry, "no file name after the last '/'");
  }
  const std::string fileName = requestUrl.substr(slash + 1);
  if (!CacheFolder::IsUsableName(fileName)) {
    return Refused(entry,
                   "the file name is only dots, one the cache keeps for itself, or not a plain "
                   "file name on this system");
  }

  // The staged path must fit as well; a name that leaves no room for it is refused like a name
  // that does not fit at all.
  std::string localPath;
  std::string stagedPath;
  if (!cache.FinalPath(fileName, localPath) || !cache.StagedPath(fileName, stagedPath)) {
    return Refused(entry, "the local path does not fit 259 bytes");
  }
  if (cache.IsSettled(fileName, localPath)) return true;

  diag::FetchStarting(requestUrl, fileName);
  const Status fetched = Fetch(cache, parts.host, parts.port, requestUrl,
                               RequestTarget(requestUrl, parts), fileName, localPath);
  if (fetched != kOk) diag::DownloadFailed(requestUrl, fileName, fetched);
  return fetched == kOk;
}

// The file-system key of the name SettleEntry caches an entry under: two entries that would write
// the same file are never fetched at once.
std::string NameKeyOf(const std::string& entry) {
  const std::string url = RequestUrl(entry);
  const std::size_t slash = url.rfind('/');
  return platform::FileNameKey(slash == std::string::npos ? url : url.substr(slash + 1));
}

// The entry the current thread settles, for the cache's probe.
thread_local std::size_t tEntry = 0;

// Hands the list's entries to the workers in list order, one at a time each. An entry is handed
// out once the one before it has passed its checks (its probe in the cache) or finished, so
// fetches start in list order and an entry refused outright starts nothing after it. After the
// first entry that fails (or throws) none is handed out any more; those in flight finish. An entry
// whose file another worker is fetching waits for it, and then finds it settled.
class Scheduler {
 public:
  Scheduler(const AdUrlList& list, CacheFolder& cache) : list_(list), cache_(cache) {
    cache_.OnProbe([this] { Cleared(tEntry); });
  }
  ~Scheduler() { cache_.OnProbe(nullptr); }
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // One worker: settles entries until none is left or the pass failed. Nothing escapes it; a
  // thrown exception is kept for the caller's thread, where the stage reports it.
  void Work() {
    std::size_t index = 0;
    std::string key;
    while (Take(index, key)) {
      bool settled = false;
      std::exception_ptr thrown;
      tEntry = index;
      try {
        settled = SettleEntry(cache_, list_[index]);
      } catch (...) {
        thrown = std::current_exception();
      }
      Done(index, key, settled, thrown);
    }
  }

  bool ok() const { return !stopped_; }
  const std::exception_ptr& thrown() const { return thrown_; }

 private:
  bool Take(std::size_t& index, std::string& key) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopped_ || next_ == list_.size()) return false;
      if (cleared_ == next_) {
        if (nextKey_.empty()) nextKey_ = NameKeyOf(list_[next_]);
        if (std::find(inFlight_.begin(), inFlight_.end(), nextKey_) == inFlight_.end()) break;
      }
      changed_.wait(lock);
    }
    index = next_++;
    key.swap(nextKey_);
    nextKey_.clear();
    inFlight_.push_back(key);
    return true;
  }

  // Entry `index` passed its checks: the next one may be handed out.
  void Cleared(std::size_t index) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (index != cleared_) return;  // probed again, or cleared already
      ++cleared_;
    }
    changed_.notify_all();
  }

  void Done(std::size_t index, const std::string& key, bool settled,
            const std::exception_ptr& thrown) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (index == cleared_) ++cleared_;
      inFlight_.erase(std::find(inFlight_.begin(), inFlight_.end(), key));
      if (!settled) stopped_ = true;
      if (thrown && !thrown_) thrown_ = thrown;
    }
    changed_.notify_all();
  }

  const AdUrlList& list_;
  CacheFolder& cache_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;     // the entry handed out next
  std::size_t cleared_ = 0;  // entries before this one passed their checks or finished
  std::string nextKey_;      // the key of list_[next_] once worked out; empty before
  std::vector<std::string> inFlight_;
  bool stopped_ = false;
  std::exception_ptr thrown_;
};

// Joins every worker on every way out, so no thread outlives the pass's data.
class Workers {
 public:
  Workers() = default;
  ~Workers() {
    for (std::thread& worker : threads_) worker.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Starts up to `count` threads running `scheduler`; as many as the system gives.
  void Start(std::size_t count, Scheduler& scheduler) {
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      try {
        threads_.emplace_back([&scheduler] { scheduler.Work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  bool none() const { return threads_.empty(); }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace

bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache) {
  Scheduler scheduler(list, cache);
  {
    Workers workers;
    workers.Start(std::min<std::size_t>(kFetchesInFlight, list.size()), scheduler);
    // A system that gives no thread at all still gets its pass, one fetch at a time.
    if (workers.none()) scheduler.Work();
  }
  if (scheduler.thrown()) std::rethrow_exception(scheduler.thrown());
  const bool ok = scheduler.ok();
  // Files fetched before a failing entry, and by the fetches still in flight then, stay cached.
  if (!cache.Commit()) {
    return Refused(cache.dir(), "fetched files cannot be flushed to disk or take their names");
  }
  // Every listed file is in place: no kept data can serve again.
  if (ok) cache.PruneKeptParts();
  return ok;
}

}  // namespace rz
