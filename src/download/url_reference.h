// Resolving a redirect's Location against the URL that answered it (RFC 3986, section 5.2), and
// the schemes a fetch may follow. Text only, no I/O.
#pragma once

#include <string>
#include <string_view>

#include "download/status_codes.h"
#include "download/url_text.h"

namespace rz {

// The target of `reference` resolved against the absolute URL `base`, dot segments removed and
// any fragment dropped (it never goes into a request). Empty when `base` has no scheme.
std::string ResolveReference(std::string_view base, std::string_view reference);

// Whether a fetch at `from` may follow a redirect to `to`: both http or https, and never from
// https down to plain http.
bool MayRedirect(std::string_view from, std::string_view to);

// One redirect hop from `from` to a Location: `next` receives what it resolves to (empty when it
// does not), its bytes from 0x80 up percent-encoded first, as curl follows such a Location. kOk;
// kUnsafeUrl when the Location as sent holds a control character (in a fragment too, which
// resolving drops); kRedirectRefused when it resolves to nothing MayRedirect allows.
Status FollowRedirect(std::string_view from, std::string_view location, std::string& next);

}  // namespace rz
