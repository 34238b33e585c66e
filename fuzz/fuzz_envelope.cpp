// The GetAd envelope for arbitrary identifiers (the input split at its first NUL).
// Every envelope built must fit its buffer, be well-formed XML (for identifiers that are valid
// XML text at all) and give the identifiers back unchanged.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/getad.h"

namespace {

// Text an XML document can hold as character data: strict UTF-8 of XML characters, without CR
// (it would come back as LF).
bool IsPlainXmlText(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::uint32_t c = lead;
    std::size_t extra = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      c = lead & 0x07u;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      c = lead & 0x0Fu;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      c = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      return false;
    }
    if (i + extra >= text.size() && extra > 0) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      c = (c << 6) | (next & 0x3Fu);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[extra] || c > 0x10FFFF) return false;
    const bool xmlChar = c == 0x9 || c == 0xA || (c >= 0x20 && c <= 0xD7FF) ||
                         (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
    if (!xmlChar) return false;
    i += extra + 1;
  }
  return true;
}

std::string ElementText(xmlNode* node, const char* name) {
  for (; node != nullptr; node = node->next) {
    if (node->type == XML_ELEMENT_NODE &&
        std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0) {
      xmlChar* content = xmlNodeGetContent(node);
      std::string text = content ? reinterpret_cast<const char*>(content) : "";
      xmlFree(content);
      return text;
    }
    const std::string inner = ElementText(node->children, name);
    if (inner != "\x01missing") return inner;
  }
  return "\x01missing";
}

void Fail(const char* what) {
  std::fprintf(stderr, "envelope: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string outside = input.substr(0, split);
  const std::string hardware = split == std::string::npos ? "" : input.substr(split + 1).c_str();
  const auto envelope = rz::BuildGetAdEnvelope(outside.c_str(), hardware.c_str());
  if (!envelope) return 0;
  if (envelope->size() + 1 > rz::kEnvelopeBufferBytes) Fail("does not fit its buffer");
  if (!IsPlainXmlText(outside) || !IsPlainXmlText(hardware)) return 0;
  xmlDoc* doc = xmlReadMemory(envelope->data(), static_cast<int>(envelope->size()), nullptr,
                              nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) Fail("not well-formed");
  xmlNode* root = xmlDocGetRootElement(doc);
  const std::string gotOutside = ElementText(root, "outsideCardID");
  const std::string gotHardware = ElementText(root, "hardwareCardID");
  xmlFreeDoc(doc);
  if (gotOutside != outside || gotHardware != hardware) Fail("identifiers do not come back");
  return 0;
}
