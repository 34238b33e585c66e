// The connect loop. Time is measured by the clock rather than by counting waits, since waits end
// early whenever an attempt finishes and the stagger cuts them short.
#include "download/connection.h"

#include <algorithm>
#include <chrono>

namespace rz {
namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

// The attempts under way; whatever is still held when the loop ends is closed.
class Attempts {
 public:
  Attempts() = default;
  ~Attempts() {
    for (const platform::SocketHandle socket : sockets_) platform::CloseSocket(socket);
  }
  Attempts(const Attempts&) = delete;
  Attempts& operator=(const Attempts&) = delete;

  bool empty() const { return sockets_.empty(); }
  std::size_t size() const { return sockets_.size(); }
  const platform::SocketHandle* data() const { return sockets_.data(); }
  void Add(platform::SocketHandle socket) { sockets_.push_back(socket); }
  // Hands attempt `index` over to the caller, who then owns it.
  platform::SocketHandle Take(std::size_t index) {
    const platform::SocketHandle socket = sockets_[index];
    sockets_.erase(sockets_.begin() + static_cast<std::ptrdiff_t>(index));
    return socket;
  }

 private:
  std::vector<platform::SocketHandle> sockets_;
};

}  // namespace

Status ConnectFirst(const std::vector<platform::SocketAddress>& addresses, const ConnectPlan& plan,
                    platform::SocketHandle& connected, int& createError) {
  connected = platform::kInvalidSocket;
  createError = 0;
  const Clock::time_point deadline = Clock::now() + Micros(plan.budgetMicros);
  Clock::time_point nextStart = Clock::now();
  std::size_t next = 0;
  bool anyCreated = false;
  Attempts running;
  bool done[platform::kMaxAddresses] = {};

  for (;;) {
    // A new attempt when its time has come, or at once when nothing is running.
    if (next < addresses.size() && running.size() < platform::kMaxAddresses &&
        (running.empty() || Clock::now() >= nextStart)) {
      const platform::SocketAddress& address = addresses[next++];
      int error = 0;
      const platform::SocketHandle socket = platform::CreateTcpSocket(address.family, error);
      if (socket == platform::kInvalidSocket) {
        if (createError == 0) createError = error;
        continue;
      }
      anyCreated = true;
      // No SO_RCVBUF or SO_SNDBUF: a fixed buffer caps the TCP window (8 KiB gave 0.16 MB/s at a
      // 50 ms round trip), and on Windows setting SO_RCVBUF also turns off its auto-tuning.
      const platform::ConnectStart started = platform::StartConnect(socket, address);
      if (started == platform::ConnectStart::kConnected && platform::SetBlocking(socket)) {
        connected = socket;
        return kOk;
      }
      if (started != platform::ConnectStart::kPending) {
        platform::CloseSocket(socket);
        continue;  // the next address at once
      }
      running.Add(socket);
      nextStart = Clock::now() + Micros(plan.staggerMicros);
    }
    if (running.empty()) {
      if (next < addresses.size()) continue;
      if (!anyCreated && createError != 0) return createError;
      createError = 0;
      return kConnectFailed;
    }

    const Clock::time_point now = Clock::now();
    if (now >= deadline) return kTimedOut;
    if (plan.pollCallback != nullptr && plan.pollCallback() == kStoppedByCallback) {
      return kStoppedByCallback;
    }
    Clock::time_point until = std::min(deadline, now + Micros(plan.sliceMicros));
    if (next < addresses.size()) until = std::min(until, std::max(nextStart, now));
    const auto wait = std::chrono::duration_cast<Micros>(until - now).count();
    int error = 0;
    const platform::WaitResult ready =
        platform::WaitConnects(running.data(), running.size(), static_cast<int>(wait), done, error);
    if (ready == platform::WaitResult::kFailed) return error;
    if (ready != platform::WaitResult::kReady) continue;
    // Finished attempts, from the last so that taking one leaves the others' places alone.
    for (std::size_t i = running.size(); i-- > 0;) {
      if (!done[i]) continue;
      const platform::SocketHandle socket = running.Take(i);
      if (platform::ConnectSucceeded(socket) && platform::SetBlocking(socket)) {
        connected = socket;
        return kOk;
      }
      platform::CloseSocket(socket);
      nextStart = Clock::now();  // a failure starts the next attempt without waiting
    }
  }
}

}  // namespace rz
