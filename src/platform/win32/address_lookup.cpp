// getaddrinfo with AF_UNSPEC (ws2_32) behind the address lookup seam; the socket library is
// started by the caller (MySocket::Open) before any lookup.
#include "platform/address_lookup.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <cstring>
#include <memory>

namespace rz::platform {
namespace {

static_assert(sizeof(sockaddr_in6) <= sizeof(SocketAddress::bytes), "an IPv6 address must fit");

struct FreeAddrInfo {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

std::string Unbracketed(const char* host) {
  const std::size_t length = std::strlen(host);
  if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
    return std::string(host + 1, length - 2);
  }
  return host;
}

void SetPort(SocketAddress& address, int port) {
  const u_short network = ::htons(static_cast<u_short>(port & 0xFFFF));
  static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));
  std::memcpy(address.bytes.data() + offsetof(sockaddr_in, sin_port), &network, sizeof network);
}

SocketAddress FromIPv4(const void* raw, int port) {
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
  if (host == nullptr) return false;
  const unsigned long parsed = ::inet_addr(host);
  const hostent* entry = ::gethostbyaddr(reinterpret_cast<const char*>(&parsed), 4, AF_INET);
  if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length < 4 ||
      entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return false;
  }
  out = FromIPv4(entry->h_addr_list[0], port);
  return true;
}

std::string AddressText(const SocketAddress& address) {
  char text[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(address.bytes.data()), address.length, text,
                    sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
    return "?";
  }
  return text;
}

}  // namespace rz::platform
