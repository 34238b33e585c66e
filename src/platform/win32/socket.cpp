// Winsock 2 behind the socket seam. Failures report WSAGetLastError codes as the positive
// platform codes.
#include "platform/socket.h"
#include "platform/last_error.h"

#include <winsock2.h>

#include <cstring>

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

bool FirstAddress(const hostent* entry, std::uint32_t& address) {
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length < 4 ||
      entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return false;
  }
  std::memcpy(&address, entry->h_addr_list[0], sizeof address);
  return true;
}

}  // namespace

int StartSocketLibrary() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data);
}

int StopSocketLibrary() { return ::WSACleanup() == 0 ? 0 : -1; }

SocketHandle CreateTcpSocket(int& error) {
  const SOCKET created = ::socket(AF_INET, SOCK_STREAM, 0);
  if (created == INVALID_SOCKET) {
    error = ::WSAGetLastError();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(created);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) {
    ::closesocket(ToSocket(socket));
  }
}

bool LookupHostByName(const char* host, std::uint32_t& address) {
  return host != nullptr && FirstAddress(::gethostbyname(host), address);
}

bool LookupDottedQuad(const char* host, std::uint32_t& address) {
  if (host == nullptr) {
    return false;
  }
  const unsigned long parsed = ::inet_addr(host);
  return FirstAddress(::gethostbyaddr(reinterpret_cast<const char*>(&parsed), 4, AF_INET), address);
}

bool ConnectIPv4(SocketHandle socket, std::uint32_t address, int port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = ::htons(static_cast<u_short>(port & 0xFFFF));
  target.sin_addr.s_addr = address;
  if (::connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    return true;
  }
  NoteSocketError();
  return false;
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
