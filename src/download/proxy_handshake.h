// A Negotiate or NTLM handshake with a proxy that answered 407: the tokens of one connection's
// requests, the proxy's challenges in between, and why it failed when it did. The tokens come
// from the system's security library (platform/proxy_auth.h); this side picks the scheme, counts
// the steps and writes the lines. Nothing of it ever reaches a debug line but its verdict.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "download/my_socket.h"
#include "download/proxy_challenge.h"
#include "download/route.h"
#include "download/status_codes.h"
#include "platform/proxy_auth.h"

namespace rz {

// Why a handshake ended without the proxy letting the request through.
enum class AuthFault {
  kNone,
  kNotSpoken,         // the proxy offers no scheme the library answers
  kNeedsCredentials,  // only with credentials in the proxy setting, and it has none
  kSystemRefused,     // the security library could not make or answer a token
  kBadChallenge,      // an interim answer whose token is missing, unreadable or one too many
  kRefusedAfterLast,  // a 407 after the last token: wrong credentials, or not allowed
  kClosedMidway,      // the proxy closed the connection (or answered nothing) within the handshake
};

// A failed handshake, for its line: the schemes offered, the one tried, and the security
// library's reason (its code and words, never a token or a credential).
struct AuthFailure {
  AuthFault fault = AuthFault::kNone;
  std::string offered;
  std::string scheme;
  std::string reason;
};

class ProxyHandshake {
 public:
  // For `proxy`, whose 407 carried `offer`. `proxy` must outlive the handshake.
  ProxyHandshake(const ProxyServer& proxy, ProxyOffer offer);
  ~ProxyHandshake();
  ProxyHandshake(const ProxyHandshake&) = delete;
  ProxyHandshake& operator=(const ProxyHandshake&) = delete;

  // Makes the first token: Negotiate where it is offered and this system can answer it, else
  // NTLM. False, with failure() set, when there is nothing to answer with.
  bool Begin();
  // Takes a 407 of the handshake's proxy. True when it carries a challenge for the scheme in
  // progress and the next token answers it: the request then goes again on the same connection.
  // False when it is a refusal; failure() says why.
  bool Answer(std::string_view header);
  // The proxy let a request of the handshake through: nothing more to send.
  void Accepted() { accepted_ = true; }
  // The connection ended, or could not be read, before the proxy's verdict.
  void Cut();

  // The lines the handshake's next request carries: its token, and the keep-alive without which a
  // proxy drops a challenge with the connection.
  const std::string& lines() const { return lines_; }
  bool accepted() const { return accepted_; }
  bool failed() const { return failure_.fault != AuthFault::kNone; }
  const AuthFailure& failure() const { return failure_; }
  // Tokens made so far.
  int steps() const { return steps_; }

 private:
  bool Fail(AuthFault fault);
  bool TakeToken(platform::AuthStep step, const std::string& token);

  const ProxyServer& proxy_;
  ProxyOffer offer_;
  std::unique_ptr<platform::AuthSession> session_;
  platform::AuthPackage package_ = platform::AuthPackage::kNtlm;
  std::string lines_;
  AuthFailure failure_;
  int steps_ = 0;
  bool last_ = false;  // the token sent was the security library's last
  bool accepted_ = false;
};

// Reads the rest of a challenge's body from `socket`, whose last chunk held `received` bytes of it
// after `header`, so that the next request of the handshake finds the connection at its start.
// kOk; kBadResponseHeader for a body without a Content-Length (which only the close could end),
// longer than 1 MiB or overrun; or what Receive reported.
Status SkipChallengeBody(MySocket& socket, std::string_view header, std::size_t received);

}  // namespace rz
