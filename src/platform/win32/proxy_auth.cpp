// A proxy's Negotiate or NTLM challenge answered with SSPI: the credentials of the proxy setting,
// or the logged-on user's, and one security context per handshake.
#include "platform/proxy_auth.h"

#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <climits>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32/last_error.h"

namespace rz::platform {
namespace {

// The context only proves who we are to the proxy; no message is ever signed or sealed with it.
// Asking for confidentiality or replay detection as well would make NTLM require the proxy's
// challenge to grant sealing and signing, which Samba's NTLM (Wine's) enforces: a challenge
// without them is then refused with SEC_E_INVALID_TOKEN.
constexpr ULONG kContextRequest = ISC_REQ_CONNECTION;
// Far above any challenge a proxy sends (a Kerberos ticket stays under 64 KiB).
constexpr std::size_t kMaxChallenge = 1024 * 1024;

// UTF-8 to UTF-16 into `out`, which holds exactly the converted characters, so that a password
// can be wiped where it lies. False for text that is not UTF-8.
bool WidenUtf8(std::string_view text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
  const int length = static_cast<int>(text.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (wide <= 0) return false;
  out.resize(static_cast<std::size_t>(wide));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(),
                             wide) == wide;
}

void Wipe(std::wstring& text) {
  if (!text.empty()) SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
  text.clear();
}

// SSPI's identity fields are counted UTF-16 typed as unsigned short. An empty password goes as
// an empty string, not as the null pointer that stands for "no password given".
unsigned short* IdentityText(std::wstring& text) {
  return reinterpret_cast<unsigned short*>(text.data());
}

class Credentials {
 public:
  Credentials() = default;
  ~Credentials() { Reset(); }
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;

  CredHandle* get() { return &handle_; }
  bool held() const { return held_; }
  void Hold() { held_ = true; }
  void Reset() {
    if (held_) FreeCredentialsHandle(&handle_);
    held_ = false;
    handle_ = CredHandle{};
  }

 private:
  CredHandle handle_{};
  bool held_ = false;
};

class Context {
 public:
  Context() = default;
  ~Context() { Reset(); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  CtxtHandle* get() { return &handle_; }
  bool held() const { return held_; }
  void Hold() { held_ = true; }
  void Reset() {
    if (held_) DeleteSecurityContext(&handle_);
    held_ = false;
    handle_ = CtxtHandle{};
  }

 private:
  CtxtHandle handle_{};
  bool held_ = false;
};

}  // namespace

struct AuthSession::State {
  enum class Phase {
    kStart,     // nothing acquired yet
    kRunning,   // credentials and a context; the proxy's next challenge is due
    kFinished,  // complete, refused or failed: every further Step fails
  };

  Phase phase = Phase::kStart;
  std::wstring package;
  std::wstring target;  // "HTTP/host"
  bool given = false;
  bool textValid = true;  // the host and the identity were UTF-8
  std::wstring user;
  std::wstring domain;
  std::wstring password;  // until the credentials are acquired
  unsigned long maxToken = 0;
  Credentials cred;
  Context context;
  std::string reason;

  ~State() { Wipe(password); }

  AuthStep Acquire();
  AuthStep Initialize(std::string_view challenge, std::string& token);
  AuthStep Finish(AuthStep step) {
    phase = Phase::kFinished;
    Wipe(password);
    context.Reset();
    cred.Reset();
    return step;
  }
  AuthStep Fail(SECURITY_STATUS status) {
    reason = win32::ResultText("SSPI", status);
    // Negotiate without the logged-on user's ticket or hash says so at the first call, not when
    // the credentials are acquired.
    return Finish(status == SEC_E_NO_CREDENTIALS ? AuthStep::kNoCredentials : AuthStep::kFailed);
  }
};

// The package's token size, then the credentials: the setting's when it names a user, else the
// logged-on user's, which only the identity argument tells apart.
AuthStep AuthSession::State::Acquire() {
  PSecPkgInfoW info = nullptr;
  SECURITY_STATUS status = QuerySecurityPackageInfoW(package.data(), &info);
  if (status != SEC_E_OK || info == nullptr) {
    reason = win32::ResultText("SSPI", status != SEC_E_OK ? status : SEC_E_SECPKG_NOT_FOUND);
    return Finish(AuthStep::kUnavailable);
  }
  maxToken = info->cbMaxToken;
  FreeContextBuffer(info);

  SEC_WINNT_AUTH_IDENTITY_W identity{};
  identity.User = IdentityText(user);
  identity.UserLength = static_cast<unsigned long>(user.size());
  identity.Domain = domain.empty() ? nullptr : IdentityText(domain);
  identity.DomainLength = static_cast<unsigned long>(domain.size());
  identity.Password = IdentityText(password);
  identity.PasswordLength = static_cast<unsigned long>(password.size());
  identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
  TimeStamp expiry{};
  status =
      AcquireCredentialsHandleW(nullptr, package.data(), SECPKG_CRED_OUTBOUND, nullptr,
                                given ? &identity : nullptr, nullptr, nullptr, cred.get(), &expiry);
  // The handle keeps its own copy of the identity.
  Wipe(password);
  if (status == SEC_E_OK) {
    cred.Hold();
    return AuthStep::kContinue;
  }
  if (status != SEC_E_SECPKG_NOT_FOUND) return Fail(status);
  reason = win32::ResultText("SSPI", status);
  return Finish(AuthStep::kUnavailable);
}

AuthStep AuthSession::State::Initialize(std::string_view challenge, std::string& token) {
  // A copy, as SSPI takes its input buffers as writable.
  if (challenge.size() > kMaxChallenge) return Fail(SEC_E_INVALID_TOKEN);
  std::vector<unsigned char> input(challenge.begin(), challenge.end());
  SecBuffer inBuffer{static_cast<unsigned long>(input.size()), SECBUFFER_TOKEN, input.data()};
  SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuffer};
  std::vector<unsigned char> output(maxToken);
  SecBuffer outBuffer{maxToken, SECBUFFER_TOKEN, output.data()};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
  ULONG attributes = 0;
  TimeStamp expiry{};
  const bool first = !context.held();
  SECURITY_STATUS status = InitializeSecurityContextW(
      cred.get(), first ? nullptr : context.get(), target.data(), kContextRequest, 0,
      SECURITY_NATIVE_DREP, input.empty() ? nullptr : &inDesc, 0, context.get(), &outDesc,
      &attributes, &expiry);
  // A first call that did not fail made the context, which is then ours to delete.
  if (first && !FAILED(status)) context.Hold();
  if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
    const SECURITY_STATUS completed = CompleteAuthToken(context.get(), &outDesc);
    if (completed != SEC_E_OK) return Fail(completed);
  }
  const bool more = status == SEC_I_CONTINUE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE;
  if (!more && status != SEC_E_OK && status != SEC_I_COMPLETE_NEEDED) return Fail(status);
  if (outBuffer.cbBuffer > output.size()) return Fail(SEC_E_INTERNAL_ERROR);
  token.assign(reinterpret_cast<const char*>(output.data()), outBuffer.cbBuffer);
  if (!more) return Finish(AuthStep::kComplete);
  phase = Phase::kRunning;
  return AuthStep::kContinue;
}

AuthSession::AuthSession(AuthPackage package, std::string_view proxyHost,
                         const AuthIdentity& identity)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.package = package == AuthPackage::kNegotiate ? L"Negotiate" : L"NTLM";
  // The service is named by the bare address, without the brackets of a URL's IPv6 literal.
  if (proxyHost.size() >= 2 && proxyHost.front() == '[' && proxyHost.back() == ']') {
    proxyHost = proxyHost.substr(1, proxyHost.size() - 2);
  }
  std::wstring host;
  s.textValid = WidenUtf8(proxyHost, host);
  s.target = L"HTTP/" + host;
  s.given = identity.given;
  if (s.given) {
    std::string_view user = identity.user;
    const std::size_t slash = user.find('\\');
    if (slash != std::string_view::npos) {
      s.textValid = WidenUtf8(user.substr(0, slash), s.domain) && s.textValid;
      user = user.substr(slash + 1);
    }
    s.textValid = WidenUtf8(user, s.user) && s.textValid;
    s.textValid = WidenUtf8(identity.password, s.password) && s.textValid;
  }
}

AuthSession::~AuthSession() = default;

AuthStep AuthSession::Step(std::string_view challenge, std::string& token) {
  token.clear();
  State& s = *state_;
  const State::Phase phase = s.phase;
  if (phase == State::Phase::kFinished) return AuthStep::kFailed;
  // Finished until this step says otherwise, so that a step cut short by an exception leaves no
  // half-advanced context to be used again.
  s.phase = State::Phase::kFinished;
  if (phase == State::Phase::kStart) {
    if (!s.textValid) {
      s.reason = win32::SystemErrorText(ERROR_NO_UNICODE_TRANSLATION);
      return s.Finish(AuthStep::kFailed);
    }
    const AuthStep acquired = s.Acquire();
    if (acquired != AuthStep::kContinue) return acquired;
  } else if (challenge.empty()) {
    // A proxy that answers the handshake with a bare scheme has refused it.
    return s.Fail(SEC_E_INVALID_TOKEN);
  }
  return s.Initialize(challenge, token);
}

const std::string& AuthSession::Reason() const { return state_->reason; }

}  // namespace rz::platform
