// The service's reply as the platform's HTTP exchange hands it over and its XML document takes it.
#pragma once

#include <string>
#include <string_view>

namespace rz::platform {

#ifdef _WIN32
// UTF-16, exactly as XMLHTTPRequest's responseText delivers it and loadXML takes it.
using ReplyText = std::wstring;
#else
// The body bytes as served; the XML parser detects their encoding from the declaration or BOM.
using ReplyText = std::string;
#endif

// Builds a reply from UTF-8 text; tests and tools use it to feed the document layer directly.
ReplyText ReplyFromUtf8(std::string_view utf8);

}  // namespace rz::platform
