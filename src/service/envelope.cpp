// The GetAd request body: thirteen pieces, no white space between them.
#include <array>
#include <cstring>
#include <string_view>

#include "service/getad.h"

namespace rz {
namespace {

constexpr std::string_view kHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:xsi=\"";
constexpr std::string_view kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";
constexpr std::string_view kXsdAttribute = "\" xmlns:xsd=\"";
constexpr std::string_view kXsdNamespace = "http://www.w3.org/2001/XMLSchema";
constexpr std::string_view kSoapAttribute = "\" xmlns:soap=\"";
constexpr std::string_view kSoapNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr std::string_view kBodyOpen = "\"><soap:Body><GetAd xmlns=\"";
constexpr std::string_view kOutsideOpen = "\"><outsideCardID>";
constexpr std::string_view kHardwareOpen = "</outsideCardID><hardwareCardID>";
constexpr std::string_view kTail = "</hardwareCardID></GetAd></soap:Body></soap:Envelope>";

// The bytes an identifier takes once '&', '<' and '>' are written as entity references.
std::size_t EscapedLength(std::string_view text) {
  std::size_t length = 0;
  for (const char c : text) {
    switch (c) {
      case '&':
        length += 5;  // &amp;
        break;
      case '<':
      case '>':
        length += 4;  // &lt; &gt;
        break;
      default:
        length += 1;
    }
  }
  return length;
}

// An identifier is text content: the three characters that could end it or open markup become
// entity references, so any identifier gives a well-formed request.
void AppendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

std::optional<std::string> BuildGetAdEnvelope(const char* outsideCardId,
                                              const char* hardwareCardId) {
  const std::string_view outside = outsideCardId ? outsideCardId : "";
  const std::string_view hardware = hardwareCardId ? hardwareCardId : "";
  const std::string_view serviceNamespace = kServiceNamespace;

  const std::array<std::string_view, 10> fixed = {
      kHead,          kXsiNamespace, kXsdAttribute, kXsdNamespace, kSoapAttribute,
      kSoapNamespace, kBodyOpen,     kOutsideOpen,  kHardwareOpen, kTail};
  std::size_t length = serviceNamespace.size();
  for (const auto piece : fixed) length += piece.size();
  // Each escaped identifier is at most five times its input; compare before adding so that no
  // sum can wrap.
  const std::size_t limit = kEnvelopeBufferBytes - 1;
  const std::size_t outsideLength = EscapedLength(outside);
  const std::size_t hardwareLength = EscapedLength(hardware);
  if (outsideLength > limit || hardwareLength > limit || length > limit - outsideLength ||
      length + outsideLength > limit - hardwareLength) {
    // A cut-off envelope would be malformed or name another card; it is never sent.
    return std::nullopt;
  }
  length += outsideLength + hardwareLength;

  std::string envelope;
  envelope.reserve(length);
  envelope.append(kHead)
      .append(kXsiNamespace)
      .append(kXsdAttribute)
      .append(kXsdNamespace)
      .append(kSoapAttribute)
      .append(kSoapNamespace)
      .append(kBodyOpen)
      .append(serviceNamespace)
      .append(kOutsideOpen);
  AppendEscaped(envelope, outside);
  envelope.append(kHardwareOpen);
  AppendEscaped(envelope, hardware);
  envelope.append(kTail);
  return envelope;
}

}  // namespace rz
