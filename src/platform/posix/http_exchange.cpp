// The exchange with the ad web service through libcurl.
#include <curl/curl.h>
#include <strings.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/http_exchange.h"
#include "platform/last_error.h"

namespace rz::platform {
namespace {

// A service that cannot be reached within this time counts as unreachable.
constexpr long kConnectTimeoutSeconds = 30;
// A transfer that moves less than kLowSpeedBytes per second for kLowSpeedSeconds in a row is
// broken off: a stalled service must not hold the host's thread forever, while a slow one that
// still sends something is waited for.
constexpr long kLowSpeedBytes = 1;
constexpr long kLowSpeedSeconds = 60;
// Redirects followed before giving up, as a browser's request object would.
constexpr long kMaxRedirects = 10;
// A reply is a short list; a body beyond this is not a reply but a fault of the service.
constexpr std::size_t kMaxReplyBytes = 64u * 1024u * 1024u;

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// curl_global_init is not thread-safe; the host may call us from several threads.
bool GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

bool Append(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  static_cast<void>(list.release());  // now owned through `grown`
  list.reset(grown);
  return true;
}

std::size_t CollectBody(char* data, std::size_t size, std::size_t count, void* userData) {
  auto& body = *static_cast<std::string*>(userData);
  const std::size_t bytes = size * count;
  if (bytes > kMaxReplyBytes - body.size()) return 0;  // ends the transfer with an error
  body.append(data, bytes);
  return bytes;
}

template <typename Value>
bool Set(CURL* handle, CURLoption option, Value value) {
  return curl_easy_setopt(handle, option, value) == CURLE_OK;
}

// curl's words for the failure, and the system's reason under it when there is one.
void NoteTransferError(CURL* handle, CURLcode code) {
  std::string text = std::string("curl: ") + curl_easy_strerror(code);
  long osError = 0;
  if (curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osError) == CURLE_OK && osError != 0) {
    text += " (" + SocketErrorText(static_cast<int>(osError)) + ")";
  }
  NoteErrorText(text);
}

}  // namespace

bool PostForReply(const char* method, const std::string& url,
                  const std::array<RequestHeader, 3>& headers, const std::string& body,
                  ReplyText& reply) {
  if (!GlobalInit()) return false;
  CurlHandle curl(curl_easy_init());
  if (!curl) return false;
  CURL* const handle = curl.get();

  HeaderList headerList;
  for (const auto& header : headers) {
    // curl writes the length itself, after the other headers and from the body it actually
    // sends; a fixed one would stay on a redirect that turns the request into a bodiless GET.
    if (strcasecmp(header.name, "Content-Length") == 0) {
      if (header.value != std::to_string(body.size())) return false;
      continue;
    }
    if (!Append(headerList, std::string(header.name) + ": " + header.value)) return false;
  }
  // curl would otherwise hold back a larger body for a "100 Continue" the service never sends.
  if (!Append(headerList, "Expect:")) return false;

  std::string received;
  const bool configured =
      Set(handle, CURLOPT_URL, url.c_str()) && Set(handle, CURLOPT_NOSIGNAL, 1L) &&
      Set(handle, CURLOPT_PROTOCOLS_STR, "http,https") &&
      Set(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") &&
      Set(handle, CURLOPT_FOLLOWLOCATION, 1L) && Set(handle, CURLOPT_MAXREDIRS, kMaxRedirects) &&
      Set(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) &&
      Set(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes) &&
      Set(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds) && Set(handle, CURLOPT_POST, 1L) &&
      Set(handle, CURLOPT_POSTFIELDS, body.data()) &&
      Set(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())) &&
      // Only another method needs naming: a custom "POST" would be kept on a redirect that
      // turns the request into a GET.
      Set(handle, CURLOPT_CUSTOMREQUEST, std::strcmp(method, "POST") == 0 ? nullptr : method) &&
      Set(handle, CURLOPT_HTTPHEADER, headerList.get()) &&
      Set(handle, CURLOPT_WRITEFUNCTION, &CollectBody) &&
      Set(handle, CURLOPT_WRITEDATA, static_cast<void*>(&received));
  if (!configured) return false;

  // Any status counts: a fault or an error page is still the service's reply.
  if (const CURLcode performed = curl_easy_perform(handle); performed != CURLE_OK) {
    NoteTransferError(handle, performed);
    return false;
  }
  reply = std::move(received);
  return true;
}

}  // namespace rz::platform
