// The dotted-quad fallback of the address lookup on Linux. The rest of the lookup is shared
// (platform/address_lookup.cpp).
#include "platform/address_lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace rz::platform {

bool LookupDottedQuad(const char* host, int port, SocketAddress& out) {
  // getaddrinfo already takes numeric addresses; this is the last resort for a text it refused.
  // No reverse lookup: that could wait on a name server and adds nothing to the address.
  if (host == nullptr) return false;
  in_addr address{};
  if (::inet_aton(host, &address) == 0) return false;
  out = IPv4Address(&address, port);
  return true;
}

}  // namespace rz::platform
