#include "download/proxy_tunnel.h"

#include <array>

#include "download/request_builder.h"
#include "download/response_header.h"

namespace rz {
namespace {

constexpr char kCrLf[] = "\r\n";
// A proxy's answer to CONNECT is a status line and a few fields; a longer one is not an answer.
constexpr std::size_t kMaxAnswerBytes = 16 * 1024;

}  // namespace

Status ComposeConnectRequest(const std::string& host, std::int32_t port, const ProxyServer& proxy,
                             std::string& request) {
  const std::string authority = host + ":" + std::to_string(port);
  std::string composed = "CONNECT " + authority + " HTTP/1.1" + kCrLf;
  composed.append("Host: ").append(authority).append(kCrLf);
  if (proxy.hasCredentials) {
    std::string token;
    if (const Status encoded = BasicCredentials(proxy.user, proxy.password, token);
        encoded != kOk) {
      return encoded;
    }
    composed.append("Proxy-Authorization: Basic ").append(token).append(kCrLf);
  }
  composed.append(kCrLf);
  request.swap(composed);
  return kOk;
}

Status OpenTunnel(MySocket& socket, const std::string& host, std::int32_t port,
                  const ProxyServer& proxy, int& proxyStatus) {
  proxyStatus = 0;
  std::string request;
  if (const Status composed = ComposeConnectRequest(host, port, proxy, request); composed != kOk) {
    return composed;
  }
  const auto length = static_cast<std::int32_t>(request.size());
  std::int32_t count = length;
  if (const Status sent = socket.Send(request.data(), count); sent != kOk) return sent;
  if (count != length) return kPartialSend;

  ResponseHeaderCollector header;
  std::array<char, MySocket::kMaxReceive> buffer{};
  std::size_t bodyStart = 0;
  std::int32_t received = 0;
  while (!header.complete()) {
    received = MySocket::kMaxReceive;
    const Status status = socket.Receive(buffer.data(), received);
    if (status == kConnectionClosed) return kBadResponseHeader;
    if (status != kOk && status != kMoreData) return status;
    if (header.Append(buffer.data(), static_cast<std::size_t>(received), bodyStart) != kOk ||
        header.text().size() > kMaxAnswerBytes) {
      return kBadResponseHeader;
    }
  }
  if (ParseStatusLine(header.text(), proxyStatus) != kOk) return kBadResponseHeader;
  if (proxyStatus < 200 || proxyStatus > 299) return kHttpRefused;
  // The server speaks only after the client has: anything past the header is not the server's.
  return bodyStart == static_cast<std::size_t>(received) ? kOk : kBadResponseHeader;
}

}  // namespace rz
