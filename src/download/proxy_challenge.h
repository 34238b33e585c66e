// What a proxy's 407 asks for: the authentication schemes its Proxy-Authenticate fields offer,
// and the token a Negotiate or NTLM handshake in progress is to answer. Pure logic over a
// complete header, so every form a proxy may send can be driven from tests and fuzzers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rz {

// At most this many schemes are kept of one answer, each at most kMaxSchemeName bytes: a line
// names them, and a proxy may send anything.
inline constexpr std::size_t kMaxOfferedSchemes = 8;
inline constexpr std::size_t kMaxSchemeName = 32;
// A challenge token longer than this is not one a handshake answers (NTLM's run to a few hundred
// bytes, Kerberos tickets to a few KiB).
inline constexpr std::size_t kMaxChallengeBytes = 48 * 1024;

struct ProxyOffer {
  // The schemes as the proxy named them, in its order, without repeats (compared in any case).
  std::vector<std::string> schemes;
  bool negotiate = false;
  bool ntlm = false;
  bool basic = false;
  // The token after "Negotiate" or "NTLM" (base64 text), empty when the scheme came bare.
  std::string negotiateToken;
  std::string ntlmToken;

  // Whether it offers a scheme the library answers with a handshake.
  bool Handshakes() const { return negotiate || ntlm; }
  // Whether the library has a say on it: a handshake, or a refusal that names the schemes. An
  // offer of Basic is answered, or refused, as the proxy's credentials always were.
  bool Concerns() const { return Handshakes() || (!schemes.empty() && !basic); }
  // The schemes joined for a line: "NTLM, Basic"; "none" when the proxy named none.
  std::string Named() const;
};

// The offer of a complete 407 header: every Proxy-Authenticate field, each a comma-separated list
// of challenges ("Basic realm=\"x\", NTLM"), a quoted comma inside a parameter included.
ProxyOffer ReadProxyOffer(std::string_view header);

// Decodes standard base64 with its padding; false, leaving `out` alone, for anything else or for
// more than kMaxChallengeBytes decoded bytes.
bool Base64Decode(std::string_view text, std::string& out);

}  // namespace rz
