// HttpDownloader: the record of one file download, its connection and its request.
#include "download/http_downloader.h"

#include <new>
#include <string>

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

Status HttpDownloader::Connect() {
  if (host == nullptr || localPath == nullptr) {
    return kBadTarget;
  }
  const bool tunnelled = tunnelProxy != nullptr;
  connection.reset(new (std::nothrow) MySocket(tunnelled ? tunnelProxy->host.c_str() : host,
                                               tunnelled ? tunnelProxy->port : port, pollCallback));
  if (!connection) {
    return kNoMemory;
  }
  Status opened = connection->Open();
  if (opened == kOk && tunnelled) {
    opened = OpenTunnel(*connection, host, port, *tunnelProxy, tunnelStatus);
  }
  if (opened != kOk || !useTls) return opened;
  return connection->StartTls(host);
}

Status HttpDownloader::Disconnect() {
  if (!connection) {
    return kOk;  // Connect stopped before a connection existed: nothing to close
  }
  const Status closed = connection->Close();
  connection.reset();
  return closed;
}

Status HttpDownloader::SendRequest(const char* target, std::int32_t offset) {
  std::string request;
  const Status composed = ComposeRequest(
      {host, localPath, port, proxyTargetUrl, proxyUser, proxyPassword, ifRange, useTls ? 443 : 80},
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

}  // namespace rz
