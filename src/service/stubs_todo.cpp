// Placeholder implementations, replaced by the real service files.
#include "service/ad_list.h"
#include "service/getad.h"

namespace rz {
std::optional<std::string> BuildGetAdEnvelope(const char*, const char*) { return std::nullopt; }
std::int32_t SendGetAdRequest(const std::string&, const std::string&, platform::ReplyText*) {
  return 0;
}
std::int32_t ParseAdList(const platform::ReplyText&, AdUrlList&) { return 1; }
}  // namespace rz
