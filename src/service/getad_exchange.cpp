// The GetAd exchange: one POST of the envelope with the three headers the service expects.
#include <array>
#include <utility>

#include "platform/http_exchange.h"
#include "service/getad.h"

namespace rz {

std::int32_t SendGetAdRequest(const std::string& serviceUrl, const std::string& envelope,
                              platform::ReplyText* reply) {
  // Set in this order; the length is the envelope's byte count as it stands now.
  const std::array<platform::RequestHeader, 3> headers = {{
      {"Content-Type", "text/xml;charset=utf-8"},
      {"SOAPAction", kSoapAction},
      {"Content-Length", std::to_string(envelope.size())},
  }};
  platform::ReplyText received;
  if (!platform::PostForReply("POST", serviceUrl, headers, envelope, received)) return 0;
  // The HTTP status is not looked at: a fault or an error page is still a reply, and the ad
  // list extraction decides what it holds.
  if (reply != nullptr) *reply = std::move(received);
  return 1;
}

}  // namespace rz
