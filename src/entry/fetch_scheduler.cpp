// The pass's workers: entries handed out in list order, at most kFetchesInFlight in flight.
#include "entry/fetch_scheduler.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace rz {
namespace {

// The entry the current thread settles, for the cache's probe.
thread_local std::size_t tEntry = 0;

// Hands the list's entries to the workers in list order, one at a time each. An entry is handed
// out once the one before it has passed its checks (its probe in the cache) or finished, so
// fetches start in list order and an entry refused outright starts nothing after it. After the
// first entry that fails (or throws), or whose commit left a file without its name, none is
// handed out any more; those in flight finish. An entry whose file another worker is fetching
// waits for it, and then finds it settled.
class Scheduler {
 public:
  Scheduler(std::size_t count, CacheFolder& cache, const FetchScheduler::KeyOf& keyOf,
            const FetchScheduler::Settle& settle)
      : count_(count),
        limit_(std::min<std::size_t>(kFetchesInFlight, count)),
        cache_(cache),
        keyOf_(keyOf),
        settle_(settle) {
    // Never grown while a worker runs: a started thread always finds its place.
    threads_.reserve(limit_);
    cache_.OnAbsent([this] { Cleared(tEntry); });
  }
  // No thread outlives the pass's data, on any way out.
  ~Scheduler() {
    JoinAll();
    cache_.OnAbsent(nullptr);
  }
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // One worker: settles entries until none is left or the pass failed. Nothing escapes it; a
  // thrown exception is kept for the caller's thread, where the stage reports it.
  void Work() {
    std::size_t index = 0;
    while (Take(index)) {
      bool settled = false;
      std::exception_ptr thrown;
      tEntry = index;
      try {
        settled = settle_(index);
      } catch (...) {
        thrown = std::current_exception();
      }
      Done(index, settled, thrown);
    }
  }

  // Waits for every worker started so far, and for those they start meanwhile.
  void JoinAll() {
    for (;;) {
      std::thread worker;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (threads_.empty()) return;
        worker = std::move(threads_.back());
        threads_.pop_back();
      }
      worker.join();
    }
  }

  bool ok() const { return !stopped_; }
  const std::exception_ptr& thrown() const { return thrown_; }

 private:
  bool Take(std::size_t& index) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopped_ || next_ == count_) return false;
      if (cleared_ == next_ && !SharesAName(next_)) break;
      ++waiting_;
      changed_.wait(lock);
      --waiting_;
    }
    index = next_++;
    inFlight_.push_back({index, std::move(nextKey_)});
    nextKey_.reset();
    return true;
  }

  // Whether entry `index` would write a file an entry in flight writes. The keys are worked out
  // only when something is in flight, each once: a pass over present files, which settles one
  // entry after another, needs none.
  bool SharesAName(std::size_t index) {
    if (inFlight_.empty()) return false;
    if (!nextKey_) nextKey_ = keyOf_(index);
    for (InFlight& entry : inFlight_) {
      if (!entry.key) entry.key = keyOf_(entry.index);
      if (*entry.key == *nextKey_) return true;
    }
    return false;
  }

  // Entry `index` passed its checks and its fetch begins: another worker may take the next one.
  // Every waiting worker waits for that same next entry, so one of them is woken; the others
  // would only find it taken. With none waiting, one more worker starts, up to the limit: workers
  // start only as fetches do, so a pass over present files runs on the caller's thread alone.
  void Cleared(std::size_t index) {
    bool wake = false;
    bool start = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (index != cleared_) return;  // cleared already
      ++cleared_;
      wake = waiting_ > 0;
      start = !wake && !stopped_ && next_ < count_ && workers_ < limit_;
      if (start) ++workers_;
    }
    if (wake) changed_.notify_one();
    if (start) StartWorker();
  }

  // A system that gives no more threads leaves the pass to the workers it has.
  void StartWorker() {
    try {
      std::thread worker([this] { Work(); });
      const std::lock_guard<std::mutex> lock(mutex_);
      threads_.push_back(std::move(worker));
    } catch (const std::system_error&) {
      const std::lock_guard<std::mutex> lock(mutex_);
      --workers_;
    }
  }

  // The worker that calls this goes on to take the next entry itself, so only the end of the
  // pass wakes the waiting ones (to leave). A list of present files is then walked by one worker
  // after another without a wake-up per entry.
  void Done(std::size_t index, bool settled, const std::exception_ptr& thrown) {
    bool ended = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (index == cleared_) ++cleared_;
      inFlight_.erase(
          std::find_if(inFlight_.begin(), inFlight_.end(),
                       [index](const InFlight& entry) { return entry.index == index; }));
      // A file that could not take its name in a commit this entry's fetch made fails the pass
      // as a failed entry does.
      if (!settled || cache_.lostAny()) stopped_ = true;
      if (thrown && !thrown_) thrown_ = thrown;
      ended = (stopped_ || next_ == count_) && waiting_ > 0;
    }
    if (ended) changed_.notify_all();
  }

  const std::size_t count_;
  const std::size_t limit_;  // workers at most, the caller's thread included
  CacheFolder& cache_;
  const FetchScheduler::KeyOf& keyOf_;
  const FetchScheduler::Settle& settle_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;     // the entry handed out next
  std::size_t cleared_ = 0;  // entries before this one passed their checks or finished
  struct InFlight {
    std::size_t index;
    std::optional<std::string> key;  // its name key, once worked out
  };
  std::optional<std::string> nextKey_;  // the key of entry next_, once worked out
  std::vector<InFlight> inFlight_;
  int waiting_ = 0;  // workers waiting in Take
  bool stopped_ = false;
  std::exception_ptr thrown_;
  std::size_t workers_ = 1;  // the caller's thread works too
  std::vector<std::thread> threads_;
};

}  // namespace

bool FetchScheduler::Run(std::size_t count, CacheFolder& cache, const KeyOf& keyOf,
                         const Settle& settle) {
  Scheduler scheduler(count, cache, keyOf, settle);
  scheduler.Work();
  scheduler.JoinAll();
  if (scheduler.thrown()) std::rethrow_exception(scheduler.thrown());
  return scheduler.ok();
}

}  // namespace rz
