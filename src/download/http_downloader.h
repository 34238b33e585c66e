// HttpDownloader: the record of one file download over one MySocket. Its request is composed
// in request_builder.cpp, its response received in response_receiver.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "download/connection_pool.h"
#include "download/my_socket.h"
#include "download/proxy_challenge.h"
#include "download/proxy_handshake.h"
#include "download/route.h"
#include "download/status_codes.h"

namespace rz {

// Told the bytes received so far and the expected total after every chunk;
// kStoppedByCallback (-813) stops the download.
using ProgressCallback = std::int32_t (*)(std::int32_t received, std::int32_t expectedTotal);

// Told, once the response header was accepted and before any body byte is written, the whole
// file's length (-1 when unknown) and its validator (empty when there is none). Anything but kOk
// refuses the response: nothing is written and ReceiveToFile returns kHttpRefused.
using HeaderCallback = Status (*)(void* context, std::int64_t total, std::string_view validator);

class HttpDownloader {
 public:
  // Stores host and localPath without copying them; a port of 0 or less becomes 80.
  HttpDownloader(const char* host, std::int32_t port, const char* localPath);
  // Releases host and localPath (allocated with new[]) when ownsStrings is set.
  ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // Creates and opens the connection (to tunnelProxy when one is set, then through its tunnel to
  // host:port), then starts TLS with `host` when useTls is set. kBadTarget, kNoMemory, or the
  // result of MySocket::Open, OpenTunnel or MySocket::StartTls. With a pool (https only), an idle
  // connection of the same origin and route is taken instead when there is one.
  Status Connect();
  // Closes and destroys the connection, or gives it back to the pool when the last response left
  // it fit for another request. The result of MySocket::Close; 0 when there is none or it is kept.
  Status Disconnect();
  // Whether `status`, the failure of a request on a kept connection, came before any byte of the
  // response: the server had closed the connection meanwhile (reset, end of stream, close_notify),
  // and the request may go again on a new one. A response that had begun is never such a case.
  bool ClosedBeforeAnswer(Status status) const;
  // Composes one HTTP/1.0 GET request and sends it in one piece. A null target requests
  // localPath. 0, kNoMemory, kCredentialsTooLong, kRequestTooLong, kPartialSend, kBadTarget
  // (called without a connection), or what Send reported. Nothing is sent unless the whole
  // request was composed.
  Status SendRequest(const char* target, std::int32_t offset);
  // Reads the response and writes its body into `localPath` (from `offset` on when resuming).
  // Through a proxy with a handshake in progress, a 407 that carries the next challenge is read
  // to its end and answered: kProxyChallenged, and the request goes again; kProxyAuthFailed when
  // the handshake cannot go on.
  Status ReceiveToFile(ProgressCallback progress, const char* localPath, std::int32_t offset);

  // Public fields, in the record's order; the optional ones may be set before Connect.
  PollCallback pollCallback = nullptr;
  const char* host;
  const char* localPath;
  std::int32_t port;
  const char* proxyTargetUrl = nullptr;
  const char* proxyUser = nullptr;
  const char* proxyPassword = nullptr;
  std::int32_t ownsStrings = 0;
  std::unique_ptr<MySocket> connection;
  // A request with a resume offset carries this validator in an If-Range line, so that a server
  // whose file changed answers with the whole new file instead of a range of it.
  const char* ifRange = nullptr;
  HeaderCallback headerCallback = nullptr;
  void* headerContext = nullptr;
  // The status code of the last response ReceiveToFile read a status line of; 0 before. Through a
  // proxy, a refusal is the proxy's own, and the failure line names it.
  int responseStatus = 0;
  // An https download: TLS over the connection, and a Host line that names the port unless it
  // is 443.
  bool useTls = false;
  // With reportRedirects, a 301, 302, 303, 307 or 308 answer that has one Location ends
  // ReceiveToFile with kRedirected before anything is written; the status and the Location as
  // the server sent it are kept here. Without it, such an answer is refused like any other 3xx.
  bool reportRedirects = false;
  int redirectStatus = 0;
  std::string location;
  // An https download through a proxy: the connection goes to this proxy, which is asked for a
  // tunnel to host:port; everything after that is end to end. Not owned.
  const ProxyServer* tunnelProxy = nullptr;
  // The proxy's answer to the tunnel request; 0 when none was read.
  int tunnelStatus = 0;
  // What the proxy offered when it answered 407 outside a handshake (to the tunnel request, or in
  // the proxy form).
  ProxyOffer proxyOffer;
  // A handshake with the proxy in progress: its lines go into the proxy's requests (the tunnel's,
  // or the proxy form's, never a request inside a tunnel), and each 407 with its next challenge is
  // answered on the same connection. Not owned.
  ProxyHandshake* proxyHandshake = nullptr;
  // For connecting to the server (or the proxy) over all of its addresses.
  std::int32_t connectBudgetMicros = MySocket::kConnectBudgetMicros;
  // Whether Connect got a connection to the server or the proxy, whatever happened after.
  bool reached = false;
  // An https download with a pool: its request asks for keep-alive, Connect takes a kept
  // connection when one fits, and Disconnect keeps this one when its response allows (a kept-alive
  // answer whose Content-Length ended the body, with nothing after it). Not owned.
  ConnectionPool* pool = nullptr;
  // Connect opens a new connection even when the pool holds one that fits.
  bool freshConnection = false;
  // Connect took a kept connection; ReceiveToFile left the connection fit for another request;
  // the bytes of the response ReceiveToFile received.
  bool reusedConnection = false;
  bool keepConnection = false;
  std::int64_t responseBytes = 0;

 private:
  // Whether this download's connection may be kept for another request: https with a pool. Plain
  // http keeps its one request per connection. Whether it is kept then is keepConnection, set by
  // ReceiveToFile alone and read by Disconnect.
  bool MayKeepConnection() const { return useTls && pool != nullptr; }
  std::string PoolKey() const;
};

}  // namespace rz
