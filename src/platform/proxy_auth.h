// Answers a proxy's Negotiate or NTLM challenge with the system's security library: SSPI on
// Windows, GSS-API (with an NTLM mechanism) elsewhere. Tokens go in and out as raw bytes; their
// base64 and the header lines that carry them are the download engine's.
//
// Nothing here writes a token, a user name or a password anywhere; the reason for a failure is
// the security library's code and words only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace rz::platform {

enum class AuthPackage { kNegotiate, kNtlm };

// Whose credentials answer. Without `given`, the logged-on user's (Windows only). With it, the
// user and password from the proxy setting; a user "DOMAIN\name" names its domain.
struct AuthIdentity {
  bool given = false;
  std::string_view user;
  std::string_view password;
};

enum class AuthStep {
  kContinue,       // send `token`; the proxy's next challenge goes to Step
  kComplete,       // send `token` (empty: nothing more to send); the handshake needs no more steps
  kNoCredentials,  // nothing to answer with: no credentials given where this build needs them
  kUnavailable,    // the package cannot be used here (not installed, not offered by the system)
  kFailed,         // the security library refused; Reason() says why
};

// One handshake with one proxy over one connection.
class AuthSession {
 public:
  // Prepares the handshake; the first Step acquires the credentials. `proxyHost` is the proxy's
  // name as the setting gives it (an IPv6 literal with its brackets); it names the service the
  // ticket is for ("HTTP/host" in SSPI's terms, "HTTP@host" in GSS-API's).
  AuthSession(AuthPackage package, std::string_view proxyHost, const AuthIdentity& identity);
  ~AuthSession();
  AuthSession(const AuthSession&) = delete;
  AuthSession& operator=(const AuthSession&) = delete;

  // The first token when `challenge` is empty, else the answer to the proxy's challenge (the
  // decoded bytes of its Proxy-Authenticate token). `token` is replaced on kContinue and
  // kComplete, and left empty otherwise.
  AuthStep Step(std::string_view challenge, std::string& token);

  // The security library's reason for the last kFailed or kUnavailable, such as "SSPI 0x8009030C:
  // The logon attempt failed" or "GSS-API: ... / ...": its code and words, never a token or a
  // credential. Empty when there is none.
  const std::string& Reason() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace rz::platform
