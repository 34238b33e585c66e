// The CONNECT tunnel through an HTTP proxy, for https downloads: once the proxy has answered
// 2xx, the connection carries bytes to and from the server unchanged, and a TLS session can start
// over it as over a direct connection.
#pragma once

#include <cstdint>
#include <string>

#include "download/my_socket.h"
#include "download/route.h"
#include "download/status_codes.h"

namespace rz {

// The request that asks `proxy` for a tunnel to host:port ("CONNECT host:port HTTP/1.1", the
// Host line, Proxy-Authorization when the proxy has credentials). kOk, or kCredentialsTooLong.
Status ComposeConnectRequest(const std::string& host, std::int32_t port, const ProxyServer& proxy,
                             std::string& request);

// Sends that request on `socket`, connected to the proxy, and reads the proxy's answer header.
// kOk when the proxy answered 2xx: the socket is then the tunnel. kHttpRefused when it answered
// anything else, kBadResponseHeader when the answer is unreadable, ends early or runs past its
// header (bytes a tunnel's first reader would lose); or what Send or Receive reported.
// `proxyStatus` receives the proxy's status code, 0 when none was read.
Status OpenTunnel(MySocket& socket, const std::string& host, std::int32_t port,
                  const ProxyServer& proxy, int& proxyStatus);

}  // namespace rz
