// The document object's save: what it writes reads back to the same ad list, and a save that
// cannot write says so.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform_init.h"
#include "platform/reply_text.h"
#include "platform/xml_document.h"
#include "service/ad_list.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;

class XmlDocumentSaveTest : public testing::Test {
 protected:
  void SetUp() override { rz::platform::InitThreadForPlatformObjects(); }

  rztest::TempDir dir_{"rz-xml-save"};
};

constexpr const char kReply[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
    "<GetAdResponse xmlns=\"http://tempuri.org/\"><WebResponse><AdList>"
    "<Ad Flash=\"http://ads.example/a.swf?x=1&amp;y=2\"/><!-- c --><Ad Flash=\"\"/>"
    "<Ad Flash=\"http://ads.example/b.swf\"/></AdList></WebResponse></GetAdResponse>"
    "</soap:Body></soap:Envelope>";

TEST_F(XmlDocumentSaveTest, SavedDocumentParsesBackToTheSameList) {
  const auto reply = rz::platform::ReplyFromUtf8(kReply);
  rz::AdUrlList before;
  ASSERT_EQ(rz::ParseAdList(reply, before), 0);
  ASSERT_EQ(before.size(), 3u);

  rz::platform::XmlDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.Load(reply));
  const fs::path path = dir_.path() / "FileList.xml";
  ASSERT_TRUE(document.Save(path.string()));

  const std::string saved = rztest::ReadFile(path);
  ASSERT_FALSE(saved.empty());
  // Serialised as UTF-8, whichever form the document object chooses for the rest.
  EXPECT_NE(saved.find("<WebResponse>"), std::string::npos) << saved;
  rz::AdUrlList after;
  EXPECT_EQ(rz::ParseAdList(rz::platform::ReplyFromUtf8(saved), after), 0) << saved;
  EXPECT_EQ(after, before);
}

TEST_F(XmlDocumentSaveTest, SaveIntoAMissingFolderFails) {
  rz::platform::XmlDocument document;
  ASSERT_TRUE(document.Create());
  ASSERT_TRUE(document.Load(rz::platform::ReplyFromUtf8(kReply)));
  const fs::path path = dir_.path() / "missing" / "FileList.xml";
  EXPECT_FALSE(document.Save(path.string()));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(XmlDocumentSaveTest, NothingLoadedNothingSaved) {
  rz::platform::XmlDocument document;
  ASSERT_TRUE(document.Create());
  EXPECT_FALSE(document.Load(rz::platform::ReplyFromUtf8("<unclosed>")));
  const fs::path path = dir_.path() / "FileList.xml";
  EXPECT_FALSE(document.Save(path.string()));
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
