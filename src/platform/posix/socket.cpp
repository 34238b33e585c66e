// BSD sockets behind the socket seam. poll() rather than select(), so a descriptor above
// FD_SETSIZE in a busy host process is safe; MSG_NOSIGNAL on every send, so a server that closes
// early cannot kill the host with SIGPIPE; getaddrinfo limited to AF_INET, because gethostbyname
// is not thread-safe here. Failures report errno values as the positive platform codes.
#include "platform/socket.h"
#include "platform/last_error.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rz::platform {
namespace {

int ToFd(SocketHandle socket) { return static_cast<int>(socket); }

WaitResult WaitFor(SocketHandle socket, short events, int micros, int& error) {
  // poll() skips a negative descriptor and would sleep out the whole slice, so a socket that was
  // never created (no descriptors left, a sandbox that forbids sockets) would cost the full send
  // budget. Fail at once instead, as Winsock's select() does with WSAENOTSOCK.
  if (socket < 0) {
    error = EBADF;
    return WaitResult::kFailed;
  }
  pollfd entry{};
  entry.fd = ToFd(socket);
  entry.events = events;
  const int millis = micros / 1000;
  for (;;) {
    const int ready = ::poll(&entry, 1, millis);
    if (ready > 0) {
      // POLLHUP and POLLERR count as ready, as select() reports them: the transfer call that
      // follows tells the caller what happened.
      return WaitResult::kReady;
    }
    if (ready == 0) {
      return WaitResult::kTimedOut;
    }
    if (errno != EINTR) {
      error = errno;
      return WaitResult::kFailed;
    }
    // A signal for the host interrupted this slice: wait the slice again.
  }
}

}  // namespace

int StartSocketLibrary() { return 0; }

int StopSocketLibrary() { return 0; }

SocketHandle CreateTcpSocket(int& error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return kInvalidSocket;
  }
  return fd;
}

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) {
    ::close(ToFd(socket));
  }
}

bool LookupHostByName(const char* host, std::uint32_t& address) {
  if (host == nullptr) {
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  bool ok = false;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
        entry->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in in{};
      std::memcpy(&in, entry->ai_addr, sizeof in);
      address = in.sin_addr.s_addr;
      ok = true;
      break;
    }
  }
  ::freeaddrinfo(found);
  return ok;
}

bool LookupDottedQuad(const char* host, std::uint32_t& address) {
  // getaddrinfo already takes numeric addresses; this is the last resort for a text it refused.
  // No reverse lookup: that could wait on a name server and adds nothing to the address.
  if (host == nullptr) {
    return false;
  }
  in_addr parsed{};
  if (::inet_aton(host, &parsed) == 0) {
    return false;
  }
  address = parsed.s_addr;
  return true;
}

bool ConnectIPv4(SocketHandle socket, std::uint32_t address, int port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
  target.sin_addr.s_addr = address;
  if (::connect(ToFd(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    return true;
  }
  if (errno != EINTR) {
    NoteSocketError();
    return false;
  }
  // An interrupted connect goes on in the background; wait for its outcome.
  pollfd entry{};
  entry.fd = ToFd(socket);
  entry.events = POLLOUT;
  while (::poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) {
      NoteSocketError();
      return false;
    }
  }
  int soError = 0;
  socklen_t size = sizeof soError;
  if (::getsockopt(ToFd(socket), SOL_SOCKET, SO_ERROR, &soError, &size) == 0 && soError == 0) {
    return true;
  }
  if (soError != 0) errno = soError;
  NoteSocketError();
  return false;
}

WaitResult WaitReadable(SocketHandle socket, int micros, int& error) {
  return WaitFor(socket, POLLIN, micros, error);
}

WaitResult WaitWritable(SocketHandle socket, int micros, int& error) {
  return WaitFor(socket, POLLOUT, micros, error);
}

long SendOnce(SocketHandle socket, const char* data, int count) {
  ssize_t sent;
  do {
    sent = ::send(ToFd(socket), data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) NoteSocketError();
  return static_cast<long>(sent);
}

long ReceiveOnce(SocketHandle socket, char* buffer, int capacity) {
  ssize_t received;
  do {
    received = ::recv(ToFd(socket), buffer, static_cast<std::size_t>(capacity), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) NoteSocketError();
  return static_cast<long>(received);
}

}  // namespace rz::platform
