// Splits an absolute URL into its host and port: InternetCrackUrlW on Windows, our own cracker
// with the same contract elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rz::platform {

struct CrackedUrl {
  std::string host;            // the host name component, without port
  std::uint16_t port = 0;      // the explicit port, or the scheme's default (80 for http)
  std::size_t hostOffset = 0;  // index in the URL where the host name starts
  std::size_t pathOffset = 0;  // index where the path, and any query after it, begins; the
                               // URL's length when there is neither
};

// False for a URL that cannot be split (no scheme, no host, bad port).
bool CrackUrl(const std::string& url, CrackedUrl& out);

}  // namespace rz::platform
