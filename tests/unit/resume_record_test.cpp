// The resume record's text: what reads back, and what is refused (and so discards kept bytes).
#include "cache/resume_record.h"
#include "platform/boot_identity.h"

#include <gtest/gtest.h>

#include <string>

namespace rz {
namespace {

TEST(ResumeRecord, ReadsBackWhatWasWritten) {
  const ResumeRecord written{"http://h/caf\xC3\xA9.bin", "\"5f1-64\"", 98304, 49152, "b0f3"};
  ResumeRecord read;
  ASSERT_TRUE(ParseResumeRecord(FormatResumeRecord(written), read));
  EXPECT_EQ(read.url, written.url);
  EXPECT_EQ(read.validator, written.validator);
  EXPECT_EQ(read.total, written.total);
  EXPECT_EQ(read.kept, written.kept);
  EXPECT_EQ(read.boot, written.boot);
}

TEST(ResumeRecord, AnythingElseIsRefused) {
  const std::string good = FormatResumeRecord({"http://h/a", "\"v1\"", 900, 300, ""});
  const std::string cases[] = {
      "",
      good.substr(0, good.size() - 1),  // cut inside the last line
      good + "extra\n",
      // A record of the first version, which named no URL: its bytes are fetched again once.
      "rovirezevade-resume 1\nvalidator \"v1\"\ntotal 900\nkept 300\nboot -\n",
      // Not written by this library, which writes no leading zero.
      "rovirezevade-resume 2\nurl http://h/a\nvalidator \"v1\"\ntotal 900\nkept 0300\nboot -\n",
      FormatResumeRecord({"", "\"v1\"", 900, 300, ""}),
      FormatResumeRecord({"http://h/a", "", 900, 300, ""}),
      FormatResumeRecord({"http://h/a", "\"v1\"", 0, 0, ""}),
      FormatResumeRecord({"http://h/a", "\"v1\"", 900, 901, ""}),
      FormatResumeRecord({"http://h/a", "\"v1\"", 2147483648, 0, ""}),
      FormatResumeRecord({"http://h/a", "\"v\x01\"", 900, 300, ""}),
      FormatResumeRecord({"http://h/a", std::string(257, 'v'), 900, 300, ""}),
      FormatResumeRecord({"http://h/\x7F", "\"v1\"", 900, 300, ""}),
  };
  for (const std::string& text : cases) {
    ResumeRecord read;
    EXPECT_FALSE(ParseResumeRecord(text, read)) << text;
  }
}

// The record's boot: known, and the same for every call of one boot (on Windows a volatile
// registry key of ours, made by the first call).
TEST(ResumeRecord, TheBootIsKnownAndStaysTheSame) {
  const std::string boot = platform::BootIdentity();
  EXPECT_FALSE(boot.empty());
  EXPECT_EQ(platform::BootIdentity(), boot);
}

}  // namespace
}  // namespace rz
