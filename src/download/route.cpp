#include "download/route.h"

#include <utility>

#include "download/ascii_text.h"
#include "download/request_builder.h"
#include "download/wire_url.h"

namespace rz {
namespace {

// The host as names compare: no brackets, no trailing dot.
std::string_view Bare(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return host;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// '*' matches any run of characters, everything else itself, case-insensitively.
bool GlobMatches(std::string_view pattern, std::string_view text) {
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && AsciiLower(pattern[p]) == AsciiLower(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Calls `each` with every trimmed, non-empty entry of `list` split at any of `separators`, until
// it returns true.
template <typename Each>
bool AnyEntry(std::string_view list, std::string_view separators, Each each) {
  while (!list.empty()) {
    const std::size_t end = list.find_first_of(separators);
    const std::string_view entry = Trimmed(list.substr(0, end));
    if (!entry.empty() && each(entry)) return true;
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return false;
}

ProxyCheck Refused(ProxyFault fault) {
  ProxyCheck check;
  check.fault = fault;
  return check;
}

}  // namespace

ProxyCheck ParseProxyServer(std::string_view text, int defaultPort, ProxyServer& out) {
  text = Trimmed(text);
  if (text.empty()) return Refused(ProxyFault::kEmpty);
  if (ControlCharacterAt(text) != std::string_view::npos)
    return Refused(ProxyFault::kControlCharacter);
  const std::size_t scheme = text.find("://");
  if (scheme != std::string_view::npos && scheme < text.find('/')) {
    const std::string_view name = text.substr(0, scheme);
    if (!EqualsIgnoreCase(name, "http")) {
      const bool plain = name.find_first_not_of(
                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                             "0123456789+-.") == std::string_view::npos;
      if (!plain || name.empty()) return Refused(ProxyFault::kUnreadableScheme);
      return {ProxyFault::kUnsupportedScheme, std::string(name)};
    }
    text.remove_prefix(scheme + 3);
  }
  // The authority ends at the first '/', '?' or '#'; an '@' after it means one of those stood
  // unencoded in the credentials, and the host read would be part of the password.
  const std::size_t authorityEnd = text.find_first_of("/?#");
  if (authorityEnd != std::string_view::npos &&
      text.find('@', authorityEnd) != std::string_view::npos) {
    return Refused(ProxyFault::kUnencodedDelimiter);
  }
  text = text.substr(0, authorityEnd);
  ProxyServer parsed;
  const std::size_t at = text.rfind('@');
  if (at != text.find('@')) {
    return Refused(ProxyFault::kUnencodedAt);
  }
  if (at != std::string_view::npos) {
    const std::string_view credentials = text.substr(0, at);
    const std::size_t colon = credentials.find(':');
    parsed.hasCredentials = true;
    parsed.user = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string_view::npos) {
      parsed.password = PercentDecoded(credentials.substr(colon + 1));
    }
    if (parsed.user.size() + 1 + parsed.password.size() > kMaxCredentialsBytes) {
      return Refused(ProxyFault::kLongCredentials);
    }
    text.remove_prefix(at + 1);
  }
  std::size_t portColon = std::string_view::npos;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return Refused(ProxyFault::kUnclosedIpv6);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return Refused(ProxyFault::kTextAfterIpv6);
      portColon = close + 1;
    }
  } else {
    portColon = text.find(':');
  }
  parsed.host = std::string(text.substr(0, portColon));
  if (parsed.host.empty() || parsed.host == "[]") return Refused(ProxyFault::kNoHost);
  parsed.port = defaultPort;
  // An empty port ("host:") is the default, as curl takes it.
  if (portColon != std::string_view::npos && portColon + 1 < text.size()) {
    const std::string_view digits = text.substr(portColon + 1);
    std::int32_t port = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9' || port > 65535) return Refused(ProxyFault::kBadPort);
      port = port * 10 + (c - '0');
    }
    parsed.port = port;
  }
  if (parsed.port < 1 || parsed.port > 65535) return Refused(ProxyFault::kBadPort);
  out = parsed;
  return {};
}

bool NoProxyMatches(std::string_view list, std::string_view host) {
  const std::string_view name = Bare(host);
  if (Trimmed(list) == "*") return true;
  return AnyEntry(list, ", ", [&](std::string_view entry) {
    entry = Bare(entry);
    if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
    if (entry.empty()) return false;
    if (EqualsIgnoreCase(entry, name)) return true;
    // A subdomain: the name ends in "." followed by the entry.
    return name.size() > entry.size() && name[name.size() - entry.size() - 1] == '.' &&
           EqualsIgnoreCase(name.substr(name.size() - entry.size()), entry);
  });
}

bool OverrideMatches(std::string_view list, std::string_view host) {
  const std::string_view name = Bare(host);
  return AnyEntry(list, "; ", [&](std::string_view entry) {
    if (EqualsIgnoreCase(entry, "<local>"))
      return name.find('.') == std::string_view::npos && name.find(':') == std::string_view::npos;
    return GlobMatches(Bare(entry), name);
  });
}

Route RouteFor(const platform::SystemProxySettings& settings, std::string_view scheme,
               std::string_view host) {
  Route route;
  const bool secure = EqualsIgnoreCase(scheme, "https");
  const std::string& server = secure ? settings.forHttps : settings.forHttp;
  if (server.empty()) return route;
  const bool bypassed = settings.overrideList ? OverrideMatches(settings.bypass, host)
                                              : NoProxyMatches(settings.bypass, host);
  if (bypassed) return route;
  ProxyCheck check = ParseProxyServer(server, settings.defaultPort, route.proxy);
  if (check.fault != ProxyFault::kOk) {
    route.kind = RouteKind::kUnusable;
    route.unusable.source = secure ? settings.httpsSource : settings.httpSource;
    route.unusable.proxy = std::move(check);
    return route;
  }
  route.kind = secure ? RouteKind::kTunnel : RouteKind::kProxyForm;
  return route;
}

}  // namespace rz
