// Placeholder until the real exchange and document files land.
#include "platform/http_exchange.h"
#include "platform/platform_init.h"
#include "platform/reply_text.h"
#include "platform/xml_document.h"

namespace rz::platform {
void InitThreadForPlatformObjects() {}
ReplyText ReplyFromUtf8(std::string_view utf8) { return ReplyText(utf8.begin(), utf8.end()); }
bool PostForReply(const char*, const std::string&, const std::array<RequestHeader, 3>&,
                  const std::string&, ReplyText&) { return false; }
struct XmlDocument::Impl {};
XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;
bool XmlDocument::Create() { return false; }
bool XmlDocument::Load(const ReplyText&) { return false; }
bool XmlDocument::ForEachAdListChild(const std::function<bool(const AdListChild&)>&) { return false; }
bool XmlDocument::Save(const std::string&) { return false; }
}  // namespace rz::platform
