// The GetAd SOAP exchange: the request envelope and the posting of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/reply_text.h"

namespace rz {

// The service namespace, and the SOAPAction value formed from it; the two must agree.
inline constexpr char kServiceNamespace[] = "http://tempuri.org/";
inline constexpr char kSoapAction[] = "http://tempuri.org/GetAd";

// The envelope, its terminator included, must fit this buffer.
inline constexpr std::size_t kEnvelopeBufferBytes = 67600;

// The GetAd request body for the two identifiers (null counts as empty), with '&', '<' and '>'
// written as entity references. Empty optional when the envelope would not fit 67,599 bytes.
std::optional<std::string> BuildGetAdEnvelope(const char* outsideCardId,
                                              const char* hardwareCardId);

// Posts the envelope to the service. 1 when a reply was obtained (stored in `reply` when it is
// non-null), whatever its HTTP status; 0 when the exchange failed.
std::int32_t SendGetAdRequest(const std::string& serviceUrl, const std::string& envelope,
                              platform::ReplyText* reply);

}  // namespace rz
