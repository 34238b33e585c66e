// The request of one download: an HTTP/1.0 GET, direct or in proxy form, with optional proxy
// Basic credentials and a resume range; also the base64 and URL splitting it needs. Text only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/status_codes.h"

namespace rz {

// The fields of an HttpDownloader that a request is composed from.
struct RequestFields {
  const char* host = nullptr;
  const char* localPath = nullptr;
  std::int32_t port = 80;  // named in a direct-form Host line unless it is defaultPort
  const char* proxyTargetUrl = nullptr;
  const char* proxyUser = nullptr;
  const char* proxyPassword = nullptr;
  const char* ifRange = nullptr;  // the validator a resumed request names in If-Range
  std::int32_t defaultPort = 80;  // the scheme's own port: 443 for https
  bool keepAlive = false;         // asks the server to keep the connection (https only)
  // A proxy handshake's lines, in place of the Basic credentials; each ends in CRLF.
  const char* proxyAuthorization = nullptr;
};

// The most bytes a proxy's credentials may hold, user and password joined by ':'. Bearer tokens
// used as passwords run to several KiB.
inline constexpr std::size_t kMaxCredentialsBytes = 16 * 1024;

// Standard base64 of `bytes` as text: a Basic token, a handshake's token. Empty for no bytes and
// for more than 64 KiB of them.
std::string Base64Text(std::string_view bytes);

// The token of a proxy's Basic credentials, base64 of "user:password", for the proxy form's and
// the tunnel's request alike. kOk, or kCredentialsTooLong past kMaxCredentialsBytes.
Status BasicCredentials(std::string_view user, std::string_view password, std::string& token);

// The request text HttpDownloader::SendRequest sends for these fields, target and offset. kOk,
// kNoMemory, kMissingArgument, kCredentialsTooLong, or kRequestTooLong (the request would not fit
// 4096 bytes with its NUL, its Proxy-authorization line not counted); `request` changes on kOk
// only.
Status ComposeRequest(const RequestFields& fields, const char* target, std::int32_t offset,
                      std::string& request);

// Standard base64 of `length` bytes into `out`. The characters written, 0 for a length of 0 or
// less, or -1 when a group of four would leave fewer than four bytes of `capacity` free.
std::int32_t Base64Encode(const unsigned char* data, std::int32_t length, char* out,
                          std::int32_t capacity);

// Splits an absolute URL that begins with `prefix` into host, port and path.
// 0, kMissingArgument (a null argument) or kBadTarget (wrong prefix, shorter than 9 characters).
Status SplitUrl(const char* prefix, const char* url, std::string* hostOut, std::int32_t* portInOut,
                std::string* pathOut);

}  // namespace rz
