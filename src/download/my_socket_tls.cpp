// MySocket over TLS: the handshake, and Send and Receive through the session. The waits are the
// plain path's 100 ms slices with the poll callback before each, and its budgets and results.
#include <algorithm>
#include <cstring>
#include <new>

#include "download/my_socket.h"

namespace rz {
namespace {

Status HandshakeFailure(platform::TlsFailure failure) {
  switch (failure) {
    case platform::TlsFailure::kUntrusted:
      return kTlsUntrusted;
    case platform::TlsFailure::kExpired:
      return kTlsExpired;
    case platform::TlsFailure::kNameMismatch:
      return kTlsNameMismatch;
    case platform::TlsFailure::kNone:
    case platform::TlsFailure::kHandshake:
      break;
  }
  return kTlsHandshakeFailed;
}

}  // namespace

Status MySocket::StartTls(const char* serverName, platform::TlsSessionCache* cache,
                          std::int32_t port) {
  if (socket_ == platform::kInvalidSocket || serverName == nullptr) return kBadTarget;
  tls_.reset(new (std::nothrow) platform::TlsSession(socket_, serverName, cache, port));
  if (!tls_) return kNoMemory;
  for (;;) {
    const platform::TlsStep step = tls_->Handshake();
    if (step == platform::TlsStep::kDone) return kOk;
    if (step != platform::TlsStep::kWantRead && step != platform::TlsStep::kWantWrite) {
      // The failed session stays in place, so that nothing is ever sent past it in plain text.
      return HandshakeFailure(tls_->failure());
    }
    const bool forWrite = step == platform::TlsStep::kWantWrite;
    if (const Status ready = WaitUntilReady(forWrite, kHandshakeBudgetMicros); ready != kOk) {
      return ready;
    }
  }
}

bool MySocket::Idle() const {
  if (!tls_ || socket_ == platform::kInvalidSocket || tls_->HoldsAnything()) return false;
  int error = 0;
  return platform::WaitReadable(socket_, 0, error) == platform::WaitResult::kTimedOut;
}

Status MySocket::SendTls(const char* data, std::int32_t& count) {
  bool forWrite = true;
  for (;;) {
    if (const Status ready = WaitUntilReady(forWrite, kSendBudgetMicros); ready != kOk) {
      return ready;
    }
    int sent = 0;
    const platform::TlsStep step = tls_->Send(data, count, sent);
    if (step == platform::TlsStep::kDone) {
      count = sent;  // a short send is the caller's to judge, as on the plain path
      return kOk;
    }
    if (step != platform::TlsStep::kWantRead && step != platform::TlsStep::kWantWrite) {
      return kSendFailed;
    }
    forWrite = step == platform::TlsStep::kWantWrite;
  }
}

Status MySocket::ReceiveTls(char* buffer, std::int32_t& length, std::int32_t budgetMicros) {
  const std::int32_t capacity = length;
  const int ask = std::min(capacity, kMaxReceive);
  length = 0;
  Status status = kOk;
  // Decrypted bytes already held need no wait; otherwise the socket must have something first.
  bool wait = !tls_->HasBuffered();
  bool forWrite = false;
  for (;;) {
    if (wait) {
      status = WaitUntilReady(forWrite, budgetMicros);
      if (status != kOk) break;
    }
    int received = 0;
    const platform::TlsStep step = tls_->Receive(buffer, ask, received);
    if (step == platform::TlsStep::kDone) {
      length = std::min(received, ask);
      // Whether more (or the close) is already waiting, without the callback. Unlike the plain
      // path this does not wait: on a kept connection nothing follows the body's last chunk.
      int error = 0;
      const bool more = tls_->HasBuffered() ||
                        platform::WaitReadable(socket_, 0, error) == platform::WaitResult::kReady;
      status = more ? kMoreData : kOk;
      break;
    }
    if (step == platform::TlsStep::kWantRead || step == platform::TlsStep::kWantWrite) {
      // Part of a record, or a post-handshake message: wait for the rest.
      wait = true;
      forWrite = step == platform::TlsStep::kWantWrite;
      continue;
    }
    // Only close_notify is the server's clean close; any other end is a cut, but a handshake
    // the server started in the middle fails for its own reason.
    if (step == platform::TlsStep::kFailed) {
      status = HandshakeFailure(tls_->failure());
    } else {
      status = step == platform::TlsStep::kClosed ? kConnectionClosed : kTlsCut;
    }
    break;
  }
  std::memset(buffer + length, 0, static_cast<std::size_t>(capacity - length));
  return status;
}

}  // namespace rz
