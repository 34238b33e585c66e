#include "download/wire_url.h"

#include <algorithm>
#include <utility>

#include "download/ascii_text.h"
#include "platform/url_crack.h"

namespace rz {
namespace {

void SpacesAsPlus(std::string& text) {
  for (char& c : text) {
    if (c == ' ') c = '+';
  }
}

}  // namespace

Status TakeApart(const std::string& url, WireUrl& out) {
  if (ControlCharacterAt(url) != std::string_view::npos) return kUnsafeUrl;
  // Servers answer a target with a fragment 400 or 404. Cut before the cracker sees it, it is
  // in no part of any request, the proxy's URL included.
  const std::string bare = url.substr(0, url.find('#'));
  platform::CrackedUrl parts;
  if (!platform::CrackUrl(bare, parts) || parts.host.empty()) return kBadTarget;
  // The user-info cut from the proxy's URL must be exactly what the cracker left out of the
  // host, or the proxy could be asked for another host than the Host line names.
  // A second '@' (an unencoded one in the password) is read by crackers in different ways.
  const TextSpan userInfo = UserInfoOf(bare);
  if (parts.hostOffset != userInfo.end) return kBadTarget;
  if (userInfo.end > userInfo.begin && bare.find('@', userInfo.begin) + 1 != userInfo.end) {
    return kBadTarget;
  }

  WireUrl wire;
  wire.host = parts.host;
  // An IPv6 literal is written in brackets, and a cracker that reports it without them gets them
  // back here.
  if (wire.host.find(':') != std::string::npos && wire.host[0] != '[') {
    wire.host = "[" + wire.host + "]";
  }
  wire.tls = SchemeOf(bare) == "https";
  wire.port = wire.tls && parts.port == 0 ? 443 : parts.port;
  // The path with any query after it. Servers must take the whole URL as well, yet several in
  // common use refuse it or look for it as a path.
  wire.target = bare.substr(parts.pathOffset);
  if (wire.target.empty() || wire.target[0] != '/') wire.target.insert(0, "/");
  // The proxy's URL has its spaces made '+' as the direct form has them in the path, and its
  // scheme in lower case, whatever case the entry or Location wrote it in.
  wire.absolute = bare;
  wire.absolute.erase(userInfo.begin, userInfo.end - userInfo.begin);
  SpacesAsPlus(wire.absolute);
  SchemeInLowerCase(wire.absolute);
  wire.hostOffset = parts.hostOffset;
  out = std::move(wire);
  return kOk;
}

}  // namespace rz
