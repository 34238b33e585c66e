// Address lookup for the download engine: a host name, a numeric IPv4 or IPv6 address, or a
// bracketed IPv6 literal as a URL writes it, to the addresses a connection tries, IPv6 and IPv4,
// in the resolver's order. getaddrinfo with AF_UNSPEC on both platforms.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace rz::platform {

// One IPv4 or IPv6 socket address with its port, held by value in a bounded buffer.
struct SocketAddress {
  std::array<unsigned char, 28> bytes{};  // a sockaddr_in or sockaddr_in6
  int length = 0;                         // the bytes in use
  int family = 0;                         // the platform's AF_INET or AF_INET6
};

// More addresses than this are not tried; a name with that many is rare and each attempt holds a
// socket until the connection is made.
inline constexpr std::size_t kMaxAddresses = 16;

// The addresses of `host`, each with the low 16 bits of `port`, in the order the resolver gives
// them (at most kMaxAddresses). "[::1]" is looked up as "::1". False when nothing was found.
bool LookupAddresses(const char* host, int port, std::vector<SocketAddress>& out);

// The fallback for a dotted quad the name lookup refused: its address, confirmed by a reverse
// lookup where the platform requires one. The one part that differs between the platforms.
bool LookupDottedQuad(const char* host, int port, SocketAddress& out);

// The IPv4 address of the 4 bytes at `raw` (network byte order) with `port`.
SocketAddress IPv4Address(const void* raw, int port);

// The numeric text of an address without its port ("127.0.0.1", "::1"), for debug lines.
std::string AddressText(const SocketAddress& address);

}  // namespace rz::platform
