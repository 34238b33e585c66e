// The HTTP exchange with the ad web service: XMLHTTPRequest on Windows, libcurl elsewhere.
#pragma once

#include <array>
#include <string>

#include "platform/reply_text.h"

namespace rz::platform {

struct RequestHeader {
  const char* name;
  std::string value;
};

// Posts `body` to `url` with `method`, setting the three headers in the given order, and waits
// for the whole response. A "Content-Length" header goes out with the length of the body as it
// is actually transmitted (the platform's client may re-encode the 8-bit text). Returns true and
// stores the response body in `reply` whatever the HTTP status; returns false (reply untouched)
// when the exchange itself failed: unusable URL, name not resolved, connection refused, transfer
// broken off or stalled.
bool PostForReply(const char* method, const std::string& url,
                  const std::array<RequestHeader, 3>& headers, const std::string& body,
                  ReplyText& reply);

}  // namespace rz::platform
