// Winsock 2 behind the socket seam. Connects are non-blocking so that several addresses can be
// tried side by side; the connected socket is then blocking again. Failures report
// WSAGetLastError codes as the positive platform codes.
#include "platform/socket.h"
#include "platform/last_error.h"

#include <winsock2.h>

namespace rz::platform {
namespace {

SOCKET ToSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

WaitResult WaitFor(SocketHandle socket, bool forWrite, int micros, int& error) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(ToSocket(socket), &set);
  timeval timeout{};
  timeout.tv_sec = micros / 1000000;
  timeout.tv_usec = micros % 1000000;
  // The first argument is ignored by Winsock; the set holds only this socket.
  const int ready =
      ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &timeout);
  if (ready == SOCKET_ERROR) {
    error = ::WSAGetLastError();
    return WaitResult::kFailed;
  }
  return ready > 0 && FD_ISSET(ToSocket(socket), &set) ? WaitResult::kReady : WaitResult::kTimedOut;
}

}  // namespace

int StartSocketLibrary() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data);
}

int StopSocketLibrary() { return ::WSACleanup() == 0 ? 0 : -1; }

SocketHandle CreateTcpSocket(int family, int& error) {
  const SOCKET created = ::socket(family, SOCK_STREAM, 0);
  if (created == INVALID_SOCKET) {
    error = ::WSAGetLastError();
    return kInvalidSocket;
  }
  u_long nonBlocking = 1;
  if (::ioctlsocket(created, FIONBIO, &nonBlocking) != 0) {
    error = ::WSAGetLastError();
    ::closesocket(created);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(created);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) {
    ::closesocket(ToSocket(socket));
  }
}

ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address) {
  const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
  if (::connect(ToSocket(socket), target, address.length) == 0) return ConnectStart::kConnected;
  if (::WSAGetLastError() == WSAEWOULDBLOCK) return ConnectStart::kPending;
  NoteSocketError();
  return ConnectStart::kFailed;
}

bool ConnectSucceeded(SocketHandle socket) {
  int soError = 0;
  int size = sizeof soError;
  if (::getsockopt(ToSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError),
                   &size) != 0) {
    NoteSocketError();
    return false;
  }
  if (soError == 0) return true;
  ::WSASetLastError(soError);
  NoteSocketError();
  return false;
}

bool SetBlocking(SocketHandle socket) {
  u_long nonBlocking = 0;
  return ::ioctlsocket(ToSocket(socket), FIONBIO, &nonBlocking) == 0;
}

WaitResult WaitConnects(const SocketHandle* sockets, std::size_t count, int micros, bool* done,
                        int& error) {
  // Winsock reports a made connect as writable and a failed one in the exception set.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (std::size_t i = 0; i < count && i < FD_SETSIZE; ++i) {
    FD_SET(ToSocket(sockets[i]), &writable);
    FD_SET(ToSocket(sockets[i]), &failed);
    done[i] = false;
  }
  timeval timeout{};
  timeout.tv_sec = micros / 1000000;
  timeout.tv_usec = micros % 1000000;
  const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
  if (ready == SOCKET_ERROR) {
    error = ::WSAGetLastError();
    return WaitResult::kFailed;
  }
  if (ready == 0) return WaitResult::kTimedOut;
  for (std::size_t i = 0; i < count && i < FD_SETSIZE; ++i) {
    done[i] = FD_ISSET(ToSocket(sockets[i]), &writable) || FD_ISSET(ToSocket(sockets[i]), &failed);
  }
  return WaitResult::kReady;
}

WaitResult WaitReadable(SocketHandle socket, int micros, int& error) {
  return WaitFor(socket, false, micros, error);
}

WaitResult WaitWritable(SocketHandle socket, int micros, int& error) {
  return WaitFor(socket, true, micros, error);
}

long SendOnce(SocketHandle socket, const char* data, int count) {
  const int sent = ::send(ToSocket(socket), data, count, 0);
  if (sent == SOCKET_ERROR) NoteSocketError();
  return sent;
}

long ReceiveOnce(SocketHandle socket, char* buffer, int capacity) {
  const int received = ::recv(ToSocket(socket), buffer, capacity, 0);
  if (received == SOCKET_ERROR) NoteSocketError();
  return received;
}

}  // namespace rz::platform
