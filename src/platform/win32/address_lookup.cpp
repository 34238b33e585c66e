// The dotted-quad fallback of the address lookup on Windows: the address, confirmed by a reverse
// lookup as Winsock's gethostbyaddr gives it. The rest of the lookup is shared
// (platform/address_lookup.cpp).
#include "platform/address_lookup.h"

#include <winsock2.h>

namespace rz::platform {

bool LookupDottedQuad(const char* host, int port, SocketAddress& out) {
  if (host == nullptr) return false;
  const unsigned long parsed = ::inet_addr(host);
  const hostent* entry = ::gethostbyaddr(reinterpret_cast<const char*>(&parsed), 4, AF_INET);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length < 4 ||
      entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return false;
  }
  out = IPv4Address(entry->h_addr_list[0], port);
  return true;
}

}  // namespace rz::platform
