// The part of the system proxy seam that is plain text: the entries of the Windows ProxyServer
// value, read alike on every build so that they are tested and fuzzed on Linux too.
#include "platform/system_proxy.h"

namespace rz::platform {
namespace {

// Whether an entry's name is `scheme` (lower case), in any ASCII case.
bool NamesScheme(std::string_view name, std::string_view scheme) {
  if (name.size() != scheme.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c =
        name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
    if (c != scheme[i]) return false;
  }
  return true;
}

// The "scheme=" entry of a per-scheme ProxyServer value; empty when there is none.
std::string_view EntryFor(std::string_view value, std::string_view scheme) {
  for (;;) {
    const std::size_t end = value.find(';');
    const std::string_view entry = value.substr(0, end);
    const std::size_t equals = entry.find('=');
    if (equals != std::string_view::npos && NamesScheme(entry.substr(0, equals), scheme)) {
      return entry.substr(equals + 1);
    }
    if (end == std::string_view::npos) return {};
    value.remove_prefix(end + 1);
  }
}

}  // namespace

std::string ProxyServerFor(std::string_view value, std::string_view scheme) {
  if (value.find('=') == std::string_view::npos) return std::string(value);
  const std::string_view own = EntryFor(value, scheme);
  if (!own.empty()) return std::string(own);
  const std::string_view socks = EntryFor(value, "socks");
  return socks.empty() ? std::string() : "socks://" + std::string(socks);
}

}  // namespace rz::platform
