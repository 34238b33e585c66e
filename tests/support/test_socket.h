// A few portable socket calls for the test servers and raw test clients: BSD sockets on Linux,
// Winsock 2 on Windows. Loopback only: 127.0.0.1, or ::1 where a caller asks for IPv6. Kept apart
// from the library's own socket layer so that tests of that layer never lean on it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace rztest {

#ifdef _WIN32
using socket_t = std::uintptr_t;
constexpr socket_t kInvalidSocket = ~static_cast<socket_t>(0);
#else
using socket_t = int;
constexpr socket_t kInvalidSocket = -1;
#endif

// Holds Winsock open for its lifetime (WSAStartup/WSACleanup); nothing on Linux.
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
};

// A socket bound to 127.0.0.1 (::1 when `ipv6`) on *port, or on a free port when *port is 0 (then
// stored in *port), not yet listening.
socket_t BindLoopback(std::uint16_t* port, bool ipv6 = false);
// BindLoopback, then listen.
socket_t OpenLoopbackListener(std::uint16_t* port, bool ipv6 = false, int backlog = 64);
socket_t AcceptConnection(socket_t listener);
// A blocking connection to 127.0.0.1:port (::1 when `ipv6`), or kInvalidSocket.
socket_t ConnectLoopback(std::uint16_t port, bool ipv6 = false);

// 1 when readable (data, close or error pending), 0 on timeout, -1 on failure.
int WaitReadable(socket_t sock, std::chrono::milliseconds timeout);
// recv/send; never raise SIGPIPE. Return the byte count, 0 on orderly close, <0 on error.
long ReceiveBytes(socket_t sock, char* buf, std::size_t size);
long SendBytes(socket_t sock, const char* data, std::size_t size);
bool SendAllBytes(socket_t sock, const std::string& data);

void ShutdownSend(socket_t sock);
void ShutdownBoth(socket_t sock);
// Makes the next close abortive (RST).
void SetLingerZero(socket_t sock);
void CloseSocket(socket_t sock);

// What a raw client saw until the peer closed, reset, or the time ran out.
struct ReceiveResult {
  std::string bytes;
  bool closed = false;  // orderly close (FIN)
  bool reset = false;   // receive error, such as a reset
};
ReceiveResult ReceiveUntilClose(socket_t sock, std::chrono::milliseconds timeout);

// A socket closed on destruction.
class ScopedSocket {
 public:
  explicit ScopedSocket(socket_t sock = kInvalidSocket) : sock_(sock) {}
  ~ScopedSocket() {
    if (sock_ != kInvalidSocket) CloseSocket(sock_);
  }
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;
  socket_t get() const { return sock_; }
  bool valid() const { return sock_ != kInvalidSocket; }

 private:
  socket_t sock_;
};

// A loopback address whose connects never complete: it listens with a backlog of 0 and one idle
// connection fills its queue, so the kernel drops every further SYN.
class SynDropper {
 public:
  // On `port` of 127.0.0.1 (::1 when `ipv6`); 0 takes a free port.
  SynDropper(std::uint16_t port, bool ipv6);
  bool valid() const { return listener_.valid() && filler_.valid(); }
  std::uint16_t port() const { return port_; }

 private:
  SocketLibrary library_;
  std::uint16_t port_;
  ScopedSocket listener_;
  ScopedSocket filler_;
};

}  // namespace rztest
