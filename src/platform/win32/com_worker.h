// A thread of its own with COM set up on it (a single-threaded apartment), running jobs one at a
// time in the order they came. A call's setup-script questions all go through one: they are then
// asked one at a time without any other lock, jsproxy's engine is always used from the thread that
// loaded it, and COM, which it needs, is set up there rather than on the caller's thread or on a
// fetch's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace rz::platform::win32 {

class ComWorker {
 public:
  ComWorker() = default;
  // Waits for the thread to end; no Run may be waiting then.
  ~ComWorker();
  ComWorker(const ComWorker&) = delete;
  ComWorker& operator=(const ComWorker&) = delete;

  // Runs `job` on the worker's thread, started with the first job, after the jobs queued before
  // it, and waits for it to end. An exception from `job` ends the job, not the thread. Any thread
  // may call it.
  void Run(const std::function<void()>& job);
  // Whether a job has ever been run, so that the thread exists.
  bool started() const;

 private:
  void Loop();

  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  std::deque<const std::function<void()>*> jobs_;  // the first one is running or next
  std::uint64_t queued_ = 0;                       // jobs ever queued
  std::uint64_t finished_ = 0;                     // jobs ever finished, in queue order
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace rz::platform::win32
