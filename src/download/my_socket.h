// MySocket: one TCP client connection (IPv4 or IPv6) for one file download, with polled waits;
// with StartTls, a TLS session carries every byte after the handshake.
#pragma once

#include <cstdint>
#include <memory>

#include "download/connection.h"
#include "download/status_codes.h"
#include "platform/socket.h"
#include "platform/tls_session.h"

namespace rz {

class MySocket {
 public:
  static constexpr int kMaxReceive = 65536;        // one receive delivers at most this
  static constexpr int kWaitSliceMicros = 100000;  // each polled wait
  static constexpr int kSendBudgetMicros = 120000000;
  static constexpr int kReceiveBudgetMicros = 30000000;
  static constexpr int kConnectBudgetMicros = 30000000;    // all of the host's addresses together
  static constexpr int kHandshakeBudgetMicros = 30000000;  // each wait of the TLS handshake

  // Stores the borrowed host text, the port and the callback.
  MySocket(const char* host, std::int32_t port, PollCallback pollCallback);
  // Releases what Close was not called for.
  ~MySocket();
  MySocket(const MySocket&) = delete;
  MySocket& operator=(const MySocket&) = delete;

  // Resolves the host (a name, a dotted quad, an IPv6 literal with or without brackets) and
  // connects to the first of its addresses that answers, within the 30 s connect budget.
  // 0 when connected; kUnresolvedHost, kConnectFailed, kTimedOut, kStoppedByCallback, or a
  // positive platform code.
  Status Open();
  // Open with another budget, for callers (and tests) that cannot wait 30 s.
  Status OpenWithin(std::int32_t budgetMicros);
  // The connected socket, for a layer that speaks through it (a proxy tunnel, a TLS session).
  platform::SocketHandle socket() const { return socket_; }
  // After Open: the TLS handshake with the server `serverName` (the URL's host), in polled waits
  // of the handshake budget each. 0; kTlsUntrusted, kTlsExpired, kTlsNameMismatch,
  // kTlsHandshakeFailed, kStoppedByCallback, kTimedOut, or a positive platform code. Whatever it
  // returns, Send and Receive go through the session from then on and never in plain text: a
  // failed session refuses them.
  // With a cache, the session resumes the call's last session with serverName:port when the
  // server agrees.
  Status StartTls(const char* serverName, platform::TlsSessionCache* cache = nullptr,
                  std::int32_t port = 0);
  // Whether this connection may carry another request: its TLS session is up, holds no byte not
  // yet delivered, and nothing (no byte, no close) waits on the socket.
  bool Idle() const;
  // Sends `count` bytes in one platform send once the socket is writable; `count` becomes the
  // number accepted. 0, kNoData, kStoppedByCallback, kTimedOut, kSendFailed, or a positive code.
  Status Send(const char* data, std::int32_t& count);
  // Receives one chunk of at most min(length, kMaxReceive) bytes within `budgetMicros` of
  // empty waits. `length` is the capacity on entry and the byte count on return. 0 or kMoreData
  // with data (over TLS, kMoreData only for what is there already: a kept connection's last
  // chunk must not wait for bytes that will not come); kNoData, kStoppedByCallback, kTimedOut,
  // kReceiveFailed, kReceiveOverflow, kConnectionClosed (with TLS: the server's close_notify),
  // kTlsCut, a StartTls failure when a handshake the server started in the middle fails, or a
  // positive platform code.
  Status ReceiveWithin(char* buffer, std::int32_t& length, std::int32_t budgetMicros);
  // ReceiveWithin with the 30-second budget.
  Status Receive(char* buffer, std::int32_t& length);
  // Receive from a peer that says nothing more until it is asked again (a proxy's answer to
  // CONNECT, its challenges): whether more is waiting is looked at without waiting, as over TLS,
  // or each answer would cost a whole slice.
  Status ReceiveAnswer(char* buffer, std::int32_t& length);
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
  // ReceiveWithin, looking for more for at most `moreMicros`.
  Status ReceiveChunk(char* buffer, std::int32_t& length, std::int32_t budgetMicros,
                      int moreMicros);
  // Send and ReceiveWithin through the TLS session (my_socket_tls.cpp).
  Status SendTls(const char* data, std::int32_t& count);
  Status ReceiveTls(char* buffer, std::int32_t& length, std::int32_t budgetMicros);

  PollCallback pollCallback_;
  const char* host_;
  std::int32_t port_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  bool libraryStarted_ = false;
  std::unique_ptr<platform::TlsSession> tls_;  // ended before the socket closes
};

}  // namespace rz
