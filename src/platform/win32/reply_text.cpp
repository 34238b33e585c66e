// Replies are UTF-16, as the request object delivers them and the document object takes them.
#include "platform/reply_text.h"
#include "platform/win32/com_util.h"

namespace rz::platform {

ReplyText ReplyFromUtf8(std::string_view utf8) { return win32::Widen(utf8, CP_UTF8); }

}  // namespace rz::platform
