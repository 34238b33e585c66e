#include "download/proxy_tunnel.h"

#include <array>

#include "download/request_builder.h"

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

Status ConnectAnswer::Append(const char* data, std::size_t length) {
  std::size_t bodyStart = 0;
  if (header_.Append(data, length, bodyStart) != kOk || header_.text().size() > kMaxAnswerBytes) {
    return kBadResponseHeader;
  }
  if (!header_.complete()) return kMoreData;
  if (ParseStatusLine(header_.text(), status_) != kOk) return kBadResponseHeader;
  if (status_ < 200 || status_ > 299) return kHttpRefused;
  // The server speaks only after the client has: anything past the header is not the server's.
  return bodyStart == length ? kOk : kBadResponseHeader;
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

  ConnectAnswer answer;
  std::array<char, MySocket::kMaxReceive> buffer{};
  Status verdict = kMoreData;
  while (verdict == kMoreData) {
    std::int32_t received = MySocket::kMaxReceive;
    const Status status = socket.Receive(buffer.data(), received);
    if (status == kConnectionClosed) return kBadResponseHeader;
    if (status != kOk && status != kMoreData) return status;
    verdict = answer.Append(buffer.data(), static_cast<std::size_t>(received));
  }
  proxyStatus = answer.status();
  return verdict;
}

}  // namespace rz
