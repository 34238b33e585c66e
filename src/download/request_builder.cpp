#include "download/request_builder.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <new>

#include "download/ascii_text.h"

namespace rz {
namespace {

// The request with its terminating NUL. A proxy's credentials line comes on top: it has a bound
// of its own, and a long token must not cost the URL its room.
constexpr std::size_t kRequestBytes = 4096;
constexpr char kCrLf[] = "\r\n";
// Far above any credentials (16 KiB) or handshake token a request carries.
constexpr std::size_t kMaxBase64Bytes = 64 * 1024;

// The decimal value at the start of `text` as strtol reads it (white space, sign, digits, 0 when
// there are none), clamped to the 32-bit range instead of overflowing.
std::int32_t LeadingNumber(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT32_MAX) + 1) {
      value = static_cast<long long>(INT32_MAX) + 1;
    }
  }
  if (negative) {
    value = -value;
  }
  if (value > INT32_MAX) {
    value = INT32_MAX;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::int32_t Base64Encode(const unsigned char* data, std::int32_t length, char* out,
                          std::int32_t capacity) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (out == nullptr || capacity < 1) {
    return -1;
  }
  out[0] = '\0';
  if (length <= 0) {
    return 0;
  }
  if (data == nullptr) {
    return -1;
  }
  std::int32_t written = 0;
  for (std::int32_t at = 0; at < length; at += 3) {
    // A group is written only while four bytes of the capacity stay free after it.
    if (written + 8 > capacity) {
      return -1;
    }
    const std::int32_t left = length - at;
    const unsigned b0 = data[at];
    const unsigned b1 = left > 1 ? data[at + 1] : 0u;
    const unsigned b2 = left > 2 ? data[at + 2] : 0u;
    out[written++] = kAlphabet[b0 >> 2];
    out[written++] = kAlphabet[((b0 & 0x03u) << 4) | (b1 >> 4)];
    out[written++] = left > 1 ? kAlphabet[((b1 & 0x0Fu) << 2) | (b2 >> 6)] : '=';
    out[written++] = left > 2 ? kAlphabet[b2 & 0x3Fu] : '=';
  }
  out[written] = '\0';
  return written;
}

Status SplitUrl(const char* prefix, const char* url, std::string* hostOut, std::int32_t* portInOut,
                std::string* pathOut) {
  if (prefix == nullptr || url == nullptr || hostOut == nullptr || portInOut == nullptr ||
      pathOut == nullptr) {
    return kMissingArgument;
  }
  const std::size_t prefixLength = std::strlen(prefix);
  if (std::strncmp(url, prefix, prefixLength) != 0) {
    return kBadTarget;
  }
  // The bound is 9 whatever the prefix: with "http://" at least two characters must follow.
  if (std::strlen(url) < 9) {
    return kBadTarget;
  }
  const char* rest = url + prefixLength;
  const char* separator = std::strpbrk(rest, "/\\");
  // The colons of a bracketed IPv6 literal are not the port's: the search starts after it.
  const char* close = rest[0] == '[' ? std::strchr(rest, ']') : nullptr;
  if (close != nullptr && separator != nullptr && close > separator) close = nullptr;
  const char* colon = std::strchr(close != nullptr ? close : rest, ':');

  std::int32_t port = *portInOut;
  const char* hostEnd;
  if (colon != nullptr && (separator == nullptr || colon < separator)) {
    port = LeadingNumber(colon + 1);
    hostEnd = colon;
  } else {
    if (port < 1) {
      port = -1;
    }
    hostEnd = separator != nullptr ? separator : rest + std::strlen(rest);
  }
  try {
    std::string host(rest, static_cast<std::size_t>(hostEnd - rest));
    std::string path(separator != nullptr ? separator : "/");
    // Outputs change only once nothing can fail any more.
    hostOut->swap(host);
    pathOut->swap(path);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  *portInOut = port;
  return kOk;
}

std::string Base64Text(std::string_view bytes) {
  if (bytes.size() > kMaxBase64Bytes) return std::string();
  std::string encoded((bytes.size() + 2) / 3 * 4 + 4, '\0');
  const std::int32_t written = Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                            static_cast<std::int32_t>(bytes.size()), encoded.data(),
                                            static_cast<std::int32_t>(encoded.size()));
  encoded.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return encoded;
}

Status BasicCredentials(std::string_view user, std::string_view password, std::string& token) {
  if (user.size() + 1 + password.size() > kMaxCredentialsBytes) return kCredentialsTooLong;
  try {
    std::string joined;
    joined.reserve(user.size() + 1 + password.size());
    joined.append(user).append(":").append(password);
    std::string encoded = Base64Text(joined);
    if (encoded.empty()) return kCredentialsTooLong;
    token.swap(encoded);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

Status ComposeRequest(const RequestFields& fields, const char* target, std::int32_t offset,
                      std::string& request) {
  try {
    std::string composed;
    composed.reserve(kRequestBytes);
    if (fields.proxyTargetUrl != nullptr) {
      // Proxy form: the absolute URL as it stands, but for its scheme, which goes in lower case:
      // "HTTP://" is "http://", Host line included. The target argument plays no part.
      std::string url = fields.proxyTargetUrl;
      SchemeInLowerCase(url);
      composed.append("GET ").append(url).append(" HTTP/1.0").append(kCrLf);
      std::string host;
      std::string path;
      std::int32_t port = 80;
      // A URL that does not split only costs the Host line; the request still goes out.
      if (SplitUrl("http://", url.c_str(), &host, &port, &path) == kOk) {
        composed.append("Host: ").append(host).append(":").append(std::to_string(port));
        composed.append(kCrLf);
      }
    } else {
      std::string effective;
      if (target != nullptr) {
        effective = target;
        for (char& c : effective) {
          if (c == ' ') {
            c = '+';
          }
        }
      } else if (fields.localPath != nullptr) {
        effective = fields.localPath;
      } else {
        return kMissingArgument;
      }
      if (fields.host == nullptr) {
        return kMissingArgument;
      }
      composed.append("GET ").append(effective).append(" HTTP/1.0").append(kCrLf);
      // The port goes with the host unless it is the scheme's own, as browsers send it: servers
      // that check the line against the port they listen on refuse a bare host on any other port.
      composed.append("Host: ").append(fields.host);
      if (fields.port != fields.defaultPort)
        composed.append(":").append(std::to_string(fields.port));
      composed.append(kCrLf);
    }
    std::size_t credentialsLine = 0;
    if (fields.proxyAuthorization != nullptr) {
      composed.append(fields.proxyAuthorization);
      credentialsLine = std::strlen(fields.proxyAuthorization);
    } else if (fields.proxyUser != nullptr && fields.proxyPassword != nullptr) {
      std::string token;
      const Status encoded = BasicCredentials(fields.proxyUser, fields.proxyPassword, token);
      if (encoded != kOk) return encoded;
      const std::size_t before = composed.size();
      composed.append("Proxy-authorization: Basic ").append(token).append(kCrLf);
      credentialsLine = composed.size() - before;
    }
    if (offset > 0) {
      composed.append("Range: bytes=").append(std::to_string(offset)).append("-").append(kCrLf);
      if (fields.ifRange != nullptr && fields.ifRange[0] != '\0') {
        composed.append("If-Range: ").append(fields.ifRange).append(kCrLf);
      }
    }
    if (fields.keepAlive) composed.append("Connection: keep-alive").append(kCrLf);
    composed.append(kCrLf);
    if (composed.size() - credentialsLine + 1 > kRequestBytes) {
      return kRequestTooLong;
    }
    request.swap(composed);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

}  // namespace rz
