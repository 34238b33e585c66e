// A route as the route tables write it: "direct", "form h:p", "tunnel h:p" or "unusable <entry>"
// (the script's entry that could not be used; empty for a fixed setting).
#pragma once

#include <string>

#include "download/route.h"

namespace rztest {

inline std::string RouteText(const rz::Route& route) {
  switch (route.kind) {
    case rz::RouteKind::kDirect:
      return "direct";
    case rz::RouteKind::kProxyForm:
      return "form " + route.proxy.Name();
    case rz::RouteKind::kTunnel:
      return "tunnel " + route.proxy.Name();
    default:
      return "unusable " + route.unusable.entry;
  }
}

}  // namespace rztest
