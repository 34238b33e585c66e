// Extraction of the ad file URLs from the service's reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/reply_text.h"
#include "platform/xml_document.h"

namespace rz {

// Ad file URLs in document order, each at most kMaxEntryBytes bytes of 8-bit text.
using AdUrlList = std::vector<std::string>;
inline constexpr std::size_t kMaxEntryBytes = 259;

// Loads the reply and appends the "Flash" value of every element child of the first
// WebResponse/AdList. 0 on success, 1 on failure (not XML, no ad list, a value too long).
std::int32_t ParseAdList(const platform::ReplyText& reply, AdUrlList& list);

// Walks the loaded document's ad list into `list`. 1 when the list element was found and walked,
// 0 when there is none or a value does not fit.
std::int32_t CollectAdUrls(platform::XmlDocument& document, AdUrlList& list);

}  // namespace rz
