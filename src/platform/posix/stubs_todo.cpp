// Placeholder implementations; each helper replaces the ones of its area with real files.
#include <string>
#include "platform/debug_output.h"
#include "platform/file_system.h"
#include "platform/http_exchange.h"
#include "platform/module_path.h"
#include "platform/platform_init.h"
#include "platform/reply_text.h"
#include "platform/socket.h"
#include "platform/url_crack.h"
#include "platform/xml_document.h"

namespace rz::platform {
void InitThreadForPlatformObjects() {}
ReplyText ReplyFromUtf8(std::string_view utf8) { return ReplyText(utf8); }
bool PostForReply(const char*, const std::string&, const std::array<RequestHeader, 3>&,
                  const std::string&, ReplyText&) { return false; }
struct XmlDocument::Impl {};
XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;
bool XmlDocument::Create() { return false; }
bool XmlDocument::Load(const ReplyText&) { return false; }
bool XmlDocument::ForEachAdListChild(const std::function<bool(const AdListChild&)>&) { return false; }
bool XmlDocument::Save(const std::string&) { return false; }
std::string ExecutablePath() { return {}; }
const char kPathSeparator = '/';
PathState ProbePath(const char*) { return PathState::kAbsent; }
bool ReplaceFile(const char*, const char*) { return false; }
bool RemoveFile(const char*) { return false; }
bool CrackUrl(const std::string&, CrackedUrl&) { return false; }
void DebugOutput(std::string_view) {}
std::string_view UnknownLengthProgressText() { return {}; }
}  // namespace rz::platform
