// HttpDownloader: the record of one file download, its connection and its request.
#include "download/http_downloader.h"

#include <new>
#include <string>
#include <utility>

#include "download/proxy_tunnel.h"
#include "download/request_builder.h"

namespace rz {

HttpDownloader::HttpDownloader(const char* hostText, std::int32_t portNumber,
                               const char* localPathText)
    : host(hostText), localPath(localPathText), port(portNumber > 0 ? portNumber : 80) {}

HttpDownloader::~HttpDownloader() {
  if (ownsStrings != 0) {
    delete[] host;
    delete[] localPath;
  }
  // A connection the owner did not Disconnect is released by the MySocket's own destructor.
}

std::string HttpDownloader::PoolKey() const {
  if (tunnelProxy == nullptr) return ConnectionPool::KeyOf(host, port, {}, {});
  const ProxyServer& proxy = *tunnelProxy;
  return ConnectionPool::KeyOf(
      host, port, proxy.Name(),
      proxy.hasCredentials ? proxy.user + std::string(1, '\0') + proxy.password : std::string());
}

Status HttpDownloader::Connect() {
  if (host == nullptr || localPath == nullptr) {
    return kBadTarget;
  }
  reusedConnection = false;
  keepConnection = false;
  responseBytes = 0;
  reached = false;
  const bool pooled = MayKeepConnection();
  if (pooled && !freshConnection) {
    connection = pool->Take(PoolKey());
    if (connection) {
      reusedConnection = true;
      reached = true;
      // A kept tunnel went through its proxy's handshake when it was opened: a failure on it
      // before any answer (the server had closed it) is no failure of the handshake.
      if (proxyHandshake != nullptr) proxyHandshake->Accepted();
      return kOk;
    }
  }
  const bool tunnelled = tunnelProxy != nullptr;
  connection.reset(new (std::nothrow) MySocket(tunnelled ? tunnelProxy->host.c_str() : host,
                                               tunnelled ? tunnelProxy->port : port, pollCallback));
  if (!connection) {
    return kNoMemory;
  }
  Status opened = connection->OpenWithin(connectBudgetMicros);
  reached = opened == kOk;
  if (opened == kOk && tunnelled) {
    TunnelAnswer answer;
    opened = OpenTunnel(*connection, host, port, *tunnelProxy, proxyHandshake, answer);
    tunnelStatus = answer.status;
    proxyOffer = std::move(answer.offer);
  }
  if (opened != kOk || !useTls) return opened;
  return connection->StartTls(host, pooled ? &pool->sessions() : nullptr, port);
}

Status HttpDownloader::Disconnect() {
  if (!connection) {
    return kOk;  // Connect stopped before a connection existed: nothing to close
  }
  if (keepConnection) {
    keepConnection = false;
    pool->Give(PoolKey(), std::move(connection));
    return kOk;
  }
  const Status closed = connection->Close();
  connection.reset();
  return closed;
}

Status HttpDownloader::SendRequest(const char* target, std::int32_t offset) {
  std::string request;
  // A handshake's token is for the proxy alone: a request inside a tunnel never carries it.
  const bool handshaking = proxyHandshake != nullptr && proxyTargetUrl != nullptr;
  const Status composed = ComposeRequest(
      {host, localPath, port, proxyTargetUrl, proxyUser, proxyPassword, ifRange, useTls ? 443 : 80,
       MayKeepConnection(), handshaking ? proxyHandshake->lines().c_str() : nullptr},
      target, offset, request);
  if (composed != kOk) {
    return composed;  // nothing has been sent
  }
  if (!connection) {
    return kBadTarget;
  }
  const auto length = static_cast<std::int32_t>(request.size());
  std::int32_t count = length;
  const Status sent = connection->Send(request.data(), count);
  if (sent != kOk) {
    return sent;
  }
  return count == length ? kOk : kPartialSend;
}

bool HttpDownloader::ClosedBeforeAnswer(Status status) const {
  if (!reusedConnection || responseBytes != 0) return false;
  // With no byte received, a bad header can only be the end of the stream.
  return status == kConnectionClosed || status == kBadResponseHeader || status == kTlsCut ||
         status == kReceiveFailed || status == kSendFailed || status == kPartialSend || status > 0;
}

}  // namespace rz
