// Raw TCP client sockets, IPv4 and IPv6: Winsock 2 on Windows, BSD sockets elsewhere.
// Every call here makes at most one platform call of substance; the budgets, callbacks and
// status codes of the download engine live above this layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/address_lookup.h"

namespace rz::platform {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// Starts the socket library for one user (WSAStartup 2.2). 0, or the positive platform code.
int StartSocketLibrary();
// Ends one use of the socket library (WSACleanup). 0, or -1 when the platform call failed.
int StopSocketLibrary();

// A non-blocking stream socket of `family` (an address's), for StartConnect, or kInvalidSocket
// with the positive platform code in `error`.
SocketHandle CreateTcpSocket(int family, int& error);
void CloseSocket(SocketHandle socket);

enum class ConnectStart { kConnected, kPending, kFailed };
// Starts connecting a socket from CreateTcpSocket to `address`. kFailed notes the platform's
// reason.
ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address);
// After a wait reported the socket done: true when it is connected, else false with the reason
// noted.
bool ConnectSucceeded(SocketHandle socket);
// Back to blocking mode, as a connected socket stays for the rest of its life.
bool SetBlocking(SocketHandle socket);

enum class WaitResult { kReady, kTimedOut, kFailed };
// Waits up to `micros` for the socket to become readable (or writable). On kFailed, `error`
// holds the positive platform code. poll() on Linux, so any descriptor number is safe.
WaitResult WaitReadable(SocketHandle socket, int micros, int& error);
WaitResult WaitWritable(SocketHandle socket, int micros, int& error);
// Waits up to `micros` for any of `count` pending connects to finish, well or badly; `done[i]`
// tells which did. kReady when at least one did.
WaitResult WaitConnects(const SocketHandle* sockets, std::size_t count, int micros, bool* done,
                        int& error);

// One send with no SIGPIPE. Bytes accepted, or 0 / negative on failure.
long SendOnce(SocketHandle socket, const char* data, int count);
// One receive. Bytes received, 0 when the peer closed, negative on failure.
long ReceiveOnce(SocketHandle socket, char* buffer, int capacity);

}  // namespace rz::platform
