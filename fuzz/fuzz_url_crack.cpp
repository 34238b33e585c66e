// The Linux URL cracker. On success the host must be the non-empty text at hostOffset, free of
// the characters that end or split an authority (a colon only inside an IPv6 literal's
// brackets), and the path must start after it, within the URL, with nothing but a port between,
// as the download pass relies on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/url_crack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  rz::platform::CrackedUrl parts;
  if (!rz::platform::CrackUrl(url, parts)) return 0;
  const bool ok = !parts.host.empty() && parts.hostOffset < url.size() &&
                  url.compare(parts.hostOffset, parts.host.size(), parts.host) == 0 &&
                  parts.host.find_first_of("/?#@") == std::string::npos &&
                  (parts.host.find(':') == std::string::npos ||
                   (parts.host.front() == '[' && parts.host.back() == ']')) &&
                  url.find("://") != std::string::npos && parts.hostOffset >= url.find("://") + 3 &&
                  parts.pathOffset >= parts.hostOffset + parts.host.size() &&
                  parts.pathOffset <= url.size() &&
                  url.find_first_of("/?#", parts.hostOffset) >= parts.pathOffset;
  if (!ok) {
    std::fprintf(stderr, "cracked URL breaks its contract: host '%s' at %zu, path at %zu\n",
                 parts.host.c_str(), parts.hostOffset, parts.pathOffset);
    std::abort();
  }
  return 0;
}
