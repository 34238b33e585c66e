// Replies are kept as the bytes the service sent; UTF-8 text is such bytes already.
#include "platform/reply_text.h"

namespace rz::platform {

ReplyText ReplyFromUtf8(std::string_view utf8) { return ReplyText(utf8.begin(), utf8.end()); }

}  // namespace rz::platform
