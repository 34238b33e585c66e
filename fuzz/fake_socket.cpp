// MySocket over a scripted list of chunks: no sockets, no waits, the same contract as the real
// one as the receiver sees it (at most `length` bytes per call, kMoreData while more is queued).
#pragma clang diagnostic ignored "-Wunused-private-field"  // the fake needs none of the fields
#include <algorithm>
#include <cstring>

#include "download/my_socket.h"
#include "fake_socket.h"

namespace rzfuzz {
namespace {

ReceiveScript script;
std::size_t nextChunk = 0;
std::size_t chunkOffset = 0;

}  // namespace

void SetReceiveScript(const ReceiveScript& s) {
  script = s;
  nextChunk = 0;
  chunkOffset = 0;
}

}  // namespace rzfuzz

namespace rz {

namespace platform {
struct TlsSession::State {};
TlsSession::~TlsSession() = default;
struct TlsSessionCache::State {};
TlsSessionCache::TlsSessionCache() = default;
TlsSessionCache::~TlsSessionCache() = default;
}  // namespace platform

MySocket::MySocket(const char* host, std::int32_t port, PollCallback pollCallback)
    : pollCallback_(pollCallback), host_(host), port_(port) {}
MySocket::~MySocket() = default;
Status MySocket::Open() { return kOk; }
Status MySocket::OpenWithin(std::int32_t) { return kOk; }
// The receiver never sees TLS: the fake's bytes are already plain.
Status MySocket::StartTls(const char*, platform::TlsSessionCache*, std::int32_t) {
  return kTlsHandshakeFailed;
}
bool MySocket::Idle() const { return false; }
Status MySocket::Close() { return kOk; }
Status MySocket::Send(const char*, std::int32_t&) { return kOk; }

Status MySocket::ReceiveWithin(char* buffer, std::int32_t& length, std::int32_t) {
  using namespace rzfuzz;
  while (nextChunk < script.chunks.size() && chunkOffset == script.chunks[nextChunk].size()) {
    ++nextChunk;
    chunkOffset = 0;
  }
  if (nextChunk == script.chunks.size()) {
    length = 0;
    return script.ending;
  }
  const std::string_view chunk = script.chunks[nextChunk];
  const std::size_t capacity = static_cast<std::size_t>(std::min(length, kMaxReceive));
  const std::size_t count = std::min(capacity, chunk.size() - chunkOffset);
  std::memcpy(buffer, chunk.data() + chunkOffset, count);
  chunkOffset += count;
  length = static_cast<std::int32_t>(count);
  const bool more = chunkOffset < chunk.size() || nextChunk + 1 < script.chunks.size();
  return more ? kMoreData : kOk;
}

Status MySocket::Receive(char* buffer, std::int32_t& length) {
  return ReceiveWithin(buffer, length, kReceiveBudgetMicros);
}

Status MySocket::ReceiveAnswer(char* buffer, std::int32_t& length) {
  return ReceiveWithin(buffer, length, kReceiveBudgetMicros);
}

}  // namespace rz
