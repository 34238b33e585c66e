// Raw IPv4 TCP client sockets: Winsock 2 on Windows, BSD sockets elsewhere.
// Every call here makes at most one platform call of substance; the budgets, callbacks and
// status codes of the download engine live above this layer.
#pragma once

#include <cstdint>

namespace rz::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// Starts the socket library for one user (WSAStartup 2.2). 0, or the positive platform code.
int StartSocketLibrary();
// Ends one use of the socket library (WSACleanup). 0, or -1 when the platform call failed.
int StopSocketLibrary();

// A blocking AF_INET stream socket, or kInvalidSocket with the positive platform code in `error`.
SocketHandle CreateTcpSocket(int& error);
void CloseSocket(SocketHandle socket);

// Name lookup for IPv4 (gethostbyname on Windows, getaddrinfo limited to AF_INET elsewhere).
// On success `address` holds the first address in network byte order.
bool LookupHostByName(const char* host, std::uint32_t& address);
// The fallback for a dotted quad the name lookup refused: its address, confirmed by a reverse
// lookup where the platform requires one.
bool LookupDottedQuad(const char* host, std::uint32_t& address);

// Blocking connect to `address` (network byte order) and the low 16 bits of `port`.
bool ConnectIPv4(SocketHandle socket, std::uint32_t address, int port);

enum class WaitResult { kReady, kTimedOut, kFailed };
// Waits up to `micros` for the socket to become readable (or writable). On kFailed, `error`
// holds the positive platform code. poll() on Linux, so any descriptor number is safe.
WaitResult WaitReadable(SocketHandle socket, int micros, int& error);
WaitResult WaitWritable(SocketHandle socket, int micros, int& error);

// One send with no SIGPIPE. Bytes accepted, or 0 / negative on failure.
long SendOnce(SocketHandle socket, const char* data, int count);
// One receive. Bytes received, 0 when the peer closed, negative on failure.
long ReceiveOnce(SocketHandle socket, char* buffer, int capacity);

}  // namespace rz::platform
