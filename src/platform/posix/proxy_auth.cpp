// GSS-API (MIT krb5's mechglue) with the NTLM mechanism of Debian's gss-ntlmssp. Only the user and
// password of the proxy setting answer: there is no logged-on user's NTLM secret to take here.
#include "platform/proxy_auth.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

namespace rz::platform {
namespace {

// The DER body of 1.3.6.1.4.1.311.2.2.10 (NTLMSSP). gss_OID_desc wants a mutable pointer; nothing
// writes through it.
//
// Negotiate is answered with bare NTLM tokens too, as SSPI's Negotiate answers when NTLM is all it
// has: with only the setting's user and password there is no Kerberos to negotiate, and proxies
// that hand a SPNEGO token to their Kerberos helper would refuse a wrapped one.
char kNtlmOidBytes[] = "\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a";
gss_OID_desc kNtlmOid{static_cast<OM_uint32>(sizeof kNtlmOidBytes - 1), kNtlmOidBytes};
gss_OID_set_desc kNtlmOnly{1, &kNtlmOid};

// gss-ntlmssp's credential store key for the NT hash as hex digits (GSS_NTLMSSP_CS_NTHASH in its
// own header, which Debian does not ship).
constexpr char kNtHashKey[] = "ntlmssp_nthash";
// NTLM itself stops at 256 UTF-16 units; this only bounds the copies.
constexpr std::size_t kMaxPassword = 1024;

// A challenge is a few hundred bytes; anything near this is not one.
constexpr std::size_t kMaxChallenge = 64 * 1024;
// Per status code: one or two sentences are all any mechanism says.
constexpr std::size_t kMaxStatusWords = 240;
constexpr int kMaxStatusMessages = 4;

OM_uint32 DeleteContext(OM_uint32* minor, gss_ctx_id_t* context) {
  return gss_delete_sec_context(minor, context, GSS_C_NO_BUFFER);
}

// Owns one GSS-API handle; the library's release function ends it.
template <typename Handle, OM_uint32 (*Release)(OM_uint32*, Handle*)>
class GssHandle {
 public:
  GssHandle() = default;
  ~GssHandle() {
    if (handle_ != nullptr) {
      OM_uint32 minor = 0;
      Release(&minor, &handle_);
    }
  }
  GssHandle(const GssHandle&) = delete;
  GssHandle& operator=(const GssHandle&) = delete;

  Handle get() const { return handle_; }
  // For the calls that fill the handle in, or carry it from one call to the next.
  Handle* InOut() { return &handle_; }

 private:
  Handle handle_ = nullptr;
};

using GssName = GssHandle<gss_name_t, gss_release_name>;
using GssCred = GssHandle<gss_cred_id_t, gss_release_cred>;
using GssContext = GssHandle<gss_ctx_id_t, DeleteContext>;
using GssOidSet = GssHandle<gss_OID_set, gss_release_oid_set>;

// A buffer the library allocated.
struct GssBuffer {
  gss_buffer_desc desc{0, nullptr};
  GssBuffer() = default;
  ~GssBuffer() {
    OM_uint32 minor = 0;
    if (desc.value != nullptr) gss_release_buffer(&minor, &desc);
  }
  GssBuffer(const GssBuffer&) = delete;
  GssBuffer& operator=(const GssBuffer&) = delete;
};

void Wipe(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

// UTF-8 to UTF-16LE, refusing what is not UTF-8 (overlong forms and surrogates included).
bool Utf16Le(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(2 * text.size());
  const auto unit = [&out](std::uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;  // 0: not a lead byte
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      length = 2;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
    } else if (lead >= 0xF0 && lead < 0xF5) {
      length = 4;
    }
    if (length == 0 || text.size() - i < length) return false;
    std::uint32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = point << 6 | (next & 0x3Fu);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000))
      return false;
    if (point < 0x10000) {
      unit(point);
    } else {
      unit(0xD800 + ((point - 0x10000) >> 10));
      unit(0xDC00 + ((point - 0x10000) & 0x3FF));
    }
    i += length;
  }
  return true;
}

struct LibCtxFree {
  void operator()(OSSL_LIB_CTX* p) const { OSSL_LIB_CTX_free(p); }
};
struct ProviderUnload {
  void operator()(OSSL_PROVIDER* p) const { OSSL_PROVIDER_unload(p); }
};
struct MdFree {
  void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};

enum class Hashed { kDone, kNotUtf8, kNoMd4 };

// The NT hash (MD4 of the UTF-16LE password) as 32 hex digits. gss-ntlmssp 1.2 computes it itself
// from a password, but loses the OpenSSL context it loads MD4 into, about 6 KB for every
// credential acquired that way; this one is freed. MD4 lives in OpenSSL's legacy provider, loaded
// here into a context of our own so that the host's default context is left as it was. Without
// the password gss-ntlmssp has no LM hash: LM_COMPAT_LEVEL 0 and 1 (LM responses) then fail,
// while its default, 3, sends NTLMv2 alone.
Hashed NtHashHex(std::string_view password, std::string& hex) {
  std::string utf16;
  if (!Utf16Le(password, utf16)) {
    Wipe(utf16);
    return Hashed::kNotUtf8;
  }
  std::unique_ptr<OSSL_LIB_CTX, LibCtxFree> context(OSSL_LIB_CTX_new());
  std::unique_ptr<OSSL_PROVIDER, ProviderUnload> legacy(
      context ? OSSL_PROVIDER_load(context.get(), "legacy") : nullptr);
  std::unique_ptr<EVP_MD, MdFree> md4(legacy ? EVP_MD_fetch(context.get(), "MD4", nullptr)
                                             : nullptr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const bool hashed =
      md4 && EVP_Digest(utf16.data(), utf16.size(), digest, &size, md4.get(), nullptr) == 1 &&
      size == 16;
  Wipe(utf16);
  if (!hashed) return Hashed::kNoMd4;
  constexpr char kDigits[] = "0123456789abcdef";
  hex.clear();
  hex.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0xF]);
  }
  explicit_bzero(digest, sizeof digest);
  return Hashed::kDone;
}

// The words of one status code: the library may give several messages for one code.
std::string StatusWords(OM_uint32 code, int type) {
  std::string words;
  OM_uint32 more = 0;
  for (int i = 0; i < kMaxStatusMessages; ++i) {
    OM_uint32 minor = 0;
    GssBuffer message;
    if (GSS_ERROR(gss_display_status(&minor, code, type, GSS_C_NO_OID, &more, &message.desc)))
      break;
    if (!words.empty()) words += "; ";
    const std::size_t room = kMaxStatusWords > words.size() ? kMaxStatusWords - words.size() : 0;
    const std::size_t take = message.desc.length < room ? message.desc.length : room;
    if (take > 0) words.append(static_cast<const char*>(message.desc.value), take);
    if (more == 0 || words.size() >= kMaxStatusWords) break;
  }
  return words;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Replaces `part` where it stands as a word of its own. A mechanism may quote the name it was
// given (Kerberos does, as a principal), and the reason must not carry it.
void Redact(std::string& text, std::string_view part) {
  if (part.empty()) return;
  constexpr std::string_view kMark = "<user>";
  std::size_t at = text.find(part);
  while (at != std::string::npos) {
    const std::size_t end = at + part.size();
    if ((at == 0 || !IsWordChar(text[at - 1])) && (end == text.size() || !IsWordChar(text[end]))) {
      text.replace(at, part.size(), kMark);
      at = text.find(part, at + kMark.size());
    } else {
      at = text.find(part, at + 1);
    }
  }
}

}  // namespace

struct AuthSession::State {
  bool given = false;
  std::string target;  // "HTTP@host"
  std::string user;
  std::string password;  // wiped once the credential holds it
  GssName targetName;
  GssCred cred;
  GssContext context;
  bool started = false;
  std::optional<AuthStep> ended;
  std::string reason;

  ~State() { Wipe(password); }

  AuthStep End(AuthStep step) {
    ended = step;
    return step;
  }

  AuthStep Fail(AuthStep step, OM_uint32 major, OM_uint32 minor) {
    reason = "GSS-API: " + StatusWords(major, GSS_C_GSS_CODE);
    if (minor != 0) reason += " / " + StatusWords(minor, GSS_C_MECH_CODE);
    RedactUser();
    return End(step);
  }

  // A mechanism missing from this system (or refused by it) is not a failed logon.
  AuthStep Refused(OM_uint32 major, OM_uint32 minor) {
    const OM_uint32 routine = GSS_ROUTINE_ERROR(major);
    const bool missing = routine == GSS_S_BAD_MECH || routine == GSS_S_UNAVAILABLE;
    return Fail(missing ? AuthStep::kUnavailable : AuthStep::kFailed, major, minor);
  }

  void RedactUser() {
    const std::string_view whole = user;
    Redact(reason, whole);
    const std::size_t slash = whole.rfind('\\');
    if (slash != std::string_view::npos) {
      Redact(reason, whole.substr(0, slash));
      Redact(reason, whole.substr(slash + 1));
    }
    const std::size_t at = whole.find('@');
    if (at != std::string_view::npos) {
      Redact(reason, whole.substr(0, at));
      Redact(reason, whole.substr(at + 1));
    }
  }

  AuthStep Start();
  AuthStep Acquire(gss_name_t name);
};

// Names the user and the service, and acquires the credential; the password copy goes then.
AuthStep AuthSession::State::Start() {
  started = true;
  OM_uint32 minor = 0;
  GssOidSet mechs;
  OM_uint32 major = gss_indicate_mechs(&minor, mechs.InOut());
  if (GSS_ERROR(major)) return Fail(AuthStep::kFailed, major, minor);
  int present = 0;
  major = gss_test_oid_set_member(&minor, &kNtlmOid, mechs.get(), &present);
  if (GSS_ERROR(major)) return Fail(AuthStep::kFailed, major, minor);
  if (present == 0) {
    reason = "GSS-API: no NTLM mechanism is installed (Debian's package gss-ntlmssp)";
    return End(AuthStep::kUnavailable);
  }

  gss_buffer_desc targetText{target.size(), target.data()};
  major = gss_import_name(&minor, &targetText, GSS_C_NT_HOSTBASED_SERVICE, targetName.InOut());
  if (GSS_ERROR(major)) return Fail(AuthStep::kFailed, major, minor);
  // gss-ntlmssp takes "DOMAIN\user" (and "user@DOMAIN") apart itself; a bare user goes with an
  // empty domain, for the server to look up in its own.
  GssName userName;
  gss_buffer_desc userText{user.size(), user.data()};
  major = gss_import_name(&minor, &userText, GSS_C_NT_USER_NAME, userName.InOut());
  if (GSS_ERROR(major)) return Fail(AuthStep::kFailed, major, minor);

  return Acquire(userName.get());
}

// The NTLM credential, as its NT hash, through gss-ntlmssp's credential store: acquiring it from
// the password instead leaks an OpenSSL context in gss-ntlmssp on every call.
AuthStep AuthSession::State::Acquire(gss_name_t name) {
  std::string hash;
  const Hashed hashed =
      password.size() > kMaxPassword ? Hashed::kNotUtf8 : NtHashHex(password, hash);
  Wipe(password);
  if (hashed == Hashed::kNotUtf8) {
    reason = "GSS-API: the password is not UTF-8 of at most 1024 bytes";
    return End(AuthStep::kFailed);
  }
  if (hashed == Hashed::kNoMd4) {
    reason = "GSS-API: no MD4 for the NT hash (OpenSSL's legacy provider is missing)";
    return End(AuthStep::kUnavailable);
  }
  gss_key_value_element_desc element{kNtHashKey, hash.c_str()};
  gss_key_value_set_desc store{1, &element};
  OM_uint32 minor = 0;
  OM_uint32 major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, &kNtlmOnly,
                                          GSS_C_INITIATE, &store, cred.InOut(), nullptr, nullptr);
  Wipe(hash);
  if (GSS_ERROR(major)) return Refused(major, minor);
  return AuthStep::kContinue;
}

AuthSession::AuthSession(AuthPackage, std::string_view proxyHost, const AuthIdentity& identity)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.given = identity.given;
  if (proxyHost.size() >= 2 && proxyHost.front() == '[' && proxyHost.back() == ']')
    proxyHost = proxyHost.substr(1, proxyHost.size() - 2);
  s.target.reserve(5 + proxyHost.size());
  s.target.append("HTTP@").append(proxyHost);
  if (s.given) {
    s.user.assign(identity.user);
    s.password.assign(identity.password);
  }
}

AuthSession::~AuthSession() = default;

AuthStep AuthSession::Step(std::string_view challenge, std::string& token) {
  State& s = *state_;
  token.clear();
  if (!s.given) return AuthStep::kNoCredentials;
  if (s.ended) return *s.ended;
  if (!s.started) {
    const AuthStep ready = s.Start();
    Wipe(s.password);  // the credential holds it now, or there is none
    if (ready != AuthStep::kContinue) return ready;
  }
  // gss-ntlmssp reads a later leg's input without looking whether there is one.
  if (challenge.empty() && s.context.get() != GSS_C_NO_CONTEXT) {
    s.reason = "GSS-API: no challenge to answer";
    return s.End(AuthStep::kFailed);
  }
  if (challenge.size() > kMaxChallenge) {
    s.reason = "GSS-API: the challenge is longer than 64 KiB";
    return s.End(AuthStep::kFailed);
  }

  gss_buffer_desc input{challenge.size(), const_cast<char*>(challenge.data())};
  GssBuffer output;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_init_sec_context(
      &minor, s.cred.get(), s.context.InOut(), s.targetName.get(), &kNtlmOid, 0, GSS_C_INDEFINITE,
      GSS_C_NO_CHANNEL_BINDINGS, challenge.empty() ? GSS_C_NO_BUFFER : &input, nullptr,
      &output.desc, nullptr, nullptr);
  if (GSS_ERROR(major)) return s.Refused(major, minor);
  if (output.desc.length > 0)
    token.assign(static_cast<const char*>(output.desc.value), output.desc.length);
  if ((major & GSS_S_CONTINUE_NEEDED) != 0) return AuthStep::kContinue;
  return s.End(AuthStep::kComplete);
}

const std::string& AuthSession::Reason() const { return state_->reason; }

}  // namespace rz::platform
