// The words of the route lines, to the letter: what the settings make of downloads, why a route
// goes nowhere, and what a pass is told when its setup script fails.
#include "entry/diagnostics.h"

#include <gtest/gtest.h>

#include <string>

#include "download/pac_answer.h"

namespace rz {
namespace {

TEST(Diagnostics, RouteWords) {
  platform::SystemProxySettings fixed;
  EXPECT_EQ(diag::DescribeRoutes(fixed), "direct (no proxy set)");
  fixed.forHttp = "http://u:p@proxy.test:3128";
  fixed.httpSource = "http_proxy";
  fixed.bypass = "files.test";
  fixed.bypassSource = "no_proxy";
  EXPECT_EQ(diag::DescribeRoutes(fixed),
            "http through proxy proxy.test:3128 with credentials (http_proxy); direct for "
            "files.test (no_proxy)");
  platform::AutoProxySettings automatic;
  automatic.scriptUrl = "http://user:pw@pac.test/p.pac";
  EXPECT_EQ(diag::DescribeRoutes(fixed, automatic),
            "as setup script http://pac.test/p.pac answers, else http through proxy "
            "proxy.test:3128 with credentials (http_proxy); direct for files.test (no_proxy)");

  const Route socks = RoutesFromAnswer("SOCKS 127.0.0.1:1080", false, "setup script h")[0];
  EXPECT_EQ(diag::DescribeUnusable(socks.unusable),
            "setup script h answered \"SOCKS 127.0.0.1:1080\", which downloads cannot use (a "
            "socks proxy)");

  ScriptNotice notice;
  notice.why = "setup script http://pac.test/p.pac cannot be had: the server answered 404";
  EXPECT_EQ(diag::DescribeScriptNotice(notice, fixed),
            "setup script http://pac.test/p.pac cannot be had: the server answered 404; downloads "
            "go http through proxy proxy.test:3128 with credentials (http_proxy); direct for "
            "files.test (no_proxy)");
  notice = {ScriptNotice::Kind::kNoAnswer, "the script failed",
            "setup script http://pac.test/p.pac", "http://ads.test/a.bin"};
  EXPECT_EQ(diag::DescribeScriptNotice(notice, fixed),
            "setup script http://pac.test/p.pac gave no answer for http://ads.test/a.bin (the "
            "script failed); such URLs go http through proxy proxy.test:3128 with credentials "
            "(http_proxy); direct for files.test (no_proxy)");
}

}  // namespace
}  // namespace rz
