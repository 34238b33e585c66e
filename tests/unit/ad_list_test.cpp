// The ad list out of a reply: which element is the list, which children give URLs, and what a
// hostile reply cannot do.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform_init.h"
#include "platform/reply_text.h"
#include "service/ad_list.h"
#include "support/files.h"
#include "support/script_server.h"

namespace {

using rz::AdUrlList;

std::string Wrap(const std::string& items) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><WebResponse><AdList>" + items +
         "</AdList></WebResponse>";
}

std::string FlashItem(const std::string& value) { return "<Ad Flash=\"" + value + "\"/>"; }

struct ParseCase {
  const char* name;
  std::string reply;
  int result;
  AdUrlList urls;  // the list afterwards (it starts empty)
};

class AdListTest : public testing::TestWithParam<ParseCase> {
 protected:
  void SetUp() override { rz::platform::InitThreadForPlatformObjects(); }
};

TEST_P(AdListTest, ParsesToTheExpectedList) {
  const ParseCase& c = GetParam();
  AdUrlList list;
  EXPECT_EQ(rz::ParseAdList(rz::platform::ReplyFromUtf8(c.reply), list), c.result);
  EXPECT_EQ(list, c.urls);
}

const std::string k259(259, 'u');
const std::string k260(260, 'u');
const std::string k300(300, 'u');

INSTANTIATE_TEST_SUITE_P(
    Replies, AdListTest,
    testing::Values(
        ParseCase{"EmptyAdList", Wrap(""), 0, {}},
        ParseCase{"EmptyAdListWithoutDeclaration", "<WebResponse><AdList/></WebResponse>", 0, {}},
        ParseCase{"EmptyText", "", 1, {}}, ParseCase{"NotXml", "this is not XML", 1, {}},
        ParseCase{"Unclosed", "<WebResponse><AdList>", 1, {}},
        ParseCase{"HtmlErrorPage", "<html><body><h1>500</h1><br></body></html>", 1, {}},
        ParseCase{"NoWebResponse", "<Other><AdList><Ad Flash=\"a\"/></AdList></Other>", 1, {}},
        ParseCase{"WebResponseWithoutAdList", "<WebResponse><Ads/></WebResponse>", 1, {}},
        ParseCase{"AdListNotAChildOfWebResponse",
                  "<WebResponse><X><AdList><Ad Flash=\"a\"/></AdList></X></WebResponse>",
                  1,
                  {}},
        ParseCase{"DeepWebResponse",
                  "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                  "<soap:Body><R><WebResponse><AdList><Ad Flash=\"a\"/></AdList></WebResponse>"
                  "</R></soap:Body></soap:Envelope>",
                  0,
                  {"a"}},
        ParseCase{"DefaultNamespace",
                  "<WebResponse xmlns=\"http://tempuri.org/\"><AdList><Ad Flash=\"a\"/>"
                  "</AdList></WebResponse>",
                  0,
                  {"a"}},
        ParseCase{"PrefixedNamespace",
                  "<t:WebResponse xmlns:t=\"http://tempuri.org/\"><t:AdList>"
                  "<t:Ad Flash=\"a\"/></t:AdList></t:WebResponse>",
                  0,
                  {"a"}},
        ParseCase{"TwoAdListsFirstOnly",
                  "<WebResponse><AdList><Ad Flash=\"first\"/></AdList>"
                  "<AdList><Ad Flash=\"second\"/></AdList></WebResponse>",
                  0,
                  {"first"}},
        ParseCase{"FirstInDocumentOrderAcrossWebResponses",
                  "<r><WebResponse><AdList><Ad Flash=\"1\"/></AdList></WebResponse>"
                  "<WebResponse><AdList><Ad Flash=\"2\"/></AdList></WebResponse></r>",
                  0,
                  {"1"}},
        ParseCase{"AmpersandEntity",
                  Wrap(FlashItem("http://h/a?x=1&amp;y=2")),
                  0,
                  {"http://h/a?x=1&y=2"}},
        ParseCase{"CharacterReferences",
                  Wrap(FlashItem("&#x41;&#66;&lt;&gt;&quot;&apos;")),
                  0,
                  {"AB<>\"'"}},
        ParseCase{"DocumentOrderWithRepeats",
                  Wrap(FlashItem("a") + FlashItem("b") + FlashItem("a")),
                  0,
                  {"a", "b", "a"}},
        ParseCase{"EntryNameNotLookedAt",
                  Wrap("<Ad Flash=\"a\"/><Banner Flash=\"b\"/><x:Y xmlns:x=\"urn:x\" "
                       "Flash=\"c\"/>"),
                  0,
                  {"a", "b", "c"}},
        ParseCase{"NonElementsAndElementsWithoutFlashSkipped",
                  Wrap("text" + FlashItem("a") + "<!-- note --><?pi data?><![CDATA[raw]]>" +
                       "<Ad Other=\"x\"/><Ad><Inner Flash=\"nested\"/></Ad>\n  " + FlashItem("b")),
                  0,
                  {"a", "b"}},
        ParseCase{"PrefixedFlashIsAnotherAttribute",
                  Wrap("<Ad xmlns:p=\"urn:p\" p:Flash=\"no\"/>" + FlashItem("yes")),
                  0,
                  {"yes"}},
        ParseCase{"EmptyFlashKept", Wrap(FlashItem("") + FlashItem("b")), 0, {"", "b"}},
        ParseCase{"ValueOf259BytesWhole", Wrap(FlashItem(k259)), 0, {k259}},
        ParseCase{"ValueOf260BytesFails", Wrap(FlashItem("a") + FlashItem(k260)), 1, {}},
        ParseCase{"ValueOf300BytesFails", Wrap(FlashItem(k300) + FlashItem("b")), 1, {}},
        // A service reply has no document type; one that declares it is refused outright.
        ParseCase{"DocumentTypeRefused",
                  "<?xml version=\"1.0\"?><!DOCTYPE WebResponse [<!ENTITY x \"expanded\">]>"
                  "<WebResponse><AdList><Ad Flash=\"&x;\"/></AdList></WebResponse>",
                  1,
                  {}},
        ParseCase{"WhitespaceKeptInValue", Wrap(FlashItem(" a b ")), 0, {" a b "}}),
    [](const testing::TestParamInfo<ParseCase>& param) { return std::string(param.param.name); });

TEST(AdListAppendTest, EntriesAlreadyPresentStayInFront) {
  rz::platform::InitThreadForPlatformObjects();
  AdUrlList list = {"old"};
  EXPECT_EQ(rz::ParseAdList(rz::platform::ReplyFromUtf8(Wrap(FlashItem("new"))), list), 0);
  EXPECT_EQ(list, (AdUrlList{"old", "new"}));
}

TEST(AdListAppendTest, FailedParseLeavesTheListAlone) {
  rz::platform::InitThreadForPlatformObjects();
  AdUrlList list = {"old"};
  EXPECT_EQ(
      rz::ParseAdList(rz::platform::ReplyFromUtf8(Wrap(FlashItem("a") + FlashItem(k300))), list),
      1);
  EXPECT_EQ(list, AdUrlList{"old"});
}

#ifndef _WIN32
// A reply is only text: whatever it declares, nothing outside it is opened or expanded.
class HostileReplyTest : public testing::Test {
 protected:
  void SetUp() override {
    secretPath_ = dir_.Path("secret.txt");
    ASSERT_TRUE(rztest::WriteFile(secretPath_, kSecret));
  }

  // Parses a reply whose ad list would hold `use`, after the given document type.
  int Parse(const std::string& doctype, const std::string& use, AdUrlList& list) {
    const std::string reply =
        "<?xml version=\"1.0\"?>" + doctype + "<WebResponse><AdList><Ad Flash=\"" + use +
        "\"/><Ad Flash=\"plain\"/>" + "<Ad>" + use + "</Ad>" + "</AdList></WebResponse>";
    return rz::ParseAdList(rz::platform::ReplyFromUtf8(reply), list);
  }

  static bool MentionsSecret(const AdUrlList& list) {
    for (const auto& url : list) {
      if (url.find(kSecret) != std::string::npos) return true;
    }
    return false;
  }

  static constexpr const char* kSecret = "top-secret-file-content";
  rztest::TempDir dir_{"rz-ad-list"};
  std::string secretPath_;
};

TEST_F(HostileReplyTest, ExternalEntityNamingALocalFileIsNotRead) {
  AdUrlList list;
  const std::string doctype =
      "<!DOCTYPE WebResponse [<!ENTITY x SYSTEM \"file://" + secretPath_ + "\">]>";
  EXPECT_EQ(Parse(doctype, "&x;", list), 1);
  EXPECT_FALSE(MentionsSecret(list));
  EXPECT_TRUE(list.empty());
}

TEST_F(HostileReplyTest, ExternalEntityAndDtdOnLoopbackAreNotFetched) {
  rztest::ScriptServer server(rztest::Respond(rztest::HttpResponse(200, kSecret)));
  const std::string url = server.BaseUrl() + "/entity";
  for (const std::string& doctype :
       {"<!DOCTYPE WebResponse [<!ENTITY x SYSTEM \"" + url + "\">]>",
        "<!DOCTYPE WebResponse SYSTEM \"" + url + "\">",
        "<!DOCTYPE WebResponse [<!ENTITY % p SYSTEM \"" + url + "\"> %p;]>"}) {
    AdUrlList list;
    EXPECT_EQ(Parse(doctype, "&x;", list), 1) << doctype;
    EXPECT_FALSE(MentionsSecret(list)) << doctype;
  }
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(HostileReplyTest, InternalEntitiesAreNotExpanded) {
  AdUrlList list;
  EXPECT_EQ(Parse("<!DOCTYPE WebResponse [<!ENTITY x \"expanded\">]>", "&x;", list), 1);
  EXPECT_TRUE(list.empty());
}

TEST_F(HostileReplyTest, MalformedRepliesFailSilently) {
  for (const std::string& reply :
       {std::string("<WebResponse><AdList><Ad Flash=\"\xFF\xFE\"/></AdList></WebResponse>"),
        std::string("<?xml version=\"1.0\" encoding=\"no-such-charset\"?><WebResponse/>"),
        std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><WebResponse/>"),
        std::string("<WebResponse><AdList>&undeclared;</AdList></WebResponse>"),
        std::string("\0\0\0", 3), std::string("<a><b></a>")}) {
    AdUrlList list;
    testing::internal::CaptureStderr();
    EXPECT_EQ(rz::ParseAdList(rz::platform::ReplyFromUtf8(reply), list), 1) << reply;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << reply;
  }
}

TEST_F(HostileReplyTest, EntityBombIsRefusedPromptly) {
  std::string doctype = "<!DOCTYPE WebResponse [<!ENTITY a0 \"lol\">";
  for (int i = 1; i <= 10; ++i) {
    std::string value;
    for (int j = 0; j < 10; ++j) value += "&a" + std::to_string(i - 1) + ";";
    doctype += "<!ENTITY a" + std::to_string(i) + " \"" + value + "\">";
  }
  doctype += "]>";
  AdUrlList list;
  EXPECT_EQ(Parse(doctype, "&a10;", list), 1);
  EXPECT_TRUE(list.empty());
}
#endif

}  // namespace
