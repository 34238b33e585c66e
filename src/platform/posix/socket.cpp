// BSD sockets behind the socket seam. poll() rather than select(), so a descriptor above
// FD_SETSIZE in a busy host process is safe; MSG_NOSIGNAL on every send, so a server that closes
// early cannot kill the host with SIGPIPE. Connects are non-blocking so that several addresses can
// be tried side by side; the connected socket is then blocking again. Failures report errno
// values as the positive platform codes.
#include "platform/socket.h"
#include "platform/last_error.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

SocketHandle CreateTcpSocket(int family, int& error) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address) {
  const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
  if (::connect(ToFd(socket), target, static_cast<socklen_t>(address.length)) == 0) {
    return ConnectStart::kConnected;
  }
  // An interrupted connect goes on in the background, as a pending one does.
  if (errno == EINPROGRESS || errno == EINTR) return ConnectStart::kPending;
  NoteSocketError();
  return ConnectStart::kFailed;
}

bool ConnectSucceeded(SocketHandle socket) {
  int soError = 0;
  socklen_t size = sizeof soError;
  if (::getsockopt(ToFd(socket), SOL_SOCKET, SO_ERROR, &soError, &size) != 0) {
    NoteSocketError();
    return false;
  }
  if (soError == 0) return true;
  errno = soError;
  NoteSocketError();
  return false;
}

bool SetBlocking(SocketHandle socket) {
  const int flags = ::fcntl(ToFd(socket), F_GETFL);
  return flags >= 0 && ::fcntl(ToFd(socket), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

WaitResult WaitConnects(const SocketHandle* sockets, std::size_t count, int micros, bool* done,
                        int& error) {
  std::vector<pollfd> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].fd = ToFd(sockets[i]);
    entries[i].events = POLLOUT;
    done[i] = false;
  }
  // Rounded up, so that a wait of less than a millisecond does not spin.
  const int ready = ::poll(entries.data(), static_cast<nfds_t>(count), (micros + 999) / 1000);
  if (ready < 0) {
    if (errno == EINTR) return WaitResult::kTimedOut;  // the caller's loop waits again
    error = errno;
    return WaitResult::kFailed;
  }
  if (ready == 0) return WaitResult::kTimedOut;
  // A failed connect shows as POLLERR or POLLHUP; ConnectSucceeded tells it from a made one.
  for (std::size_t i = 0; i < count; ++i) done[i] = entries[i].revents != 0;
  return WaitResult::kReady;
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
