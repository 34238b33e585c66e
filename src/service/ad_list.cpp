// The ad file URLs of the service's reply: the "Flash" value of each child of the ad list.
#include <utility>

#include "service/ad_list.h"

namespace rz {

std::int32_t ParseAdList(const platform::ReplyText& reply, AdUrlList& list) {
  platform::XmlDocument document;
  if (!document.Create()) return 1;
  if (!document.Load(reply)) return 1;
  return CollectAdUrls(document, list) == 1 ? 0 : 1;
}

std::int32_t CollectAdUrls(platform::XmlDocument& document, AdUrlList& list) {
  // Collected aside and appended only when the whole list is good, so a failed walk leaves the
  // caller's list as it was.
  AdUrlList found;
  bool tooLong = false;
  const bool listed = document.ForEachAdListChild([&](const platform::AdListChild& child) {
    // Text, comments and other non-elements carry no URL, nor does an element without "Flash".
    if (!child.isElement || !child.hasFlash) return true;
    // A cut URL would fetch the wrong file, and a skipped one would leave the saved list naming
    // a file that is not cached: a value that does not fit an entry fails the whole list.
    if (child.flash.size() > kMaxEntryBytes) {
      tooLong = true;
      return false;
    }
    found.push_back(child.flash);
    return true;
  });
  if (!listed || tooLong) return 0;
  for (auto& url : found) list.push_back(std::move(url));
  return 1;
}

}  // namespace rz
