// The CONNECT tunnel through an HTTP proxy, for https downloads: once the proxy has answered
// 2xx, the connection carries bytes to and from the server unchanged, and a TLS session can start
// over it as over a direct connection.
#pragma once

#include <cstdint>
#include <string>

#include "download/my_socket.h"
#include "download/response_header.h"
#include "download/route.h"
#include "download/status_codes.h"

namespace rz {

// The proxy's answer to CONNECT, read as it arrives: pure logic over bytes, so that any split of
// an answer can be driven from tests.
class ConnectAnswer {
 public:
  // Takes the next chunk received. kMoreData until the answer's blank line has arrived, then the
  // verdict: kOk for 2xx with nothing after the blank line; kHttpRefused for any other status;
  // kBadResponseHeader when the answer is unreadable, runs past 16 KiB or past its header (bytes
  // a tunnel's first reader would lose). Must not be called again once it gave a verdict.
  Status Append(const char* data, std::size_t length);
  // The proxy's status code, 0 until a status line was read.
  int status() const { return status_; }

 private:
  ResponseHeaderCollector header_;
  int status_ = 0;
};

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
