#include "platform/win32/com_worker.h"

#include <windows.h>
#include <objbase.h>

#include <exception>

namespace rz::platform::win32 {

ComWorker::~ComWorker() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ComWorker::Run(const std::function<void()>& job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
  const std::uint64_t ticket = queued_++;
  jobs_.push_back(&job);
  wake_.notify_all();
  wake_.wait(lock, [&] { return finished_ > ticket; });
}

bool ComWorker::started() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable();
}

void ComWorker::Loop() {
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return !jobs_.empty() || stop_; });
    if (jobs_.empty()) break;
    const std::function<void()>* job = jobs_.front();
    lock.unlock();
    try {
      (*job)();
    } catch (const std::exception&) {
      // The job's answer stays what it was before: no answer.
    }
    lock.lock();
    jobs_.pop_front();
    ++finished_;
    wake_.notify_all();
  }
  lock.unlock();
  if (SUCCEEDED(com)) ::CoUninitialize();
}

}  // namespace rz::platform::win32
