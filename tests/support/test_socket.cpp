// Portable socket calls for the test tree.
#include "support/test_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstring>

namespace rztest {

namespace {

#ifdef _WIN32
SOCKET Native(socket_t sock) { return static_cast<SOCKET>(sock); }
constexpr int kNoSignal = 0;
constexpr int kStreamType = SOCK_STREAM;
constexpr int kShutSend = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
using sockaddr_len = int;
#else
int Native(socket_t sock) { return sock; }
constexpr int kNoSignal = MSG_NOSIGNAL;
// Not inherited by child processes (nginx, proxies) that a test starts.
constexpr int kStreamType = SOCK_STREAM | SOCK_CLOEXEC;
constexpr int kShutSend = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
using sockaddr_len = socklen_t;
#endif

// 127.0.0.1 or ::1 with `port`, in storage large enough for either; `length` gets its size.
sockaddr_storage LoopbackAddress(std::uint16_t port, bool ipv6, sockaddr_len& length) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  if (ipv6) {
    auto* addr = reinterpret_cast<sockaddr_in6*>(&storage);
    addr->sin6_family = AF_INET6;
    addr->sin6_port = htons(port);
    addr->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto* addr = reinterpret_cast<sockaddr_in*>(&storage);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  return storage;
}

}  // namespace

#ifdef _WIN32
SocketLibrary::SocketLibrary() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}
SocketLibrary::~SocketLibrary() { WSACleanup(); }
#else
SocketLibrary::SocketLibrary() = default;
SocketLibrary::~SocketLibrary() = default;
#endif

socket_t BindLoopback(std::uint16_t* port, bool ipv6) {
  const auto sock =
      static_cast<socket_t>(socket(ipv6 ? AF_INET6 : AF_INET, kStreamType, IPPROTO_TCP));
  if (sock == kInvalidSocket) return kInvalidSocket;
  sockaddr_len len = 0;
  sockaddr_storage addr = LoopbackAddress(*port, ipv6, len);
  if (bind(Native(sock), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(Native(sock), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    CloseSocket(sock);
    return kInvalidSocket;
  }
  *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  return sock;
}

socket_t OpenLoopbackListener(std::uint16_t* port, bool ipv6, int backlog) {
  const socket_t sock = BindLoopback(port, ipv6);
  if (sock == kInvalidSocket) return kInvalidSocket;
  if (listen(Native(sock), backlog) != 0) {
    CloseSocket(sock);
    return kInvalidSocket;
  }
  return sock;
}

socket_t AcceptConnection(socket_t listener) {
#ifdef _WIN32
  return static_cast<socket_t>(accept(Native(listener), nullptr, nullptr));
#else
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

socket_t ConnectLoopback(std::uint16_t port, bool ipv6) {
  const auto sock =
      static_cast<socket_t>(socket(ipv6 ? AF_INET6 : AF_INET, kStreamType, IPPROTO_TCP));
  if (sock == kInvalidSocket) return kInvalidSocket;
  sockaddr_len len = 0;
  sockaddr_storage addr = LoopbackAddress(port, ipv6, len);
  if (connect(Native(sock), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    CloseSocket(sock);
    return kInvalidSocket;
  }
  return sock;
}

int WaitReadable(socket_t sock, std::chrono::milliseconds timeout) {
#ifdef _WIN32
  // select on Windows has no descriptor-number limit; one socket per set.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Native(sock), &set);
  timeval tv;
  tv.tv_sec = static_cast<long>(timeout.count() / 1000);
  tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
  const int n = select(0, &set, nullptr, nullptr, &tv);
#else
  pollfd p{Native(sock), POLLIN, 0};
  const int n = poll(&p, 1, static_cast<int>(timeout.count()));
#endif
  if (n < 0) return -1;
  return n > 0 ? 1 : 0;
}

long ReceiveBytes(socket_t sock, char* buf, std::size_t size) {
  return static_cast<long>(recv(Native(sock), buf, static_cast<int>(size), 0));
}

long SendBytes(socket_t sock, const char* data, std::size_t size) {
  return static_cast<long>(send(Native(sock), data, static_cast<int>(size), kNoSignal));
}

bool SendAllBytes(socket_t sock, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const long n = SendBytes(sock, data.data() + sent, data.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void ShutdownSend(socket_t sock) { shutdown(Native(sock), kShutSend); }
void ShutdownBoth(socket_t sock) { shutdown(Native(sock), kShutBoth); }

void SetLingerZero(socket_t sock) {
  linger value;
  value.l_onoff = 1;
  value.l_linger = 0;
  setsockopt(Native(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
             sizeof value);
}

void CloseSocket(socket_t sock) {
#ifdef _WIN32
  closesocket(Native(sock));
#else
  close(Native(sock));
#endif
}

ReceiveResult ReceiveUntilClose(socket_t sock, std::chrono::milliseconds timeout) {
  ReceiveResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = WaitReadable(sock, left);
    if (ready == 0) break;
    char buf[8192];
    const long n = ready < 0 ? -1 : ReceiveBytes(sock, buf, sizeof buf);
    if (n == 0) {
      result.closed = true;
      break;
    }
    if (n < 0) {
      result.reset = true;
      break;
    }
    result.bytes.append(buf, static_cast<std::size_t>(n));
  }
  return result;
}

SynDropper::SynDropper(std::uint16_t port, bool ipv6)
    : port_(port),
      listener_(OpenLoopbackListener(&port_, ipv6, 0)),
      filler_(listener_.valid() ? ConnectLoopback(port_, ipv6) : kInvalidSocket) {}

}  // namespace rztest
