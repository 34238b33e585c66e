// getaddrinfo with AF_UNSPEC behind the address lookup seam. No AI_ADDRCONFIG: it would drop a
// name's IPv6 addresses on a host whose only IPv6 address is loopback, and an address of a family
// the host cannot reach costs one failed attempt, not a wait.
#include "platform/address_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace rz::platform {
namespace {

static_assert(sizeof(sockaddr_in6) <= sizeof(SocketAddress::bytes), "an IPv6 address must fit");

struct FreeAddrInfo {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

// The host as the resolver takes it: a bracketed literal loses its brackets.
std::string Unbracketed(const char* host) {
  const std::size_t length = std::strlen(host);
  if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
    return std::string(host + 1, length - 2);
  }
  return host;
}

void SetPort(SocketAddress& address, int port) {
  const auto network = htons(static_cast<std::uint16_t>(port & 0xFFFF));
  // sin_port and sin6_port sit at the same offset, right after the family.
  static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));
  std::memcpy(address.bytes.data() + offsetof(sockaddr_in, sin_port), &network, sizeof network);
}

}  // namespace

bool LookupAddresses(const char* host, int port, std::vector<SocketAddress>& out) {
  if (host == nullptr) return false;
  const std::string name = Unbracketed(host);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const std::unique_ptr<addrinfo, FreeAddrInfo> owned(found);
  out.clear();
  for (const addrinfo* entry = found; entry != nullptr && out.size() < kMaxAddresses;
       entry = entry->ai_next) {
    if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
        entry->ai_addr == nullptr || entry->ai_addrlen > sizeof(SocketAddress::bytes)) {
      continue;
    }
    SocketAddress address;
    std::memcpy(address.bytes.data(), entry->ai_addr, entry->ai_addrlen);
    address.length = static_cast<int>(entry->ai_addrlen);
    address.family = entry->ai_family;
    SetPort(address, port);
    out.push_back(address);
  }
  return !out.empty();
}

bool LookupDottedQuad(const char* host, int port, SocketAddress& out) {
  // getaddrinfo already takes numeric addresses; this is the last resort for a text it refused.
  // No reverse lookup: that could wait on a name server and adds nothing to the address.
  if (host == nullptr) return false;
  sockaddr_in in{};
  if (::inet_aton(host, &in.sin_addr) == 0) return false;
  in.sin_family = AF_INET;
  out = SocketAddress{};
  std::memcpy(out.bytes.data(), &in, sizeof in);
  out.length = sizeof in;
  out.family = AF_INET;
  SetPort(out, port);
  return true;
}

std::string AddressText(const SocketAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = nullptr;
  sockaddr_in in{};
  sockaddr_in6 in6{};
  if (address.family == AF_INET6) {
    std::memcpy(&in6, address.bytes.data(), sizeof in6);
    raw = &in6.sin6_addr;
  } else {
    std::memcpy(&in, address.bytes.data(), sizeof in);
    raw = &in.sin_addr;
  }
  return ::inet_ntop(address.family, raw, text, sizeof text) != nullptr ? text : "?";
}

}  // namespace rz::platform
