#include "download/proxy_challenge.h"

#include "download/ascii_text.h"
#include "download/response_header.h"

namespace rz {
namespace {

// The characters of an HTTP token, which a scheme's name is.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Calls each(element) for every comma-separated element of a field value, trimmed; commas inside
// a quoted string do not separate.
template <typename Each>
void ForEachElement(std::string_view value, Each each) {
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= value.size(); ++i) {
    if (i < value.size() && quoted && value[i] == '\\') {
      ++i;  // an escaped character, a quote included
    } else if (i < value.size() && value[i] == '"') {
      quoted = !quoted;
    } else if (i == value.size() || (!quoted && value[i] == ',')) {
      each(Trimmed(value.substr(start, i - start)));
      start = i + 1;
    }
  }
}

void Offered(ProxyOffer& offer, std::string_view scheme, std::string_view rest) {
  const bool token = !rest.empty() && rest.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789+/=") == std::string_view::npos;
  if (EqualsIgnoreCase(scheme, "Negotiate")) {
    offer.negotiate = true;
    if (token && offer.negotiateToken.empty()) offer.negotiateToken = std::string(rest);
  } else if (EqualsIgnoreCase(scheme, "Basic")) {
    offer.basic = true;
  } else if (EqualsIgnoreCase(scheme, "NTLM")) {
    offer.ntlm = true;
    if (token && offer.ntlmToken.empty()) offer.ntlmToken = std::string(rest);
  }
  for (const std::string& named : offer.schemes) {
    if (EqualsIgnoreCase(named, scheme)) return;
  }
  if (offer.schemes.size() < kMaxOfferedSchemes && scheme.size() <= kMaxSchemeName) {
    offer.schemes.emplace_back(scheme);
  }
}

}  // namespace

std::string ProxyOffer::Named() const {
  if (schemes.empty()) return "none";
  std::string named;
  for (const std::string& scheme : schemes) {
    if (!named.empty()) named.append(", ");
    named.append(scheme);
  }
  return named;
}

ProxyOffer ReadProxyOffer(std::string_view header) {
  ProxyOffer offer;
  for (const std::string_view value : FieldValues(header, "Proxy-Authenticate")) {
    ForEachElement(value, [&](std::string_view element) {
      std::size_t end = 0;
      while (end < element.size() && IsTokenChar(element[end])) ++end;
      if (end == 0) return;
      // "name=value" (or "name = value") is a parameter of the challenge before it, not a scheme.
      const std::string_view rest = Trimmed(element.substr(end));
      if (end < element.size() && element[end] != ' ' && element[end] != '\t') return;
      if (!rest.empty() && rest.front() == '=') return;
      Offered(offer, element.substr(0, end), rest);
    });
  }
  return offer;
}

bool Base64Decode(std::string_view text, std::string& out) {
  if (text.empty() || text.size() % 4 != 0 || text.size() / 4 * 3 > kMaxChallengeBytes + 3) {
    return false;
  }
  std::string decoded;
  decoded.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int values[4];
    int padding = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      // Padding only at the end: "==" or "=" in the last group's last places.
      if (c == '=' && i + 4 == text.size() && j >= 2 && (j == 3 || text[i + 3] == '=')) {
        values[j] = 0;
        ++padding;
        continue;
      }
      values[j] = Base64Value(c);
      if (values[j] < 0) return false;
    }
    const unsigned group =
        (static_cast<unsigned>(values[0]) << 18) | (static_cast<unsigned>(values[1]) << 12) |
        (static_cast<unsigned>(values[2]) << 6) | static_cast<unsigned>(values[3]);
    decoded.push_back(static_cast<char>(group >> 16));
    if (padding < 2) decoded.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding < 1) decoded.push_back(static_cast<char>(group & 0xFF));
  }
  if (decoded.size() > kMaxChallengeBytes) return false;
  out.swap(decoded);
  return true;
}

}  // namespace rz
