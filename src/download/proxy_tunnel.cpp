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
                             std::string_view authorization, std::string& request) {
  const std::string authority = host + ":" + std::to_string(port);
  std::string composed = "CONNECT " + authority + " HTTP/1.1" + kCrLf;
  composed.append("Host: ").append(authority).append(kCrLf);
  if (!authorization.empty()) {
    composed.append(authorization);
  } else if (proxy.hasCredentials) {
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
  after_ = length - bodyStart;
  if (ParseStatusLine(header_.text(), status_) != kOk) return kBadResponseHeader;
  if (status_ < 200 || status_ > 299) return kHttpRefused;
  // The server speaks only after the client has: anything past the header is not the server's.
  return after_ == 0 ? kOk : kBadResponseHeader;
}

namespace {

// One CONNECT and the proxy's answer header.
Status AskForTunnel(MySocket& socket, const std::string& request, ConnectAnswer& answer) {
  const auto length = static_cast<std::int32_t>(request.size());
  std::int32_t count = length;
  if (const Status sent = socket.Send(request.data(), count); sent != kOk) return sent;
  if (count != length) return kPartialSend;
  std::array<char, MySocket::kMaxReceive> buffer{};
  Status verdict = kMoreData;
  while (verdict == kMoreData) {
    std::int32_t received = MySocket::kMaxReceive;
    const Status status = socket.ReceiveAnswer(buffer.data(), received);
    if (status == kConnectionClosed) return kBadResponseHeader;
    if (status != kOk && status != kMoreData) return status;
    verdict = answer.Append(buffer.data(), static_cast<std::size_t>(received));
  }
  return verdict;
}

}  // namespace

Status OpenTunnel(MySocket& socket, const std::string& host, std::int32_t port,
                  const ProxyServer& proxy, ProxyHandshake* handshake, TunnelAnswer& answer) {
  answer = TunnelAnswer();
  for (;;) {
    std::string request;
    if (const Status composed = ComposeConnectRequest(
            host, port, proxy, handshake != nullptr ? handshake->lines() : std::string_view(),
            request);
        composed != kOk) {
      return composed;
    }
    ConnectAnswer reply;
    const Status verdict = AskForTunnel(socket, request, reply);
    answer.status = reply.status();
    if (handshake == nullptr) {
      if (answer.status == 407) answer.offer = ReadProxyOffer(reply.header());
      return verdict;
    }
    if (answer.status != 407) {
      if (answer.status != 0) {
        handshake->Accepted();
      } else {
        handshake->Cut();
        return kProxyAuthFailed;
      }
      return verdict;
    }
    if (!handshake->Answer(reply.header())) return kProxyAuthFailed;
    if (SkipChallengeBody(socket, reply.header(), reply.after()) != kOk) {
      handshake->Cut();
      return kProxyAuthFailed;
    }
  }
}

}  // namespace rz
