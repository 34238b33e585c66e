// MySocket: one blocking IPv4 TCP client connection for one file download, with polled waits.
#pragma once

#include <cstdint>

#include "download/status_codes.h"
#include "platform/socket.h"

namespace rz {

// Called before every socket wait; kStoppedByCallback (-813) aborts the wait.
using PollCallback = std::int32_t (*)();

class MySocket {
 public:
  static constexpr int kMaxReceive = 65536;        // one receive delivers at most this
  static constexpr int kWaitSliceMicros = 100000;  // each polled wait
  static constexpr int kSendBudgetMicros = 120000000;
  static constexpr int kReceiveBudgetMicros = 30000000;

  // Stores the borrowed host text, the port and the callback.
  MySocket(const char* host, std::int32_t port, PollCallback pollCallback);
  // Releases what Close was not called for.
  ~MySocket();
  MySocket(const MySocket&) = delete;
  MySocket& operator=(const MySocket&) = delete;

  // 0 when connected; kUnresolvedHost, kConnectFailed, or a positive platform code.
  Status Open();
  // Sends `count` bytes in one platform send once the socket is writable; `count` becomes the
  // number accepted. 0, kNoData, kStoppedByCallback, kTimedOut, kSendFailed, or a positive code.
  Status Send(const char* data, std::int32_t& count);
  // Receives one chunk of at most min(length, kMaxReceive) bytes within `budgetMicros` of empty
  // waits. `length` is the capacity on entry and the byte count on return. 0 or kMoreData with
  // data; kNoData, kStoppedByCallback, kTimedOut, kReceiveFailed, kReceiveOverflow,
  // kConnectionClosed, or a positive platform code.
  Status ReceiveWithin(char* buffer, std::int32_t& length, std::int32_t budgetMicros);
  // ReceiveWithin with the 30-second budget.
  Status Receive(char* buffer, std::int32_t& length);
  // Closes the socket and ends the socket library use that Open started. 0, or -1.
  Status Close();

  // 0 when `text` is four runs of decimal digits joined by single dots, each at most 255;
  // otherwise kNotDottedQuad.
  static Status IsDottedQuad(const char* text);

 private:
  // Waits in 100 ms slices until the socket is writable (or readable). kOk when ready;
  // kStoppedByCallback, kTimedOut when `budgetMicros` of empty slices passed (at once when it is
  // zero or less), or a positive platform code when a wait failed.
  Status WaitUntilReady(bool forWrite, std::int32_t budgetMicros);

  PollCallback pollCallback_;
  const char* host_;
  std::int32_t port_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  bool libraryStarted_ = false;
};

}  // namespace rz
