#include "download/request_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace rz {
namespace {

struct SplitCase {
  const char* url;
  std::int32_t defaultPort;
  Status status;
  const char* host;  // expected outputs when status is kOk
  std::int32_t port;
  const char* path;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << '"' << c.url << '"'; }

class SplitHttpUrl : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitHttpUrl, SplitsHostPortAndPath) {
  const SplitCase& c = GetParam();
  std::string host = "untouched";
  std::string path = "untouched";
  std::int32_t port = c.defaultPort;
  ASSERT_EQ(SplitUrl("http://", c.url, &host, &port, &path), c.status);
  if (c.status == kOk) {
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(path, c.path);
  } else {
    EXPECT_EQ(host, "untouched");
    EXPECT_EQ(path, "untouched");
    EXPECT_EQ(port, c.defaultPort);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitHttpUrl,
    testing::Values(
        SplitCase{"http://example.test/a/b.swf", 80, kOk, "example.test", 80, "/a/b.swf"},
        SplitCase{"http://example.test:81/a", 80, kOk, "example.test", 81, "/a"},
        SplitCase{"http://example.test:81", 80, kOk, "example.test", 81, "/"},
        // An IPv6 literal keeps its brackets, and its colons are not the port's.
        SplitCase{"http://[::1]:8080/a", 80, kOk, "[::1]", 8080, "/a"},
        SplitCase{"http://[::1]/a:81", 80, kOk, "[::1]", 80, "/a:81"},
        SplitCase{"http://example.test", 8080, kOk, "example.test", 8080, "/"},
        // Query and fragment stay in the path as they are.
        SplitCase{"http://h.test/p?q=1#f", 80, kOk, "h.test", 80, "/p?q=1#f"},
        // A colon straight before the separator: no digits, port 0.
        SplitCase{"http://h.test:/x", 80, kOk, "h.test", 0, "/x"},
        // Port text is read like strtol: white space, sign, digits up to the first other byte.
        SplitCase{"http://h.test:81abc/x", 80, kOk, "h.test", 81, "/x"},
        SplitCase{"http://h.test: 81/x", 80, kOk, "h.test", 81, "/x"},
        SplitCase{"http://h.test:-5/x", 80, kOk, "h.test", -5, "/x"},
        SplitCase{"http://h.test:+7", 80, kOk, "h.test", 7, "/"},
        SplitCase{"http://h.test:99999999999/x", 80, kOk, "h.test", 2147483647, "/x"},
        // A colon after the first separator belongs to the path; the default port stays,
        // or becomes -1 when it is below 1.
        SplitCase{"http://h.test/a:81", 80, kOk, "h.test", 80, "/a:81"},
        SplitCase{"http://h.test/a:81", 0, kOk, "h.test", -1, "/a:81"},
        SplitCase{"http://h.test", -3, kOk, "h.test", -1, "/"},
        // A backslash is a separator too, and the path keeps it.
        SplitCase{"http://h.test\\a/b", 80, kOk, "h.test", 80, "\\a/b"},
        SplitCase{"http://h.test/a\\b", 80, kOk, "h.test", 80, "/a\\b"},
        SplitCase{"http://h.test:82\\a", 80, kOk, "h.test", 82, "\\a"},
        // Nine characters are the minimum: two after the prefix.
        SplitCase{"http://ab", 80, kOk, "ab", 80, "/"},
        SplitCase{"http://a", 80, kBadTarget, "", 0, ""},
        SplitCase{"http://", 80, kBadTarget, "", 0, ""},
        SplitCase{"http://:/", 80, kOk, "", 0, "/"},
        // The prefix is compared byte for byte, case included.
        SplitCase{"HTTP://example.test/", 80, kBadTarget, "", 0, ""},
        SplitCase{"https://example.test/", 80, kBadTarget, "", 0, ""},
        SplitCase{"", 80, kBadTarget, "", 0, ""}));

TEST(SplitUrl, NineCharactersAreNeededWhateverThePrefix) {
  std::string host;
  std::string path;
  std::int32_t port = 80;
  EXPECT_EQ(SplitUrl("x:", "x:abcdef", &host, &port, &path), kBadTarget);
  EXPECT_EQ(SplitUrl("x:", "x:abcdefg", &host, &port, &path), kOk);
  EXPECT_EQ(host, "abcdefg");
}

TEST(SplitUrl, NullArgumentsAreMissing) {
  std::string host;
  std::string path;
  std::int32_t port = 80;
  const char* url = "http://h.test/";
  EXPECT_EQ(SplitUrl(nullptr, url, &host, &port, &path), kMissingArgument);
  EXPECT_EQ(SplitUrl("http://", nullptr, &host, &port, &path), kMissingArgument);
  EXPECT_EQ(SplitUrl("http://", url, nullptr, &port, &path), kMissingArgument);
  EXPECT_EQ(SplitUrl("http://", url, &host, nullptr, &path), kMissingArgument);
  EXPECT_EQ(SplitUrl("http://", url, &host, &port, nullptr), kMissingArgument);
  EXPECT_EQ(port, 80);
}

}  // namespace
}  // namespace rz
