// The CONNECT tunnel through an HTTP proxy, for https downloads: once the proxy has answered
// 2xx, the connection carries bytes to and from the server unchanged, and a TLS session can start
// over it as over a direct connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "download/my_socket.h"
#include "download/proxy_challenge.h"
#include "download/proxy_handshake.h"
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
  // The answer's header once complete, and how many bytes of the last chunk followed it.
  std::string_view header() const { return header_.text(); }
  std::size_t after() const { return after_; }

 private:
  ResponseHeaderCollector header_;
  int status_ = 0;
  std::size_t after_ = 0;
};

// The request that asks `proxy` for a tunnel to host:port ("CONNECT host:port HTTP/1.1", the
// Host line, then a handshake's lines when `authorization` holds them, else Basic
// Proxy-Authorization when the proxy has credentials). kOk, or kCredentialsTooLong.
Status ComposeConnectRequest(const std::string& host, std::int32_t port, const ProxyServer& proxy,
                             std::string_view authorization, std::string& request);

// What a tunnel's opening came to beyond its status: the proxy's answer code (0 when none was
// read) and, after a 407 outside a handshake, what it offered.
struct TunnelAnswer {
  int status = 0;
  ProxyOffer offer;
};

// Sends that request on `socket`, connected to the proxy, and reads the proxy's answer header.
// kOk when the proxy answered 2xx: the socket is then the tunnel. kHttpRefused when it answered
// anything else, kBadResponseHeader when the answer is unreadable, ends early or runs past its
// header (bytes a tunnel's first reader would lose); or what Send or Receive reported.
// With a `handshake` in progress, each 407 that carries its next challenge is answered with
// another CONNECT on the same socket; kProxyAuthFailed when the handshake fails.
Status OpenTunnel(MySocket& socket, const std::string& host, std::int32_t port,
                  const ProxyServer& proxy, ProxyHandshake* handshake, TunnelAnswer& answer);

}  // namespace rz
