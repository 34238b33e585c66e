#include "download/proxy_handshake.h"

#include <array>
#include <utility>

#include "download/request_builder.h"
#include "download/response_header.h"

namespace rz {
namespace {

// NTLM takes a token, a challenge and the answer to it; Negotiate may take a round more before it
// settles on a mechanism. A proxy that keeps challenging past that is not authenticating.
constexpr int kMaxSteps = 3;
// A challenge's body is a page for people; one longer than this is not worth reading through.
constexpr std::int64_t kMaxChallengeBodyBytes = 1024 * 1024;

const char* SchemeName(platform::AuthPackage package) {
  return package == platform::AuthPackage::kNegotiate ? "Negotiate" : "NTLM";
}

}  // namespace

ProxyHandshake::ProxyHandshake(const ProxyServer& proxy, ProxyOffer offer)
    : proxy_(proxy), offer_(std::move(offer)) {
  failure_.offered = offer_.Named();
}

ProxyHandshake::~ProxyHandshake() = default;

bool ProxyHandshake::Fail(AuthFault fault) {
  if (failure_.fault == AuthFault::kNone) {
    failure_.fault = fault;
    if (session_ && fault == AuthFault::kSystemRefused) failure_.reason = session_->Reason();
  }
  lines_.clear();
  return false;
}

void ProxyHandshake::Cut() {
  if (!accepted_) Fail(AuthFault::kClosedMidway);
}

bool ProxyHandshake::TakeToken(platform::AuthStep step, const std::string& token) {
  using platform::AuthStep;
  if (step == AuthStep::kNoCredentials) return Fail(AuthFault::kNeedsCredentials);
  if (step != AuthStep::kContinue && step != AuthStep::kComplete) {
    return Fail(AuthFault::kSystemRefused);
  }
  // A library that is done and has nothing more to say leaves the proxy's answer as the verdict.
  if (token.empty()) return Fail(AuthFault::kRefusedAfterLast);
  const std::string encoded = Base64Text(token);
  if (encoded.empty()) return Fail(AuthFault::kSystemRefused);
  lines_ = std::string("Proxy-Authorization: ") + SchemeName(package_) + " " + encoded +
           "\r\nProxy-Connection: keep-alive\r\n";
  last_ = step == AuthStep::kComplete;
  ++steps_;
  return true;
}

bool ProxyHandshake::Begin() {
  if (!offer_.Handshakes()) return Fail(AuthFault::kNotSpoken);
  platform::AuthIdentity identity;
  identity.given = proxy_.hasCredentials;
  identity.user = proxy_.user;
  identity.password = proxy_.password;
  std::string token;
  // A system without Negotiate (or without credentials for it) may still answer NTLM.
  for (const platform::AuthPackage package :
       {platform::AuthPackage::kNegotiate, platform::AuthPackage::kNtlm}) {
    const bool offered =
        package == platform::AuthPackage::kNegotiate ? offer_.negotiate : offer_.ntlm;
    if (!offered) continue;
    package_ = package;
    failure_.scheme = SchemeName(package);
    session_ = std::make_unique<platform::AuthSession>(package, proxy_.host, identity);
    const platform::AuthStep step = session_->Step({}, token);
    if (step == platform::AuthStep::kContinue || step == platform::AuthStep::kComplete) {
      return TakeToken(step, token);
    }
    const bool needsCredentials = step == platform::AuthStep::kNoCredentials;
    failure_.fault = needsCredentials ? AuthFault::kNeedsCredentials : AuthFault::kSystemRefused;
    failure_.reason = needsCredentials ? std::string() : session_->Reason();
  }
  return Fail(failure_.fault);
}

bool ProxyHandshake::Answer(std::string_view header) {
  if (failed() || !session_) return false;
  const ProxyOffer challenge = ReadProxyOffer(header);
  const std::string& text = package_ == platform::AuthPackage::kNegotiate ? challenge.negotiateToken
                                                                          : challenge.ntlmToken;
  // A bare scheme name after an answer to a challenge (whether or not the security library
  // called it the last token) is the proxy starting over: the answer was not good enough.
  if (text.empty()) {
    return Fail(last_ || steps_ >= 2 ? AuthFault::kRefusedAfterLast : AuthFault::kBadChallenge);
  }
  std::string decoded;
  if (last_ || steps_ >= kMaxSteps || !Base64Decode(text, decoded)) {
    return Fail(AuthFault::kBadChallenge);
  }
  std::string token;
  const platform::AuthStep step = session_->Step(decoded, token);
  if (step == platform::AuthStep::kFailed) failure_.reason = session_->Reason();
  return TakeToken(step, token);
}

Status SkipChallengeBody(MySocket& socket, std::string_view header, std::size_t received) {
  const ContentLengthField length = ReadContentLength(header);
  if (length.state != FieldState::kValue || length.value > kMaxChallengeBodyBytes ||
      static_cast<std::int64_t>(received) > length.value) {
    return kBadResponseHeader;
  }
  std::int64_t left = length.value - static_cast<std::int64_t>(received);
  std::array<char, MySocket::kMaxReceive> buffer;
  while (left > 0) {
    std::int32_t count = MySocket::kMaxReceive;
    const Status status = socket.ReceiveAnswer(buffer.data(), count);
    if (status != kOk && status != kMoreData) return status;
    if (count <= 0 || count > left) return kBadResponseHeader;
    left -= count;
  }
  return kOk;
}

}  // namespace rz
