// Ad list extraction on the libxml2 document layer, from arbitrary reply bytes. Success must
// leave entries of at most 259 bytes; failure must leave the list untouched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/reply_text.h"
#include "service/ad_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  rz::AdUrlList list = {"kept"};
  const std::int32_t result = rz::ParseAdList(rz::platform::ReplyFromUtf8(text), list);
  bool ok = (result == 0 || result == 1) && !list.empty() && list.front() == "kept";
  if (result == 1) ok = ok && list.size() == 1;
  for (const auto& entry : list) ok = ok && entry.size() <= rz::kMaxEntryBytes;
  if (!ok) {
    std::fprintf(stderr, "ParseAdList broke its contract (result %d, %zu entries)\n", result,
                 list.size());
    std::abort();
  }
  return 0;
}
