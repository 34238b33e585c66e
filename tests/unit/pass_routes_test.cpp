// The routes of one download pass: a setup script's answers first, kept per origin, the fixed
// settings where the script fails, and what the pass is told then.
#include "download/pass_routes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/route_text.h"

namespace rz {
namespace {

using rztest::RouteText;

// A pass's routes over a stand-in script that counts its questions.
struct ScriptPass {
  explicit ScriptPass(platform::ScriptReply::Kind kind, const char* text, bool keep = true) {
    fixed.forHttp = "127.0.0.1:3128";
    fixed.httpSource = "Internet Settings ProxyServer";
    fixed.bypass = "<local>";
    fixed.bypassSource = "Internet Settings ProxyOverride";
    fixed.overrideList = true;
    automatic.scriptUrl = "http://user:pw@pac.test/p.pac";
    automatic.keepAnswers = keep;
    reply.kind = kind;
    reply.text = text;
    reply.source = "setup script " + automatic.scriptUrl;
    routes = std::make_unique<PassRoutes>(
        fixed, automatic,
        [this](const std::string& url, const std::string& host) {
          ++asked;
          questions += (questions.empty() ? "" : "|") + url;
          platform::ScriptReply answer = reply;
          if (host == "lan") answer.text = "DIRECT";
          return answer;
        },
        [this](const ScriptNotice& notice) { notices.push_back(notice); });
  }
  // The routes of `url` as RouteText writes them.
  std::string For(const std::string& url) {
    WireUrl wire;
    EXPECT_EQ(TakeApart(url, wire), kOk);
    std::string got;
    for (const Route& route : routes->For(wire)) {
      got += (got.empty() ? "" : "|") + RouteText(route);
    }
    return got;
  }
  platform::SystemProxySettings fixed;
  platform::AutoProxySettings automatic;
  platform::ScriptReply reply;
  int asked = 0;
  std::string questions;  // the URLs the script was asked for
  std::vector<ScriptNotice> notices;
  std::unique_ptr<PassRoutes> routes;
};

TEST(PassRoutes, ScriptFirstOneQuestionPerHostAndUnreachableProxiesLast) {
  ScriptPass pass(platform::ScriptReply::Kind::kAnswer, "PROXY a.test:1; PROXY b.test:2; DIRECT");
  EXPECT_EQ(pass.For("http://ads.test/a.bin"), "form a.test:1|form b.test:2|direct");
  EXPECT_EQ(pass.For("http://ADS.test/b.bin"), "form a.test:1|form b.test:2|direct");
  // The fixed proxy's exceptions do not apply to a script's answer. The script is asked what its
  // answer is kept under, whatever the entry's spelling.
  EXPECT_EQ(pass.For("http://LAN:80/c.bin"), "direct");
  EXPECT_EQ(pass.For("https://ads.test:8443/d.bin?q#f"), "tunnel a.test:1|tunnel b.test:2|direct");
  EXPECT_EQ(pass.asked, 3);
  EXPECT_EQ(pass.questions, "http://ads.test/|http://lan/|https://ads.test:8443/");
  EXPECT_TRUE(pass.notices.empty());
  ProxyServer dead;
  ASSERT_EQ(ParseProxyServer("a.test:1", 80, dead).fault, ProxyFault::kOk);
  pass.routes->Unreachable(dead);
  EXPECT_EQ(pass.For("http://ads.test/e.bin"), "form b.test:2|direct|form a.test:1");

  ScriptPass afresh(platform::ScriptReply::Kind::kAnswer, "DIRECT", false);
  afresh.For("http://ads.test/a.bin");
  afresh.For("http://u:p@ADS.test/B.bin?q");
  EXPECT_EQ(afresh.asked, 2);
  EXPECT_EQ(afresh.questions, "http://ads.test/a.bin|http://ads.test/B.bin?q");
}

TEST(PassRoutes, WithoutAScriptTheFixedSettingsServeAndTheLineIsSaidOnce) {
  ScriptPass pass(platform::ScriptReply::Kind::kNoScript,
                  "setup script http://user:pw@pac.test/p.pac cannot be had: the server answered "
                  "404");
  EXPECT_EQ(pass.For("http://ads.test/a.bin"), "form 127.0.0.1:3128");
  EXPECT_EQ(pass.For("http://lan/b.bin"), "direct");
  ASSERT_EQ(pass.notices.size(), 1u);
  EXPECT_EQ(pass.notices[0].kind, ScriptNotice::Kind::kNoScript);
  EXPECT_EQ(pass.notices[0].why,
            "setup script http://pac.test/p.pac cannot be had: the server answered 404");

  ScriptPass failing(platform::ScriptReply::Kind::kNoAnswer, "the script failed");
  EXPECT_EQ(failing.For("http://ads.test/a.bin"), "form 127.0.0.1:3128");
  EXPECT_EQ(failing.For("http://other.test/a.bin"), "form 127.0.0.1:3128");
  ASSERT_EQ(failing.notices.size(), 1u);
  EXPECT_EQ(failing.notices[0].kind, ScriptNotice::Kind::kNoAnswer);
  EXPECT_EQ(failing.notices[0].script, "setup script http://pac.test/p.pac");
  EXPECT_EQ(failing.notices[0].url, "http://ads.test/a.bin");
  EXPECT_EQ(failing.notices[0].why, "the script failed");
}

}  // namespace
}  // namespace rz
