// A setup script's answer read into routes: the keywords, the addresses, and why an entry cannot
// be used.
#include "download/pac_answer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/route_text.h"

namespace rz {
namespace {

using rztest::RouteText;

TEST(RoutesFromAnswer, Table) {
  const char* const kSource = "setup script http://h/p.pac";
  const auto kNone = EntryFault::kNone;
  const auto kOk = ProxyFault::kOk;
  const struct {
    const char* answer;
    bool secure;
    const char* routes;  // each route: "direct", "form h:p", "tunnel h:p" or "unusable <entry>"
    EntryFault fault;    // of the unusable routes
    ProxyFault proxy;    // of the unusable routes
  } rows[] = {
      {"PROXY a.test:3128; PROXY b.test:3129; DIRECT", false,
       "form a.test:3128|form b.test:3129|direct", kNone, kOk},
      {" proxy [::1]:3128 ;; http a.test ", true, "tunnel [::1]:3128|tunnel a.test:80", kNone, kOk},
      {"", false, "direct", kNone, kOk},
      {"SOCKS 127.0.0.1:1080; DIRECT", false, "unusable SOCKS 127.0.0.1:1080|direct",
       EntryFault::kSocks, kOk},
      {"SOCKS5 s:1", false, "unusable SOCKS5 s:1", EntryFault::kSocks, kOk},
      {"HTTPS s:443", false, "unusable HTTPS s:443", EntryFault::kTlsProxy, kOk},
      {"PROXY u:p@a.test:1", false, "unusable PROXY u:p@a.test:1", EntryFault::kNotHostAndPort,
       kOk},
      {"PROXY a.test b.test:1", false, "unusable PROXY a.test b.test:1",
       EntryFault::kNotHostAndPort, kOk},
      {"PROXY a.test:70000", false, "unusable PROXY a.test:70000", EntryFault::kProxyAddress,
       ProxyFault::kBadPort},
      {"PROXY", false, "unusable PROXY", EntryFault::kProxyAddress, ProxyFault::kEmpty},
      {"DIRECT now", false, "unusable DIRECT now", EntryFault::kTextAfterDirect, kOk},
      {"FOO a\r\nb", false, "unusable FOO a%0D%0Ab", EntryFault::kUnknownKeyword, kOk},
      {"DIRECT;DIRECT;DIRECT;DIRECT;DIRECT;DIRECT;DIRECT;DIRECT;PROXY a:1", false,
       "direct|direct|direct|direct|direct|direct|direct|direct", kNone, kOk},
  };
  for (const auto& row : rows) {
    std::string got;
    for (const Route& route : RoutesFromAnswer(row.answer, row.secure, kSource)) {
      got += (got.empty() ? "" : "|") + RouteText(route);
      if (route.kind != RouteKind::kUnusable) continue;
      EXPECT_EQ(route.unusable.source, kSource) << row.answer;
      EXPECT_EQ(route.unusable.entryFault, row.fault) << row.answer;
      EXPECT_EQ(route.unusable.proxy.fault, row.proxy) << row.answer;
    }
    EXPECT_EQ(got, row.routes) << row.answer;
  }
}

}  // namespace
}  // namespace rz
