// The part of the address lookup seam that is the same on both platforms: getaddrinfo with
// AF_UNSPEC and getnameinfo exist in ws2_32 as in libc. No AI_ADDRCONFIG: it would drop a name's
// IPv6 addresses on a host whose only IPv6 address is loopback, and an address of a family the
// host cannot reach costs one failed attempt, not a wait. On Windows the caller (MySocket::Open)
// has started the socket library before any lookup.
#include "platform/address_lookup.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstddef>
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
  const std::uint16_t network = htons(static_cast<std::uint16_t>(port & 0xFFFF));
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

SocketAddress IPv4Address(const void* raw, int port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  std::memcpy(&in.sin_addr, raw, 4);
  SocketAddress out;
  std::memcpy(out.bytes.data(), &in, sizeof in);
  out.length = sizeof in;
  out.family = AF_INET;
  SetPort(out, port);
  return out;
}

std::string AddressText(const SocketAddress& address) {
  char text[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(address.bytes.data()),
                    static_cast<socklen_t>(address.length), text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
    return "?";
  }
  return text;
}

}  // namespace rz::platform
