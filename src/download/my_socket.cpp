// MySocket: the engine's TCP connection. Every wait is a 100 ms slice; the poll callback runs
// before each slice and a budget of empty slices bounds a send or receive. Open tries every
// address of the host (connection.h) within a budget of its own.
#include "download/my_socket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "download/connection.h"

namespace rz {

MySocket::MySocket(const char* host, std::int32_t port, PollCallback pollCallback)
    : pollCallback_(pollCallback), host_(host), port_(port) {}

MySocket::~MySocket() {
  // The owner is meant to Close first; whatever it left is released here all the same.
  tls_.reset();
  platform::CloseSocket(socket_);
  if (libraryStarted_) {
    platform::StopSocketLibrary();
  }
}

Status MySocket::Open() { return OpenWithin(kConnectBudgetMicros); }

Status MySocket::OpenWithin(std::int32_t budgetMicros) {
  if (!libraryStarted_) {
    const int started = platform::StartSocketLibrary();
    if (started != 0) {
      return started;
    }
    libraryStarted_ = true;
  }
  // A second Open starts over with a fresh socket rather than leaking the first.
  tls_.reset();
  platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;

  std::vector<platform::SocketAddress> addresses;
  if (!platform::LookupAddresses(host_, port_, addresses)) {
    platform::SocketAddress quad;
    if (IsDottedQuad(host_) != kOk || !platform::LookupDottedQuad(host_, port_, quad)) {
      return kUnresolvedHost;
    }
    addresses.assign(1, quad);
  }
  int createError = 0;
  const Status connected =
      ConnectFirst(addresses, {pollCallback_, budgetMicros}, socket_, createError);
  if (createError != 0 && connected == createError) {
    std::printf("MySocket Open Last error: %d\n", createError);
  }
  return connected;
}

Status MySocket::WaitUntilReady(bool forWrite, std::int32_t budgetMicros) {
  // The callback runs before each slice and may stop the wait; only empty slices count against
  // the budget.
  for (std::int64_t waited = 0; waited < budgetMicros; waited += kWaitSliceMicros) {
    if (pollCallback_ != nullptr && pollCallback_() == kStoppedByCallback) {
      return kStoppedByCallback;
    }
    int error = 0;
    const platform::WaitResult ready =
        forWrite ? platform::WaitWritable(socket_, kWaitSliceMicros, error)
                 : platform::WaitReadable(socket_, kWaitSliceMicros, error);
    if (ready == platform::WaitResult::kFailed) {
      return error;
    }
    if (ready == platform::WaitResult::kReady) {
      return kOk;
    }
  }
  return kTimedOut;
}

Status MySocket::Send(const char* data, std::int32_t& count) {
  if (data == nullptr || count <= 0) {
    return kNoData;
  }
  if (tls_) return SendTls(data, count);
  if (const Status ready = WaitUntilReady(true, kSendBudgetMicros); ready != kOk) {
    return ready;
  }
  const long sent = platform::SendOnce(socket_, data, count);
  if (sent <= 0) {
    return kSendFailed;
  }
  // A short send still succeeds here; the caller compares the count with what it meant to send.
  count = static_cast<std::int32_t>(sent);
  return kOk;
}

namespace {

// Leaves the caller's buffer zero-filled past the bytes a receive delivered, and wholly zero when
// it delivered none, on every way out of ReceiveWithin. Clearing only what the receive did not
// write gives the caller the same bytes as clearing everything first, without clearing a full
// chunk only to overwrite it at once.
class ZeroFillPastDelivered {
 public:
  ZeroFillPastDelivered(char* buffer, std::int32_t capacity, std::int32_t ask, const long& received)
      : buffer_(buffer), capacity_(capacity), ask_(ask), received_(received) {}
  ~ZeroFillPastDelivered() {
    const long delivered = received_ > 0 && received_ <= ask_ ? received_ : 0;
    std::memset(buffer_ + delivered, 0, static_cast<std::size_t>(capacity_ - delivered));
  }
  ZeroFillPastDelivered(const ZeroFillPastDelivered&) = delete;
  ZeroFillPastDelivered& operator=(const ZeroFillPastDelivered&) = delete;

 private:
  char* buffer_;
  std::int32_t capacity_;
  std::int32_t ask_;
  const long& received_;
};

}  // namespace

Status MySocket::ReceiveWithin(char* buffer, std::int32_t& length, std::int32_t budgetMicros) {
  return ReceiveChunk(buffer, length, budgetMicros, kWaitSliceMicros);
}

Status MySocket::ReceiveAnswer(char* buffer, std::int32_t& length) {
  return ReceiveChunk(buffer, length, kReceiveBudgetMicros, 0);
}

Status MySocket::ReceiveChunk(char* buffer, std::int32_t& length, std::int32_t budgetMicros,
                              int moreMicros) {
  if (buffer == nullptr || length <= 0) {
    return kNoData;
  }
  if (tls_) return ReceiveTls(buffer, length, budgetMicros);
  const std::int32_t capacity = length;
  // One receive delivers at most kMaxReceive bytes, whatever capacity the caller names, and lands
  // directly in the caller's buffer, zero-filled past the delivered bytes.
  const int ask = std::min(capacity, kMaxReceive);
  long received = 0;
  const ZeroFillPastDelivered zeroFill(buffer, capacity, ask, received);
  if (const Status ready = WaitUntilReady(false, budgetMicros); ready != kOk) {
    return ready;
  }
  received = platform::ReceiveOnce(socket_, buffer, ask);
  if (received == 0) {
    length = 0;
    return kConnectionClosed;
  }
  if (received < 0) {
    length = 0;
    return kReceiveFailed;
  }
  if (received > ask) {
    length = 0;  // and the whole buffer is cleared on the way out
    return kReceiveOverflow;
  }
  // Learn whether more (or the server's close) is already waiting, without the callback.
  int error = 0;
  const platform::WaitResult more = platform::WaitReadable(socket_, moreMicros, error);
  length = static_cast<std::int32_t>(received);
  return more == platform::WaitResult::kReady ? kMoreData : kOk;
}

Status MySocket::Receive(char* buffer, std::int32_t& length) {
  return ReceiveWithin(buffer, length, kReceiveBudgetMicros);
}

Status MySocket::Close() {
  tls_.reset();
  platform::CloseSocket(socket_);
  socket_ = platform::kInvalidSocket;
  if (!libraryStarted_) {
    return kOk;  // Open never started the socket library, so there is no use to end
  }
  libraryStarted_ = false;
  return platform::StopSocketLibrary();
}

}  // namespace rz
