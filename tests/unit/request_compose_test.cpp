#include "download/request_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "download/http_downloader.h"

namespace rz {
namespace {

// User name and password joined by ':' are at most 16 KiB.
constexpr std::size_t kCredentialsLimit = 16384;

// The optional fields an owner may set, and the arguments of one SendRequest.
struct ComposeCase {
  const char* name;
  const char* proxyTargetUrl;
  const char* proxyUser;
  const char* proxyPassword;
  const char* target;
  std::int32_t offset;
  const char* expected;
};

void PrintTo(const ComposeCase& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<ComposeCase>& info) { return info.param.name; }

class ComposeRequestTable : public testing::TestWithParam<ComposeCase> {};

TEST_P(ComposeRequestTable, ProducesTheExactRequest) {
  const ComposeCase& c = GetParam();
  // Port 81 is not the default, so a direct-form Host line names it.
  RequestFields fields{"files.test", "C:\\cache dir\\a b.swf", 81};
  fields.proxyTargetUrl = c.proxyTargetUrl;
  fields.proxyUser = c.proxyUser;
  fields.proxyPassword = c.proxyPassword;
  std::string request;
  ASSERT_EQ(ComposeRequest(fields, c.target, c.offset, request), kOk);
  EXPECT_EQ(request, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Direct, ComposeRequestTable,
    testing::Values(
        ComposeCase{"PathAndQuery", nullptr, nullptr, nullptr, "/ad/1.swf?v=2", 0,
                    "GET /ad/1.swf?v=2 HTTP/1.0\r\nHost: files.test:81\r\n\r\n"},
        ComposeCase{"SpacesBecomePlus", nullptr, nullptr, nullptr, "/a b/c d", 0,
                    "GET /a+b/c+d HTTP/1.0\r\nHost: files.test:81\r\n\r\n"},
        ComposeCase{"PlusAndPercentUnchanged", nullptr, nullptr, nullptr, "/a+b/c%20d", 0,
                    "GET /a+b/c%20d HTTP/1.0\r\nHost: files.test:81\r\n\r\n"},
        // localPath goes in unchanged: its space is not replaced.
        ComposeCase{"NullTargetRequestsLocalPath", nullptr, nullptr, nullptr, nullptr, 0,
                    "GET C:\\cache dir\\a b.swf HTTP/1.0\r\nHost: files.test:81\r\n\r\n"},
        ComposeCase{"NegativeOffsetNoRange", nullptr, nullptr, nullptr, "/f", -5,
                    "GET /f HTTP/1.0\r\nHost: files.test:81\r\n\r\n"},
        ComposeCase{"OffsetOne", nullptr, nullptr, nullptr, "/f", 1,
                    "GET /f HTTP/1.0\r\nHost: files.test:81\r\nRange: bytes=1-\r\n\r\n"},
        ComposeCase{"Offset300", nullptr, nullptr, nullptr, "/f", 300,
                    "GET /f HTTP/1.0\r\nHost: files.test:81\r\nRange: bytes=300-\r\n\r\n"},
        ComposeCase{"CredentialsWithoutProxyUrl", nullptr, "u", "p", "/f", 0,
                    "GET /f HTTP/1.0\r\nHost: files.test:81\r\n"
                    "Proxy-authorization: Basic dTpw\r\n\r\n"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Proxy, ComposeRequestTable,
    testing::Values(
        // The target argument plays no part; spaces in the proxy URL stay.
        ComposeCase{"NoPortWritesDefault", "http://origin.test/a b.swf", nullptr, nullptr,
                    "/ignored", 0,
                    "GET http://origin.test/a b.swf HTTP/1.0\r\nHost: origin.test:80\r\n\r\n"},
        ComposeCase{"ExplicitPort", "http://origin.test:81/x", nullptr, nullptr, nullptr, 0,
                    "GET http://origin.test:81/x HTTP/1.0\r\nHost: origin.test:81\r\n\r\n"},
        ComposeCase{"IPv6Literal", "http://[::1]:81/x", nullptr, nullptr, nullptr, 0,
                    "GET http://[::1]:81/x HTTP/1.0\r\nHost: [::1]:81\r\n\r\n"},
        ComposeCase{"ColonThenSlashGivesZero", "http://origin.test:/x", nullptr, nullptr, nullptr,
                    0, "GET http://origin.test:/x HTTP/1.0\r\nHost: origin.test:0\r\n\r\n"},
        // An upper-case scheme once cost the Host line; it goes out as the lower-case form does.
        ComposeCase{"UpperCaseSchemeAsLowerCase", "HTTP://origin.test/x", nullptr, nullptr, nullptr,
                    0, "GET http://origin.test/x HTTP/1.0\r\nHost: origin.test:80\r\n\r\n"},
        ComposeCase{"TooShortNoHostLine", "http://a", nullptr, nullptr, nullptr, 0,
                    "GET http://a HTTP/1.0\r\n\r\n"},
        ComposeCase{"OnlyUserNoCredentials", "http://origin.test/x", "user", nullptr, nullptr, 0,
                    "GET http://origin.test/x HTTP/1.0\r\nHost: origin.test:80\r\n\r\n"},
        ComposeCase{"OnlyPasswordNoCredentials", "http://origin.test/x", nullptr, "pw", nullptr, 0,
                    "GET http://origin.test/x HTTP/1.0\r\nHost: origin.test:80\r\n\r\n"},
        ComposeCase{"EmptyCredentialsEncodeColon", "http://origin.test/x", "", "", nullptr, 0,
                    "GET http://origin.test/x HTTP/1.0\r\nHost: origin.test:80\r\n"
                    "Proxy-authorization: Basic Og==\r\n\r\n"},
        ComposeCase{"EverythingInOrder", "http://origin.test:8080/x", "user", "pass", nullptr, 42,
                    "GET http://origin.test:8080/x HTTP/1.0\r\nHost: origin.test:8080\r\n"
                    "Proxy-authorization: Basic dXNlcjpwYXNz\r\nRange: bytes=42-\r\n\r\n"}),
    CaseName);

// A token as password fits: the credentials line has a bound of its own, outside the 4096 bytes.
TEST(ComposeRequest, JoinedCredentialsFit16KiBAndNoMore) {
  RequestFields fields{"proxy.test", "/f"};
  const std::string user(50, 'u');
  const std::string passwordFits(kCredentialsLimit - 51, 'p');
  const std::string passwordTooLong(kCredentialsLimit - 50, 'p');
  fields.proxyUser = user.c_str();
  std::string request;

  fields.proxyPassword = passwordFits.c_str();
  ASSERT_EQ(ComposeRequest(fields, "/f", 0, request), kOk);
  std::string token;
  ASSERT_EQ(BasicCredentials(user, passwordFits, token), kOk);
  EXPECT_EQ(token.size(), (kCredentialsLimit + 2) / 3 * 4);
  EXPECT_NE(request.find("Proxy-authorization: Basic " + token + "\r\n"), std::string::npos);

  std::string untouched = "before";
  fields.proxyPassword = passwordTooLong.c_str();
  EXPECT_EQ(ComposeRequest(fields, "/f", 0, untouched), kCredentialsTooLong);
  EXPECT_EQ(untouched, "before");
}

// The request and its NUL must fit 4096 bytes; one byte more is refused, never cut.
TEST(ComposeRequest, RequestThatDoesNotFitIsRefused) {
  RequestFields fields{"h", "/f"};
  // "GET " + target + " HTTP/1.0\r\n" + "Host: h\r\n" + "\r\n" is the target plus 24 bytes.
  const std::size_t overhead = std::string("GET  HTTP/1.0\r\nHost: h\r\n\r\n").size();
  const std::string fits(4095 - overhead, 'a');
  const std::string tooLong(4096 - overhead, 'a');
  std::string request;
  ASSERT_EQ(ComposeRequest(fields, fits.c_str(), 0, request), kOk);
  EXPECT_EQ(request.size(), 4095u);
  std::string untouched = "before";
  EXPECT_EQ(ComposeRequest(fields, tooLong.c_str(), 0, untouched), kRequestTooLong);
  EXPECT_EQ(untouched, "before");

  const std::string hugeUrl = "http://origin.test/" + std::string(5000, 'x');
  fields.proxyTargetUrl = hugeUrl.c_str();
  EXPECT_EQ(ComposeRequest(fields, nullptr, 0, untouched), kRequestTooLong);
}

TEST(ComposeRequest, DirectHostLineNamesThePortUnlessItIsTheSchemes) {
  const std::tuple<std::int32_t, bool, const char*> cases[] = {
      {80, false, "Host: h\r\n"},        {0, false, "Host: h\r\n"},
      {8080, false, "Host: h:8080\r\n"}, {443, false, "Host: h:443\r\n"},
      {443, true, "Host: h\r\n"},        {80, true, "Host: h:80\r\n"}};
  for (const auto& [port, tls, hostLine] : cases) {
    // The downloader takes a port of 0 as 80.
    const HttpDownloader downloader("h", port, "/f");
    const RequestFields fields{
        downloader.host, downloader.localPath, downloader.port, nullptr, nullptr, nullptr,
        nullptr,         tls ? 443 : 80};
    std::string request;
    ASSERT_EQ(ComposeRequest(fields, "/f", 0, request), kOk);
    EXPECT_EQ(request, std::string("GET /f HTTP/1.0\r\n") + hostLine + "\r\n") << port;
  }
}

TEST(HttpDownloaderFields, PortAtOrBelowZeroBecomes80) {
  struct {
    std::int32_t given;
    std::int32_t stored;
  } const cases[] = {{0, 80}, {-1, 80}, {-65536, 80}, {1, 1}, {81, 81}, {65535, 65535}};
  for (const auto& c : cases) {
    HttpDownloader fields("h", c.given, "/f");
    EXPECT_EQ(fields.port, c.stored) << c.given;
    EXPECT_EQ(fields.pollCallback, nullptr);
    EXPECT_EQ(fields.proxyTargetUrl, nullptr);
    EXPECT_EQ(fields.ownsStrings, 0);
    EXPECT_EQ(fields.connection, nullptr);
  }
}

TEST(HttpDownloaderFields, OwnedStringsAreReleased) {
  // Under AddressSanitizer a missed or mismatched release shows up as a leak or an error.
  auto* downloader = new HttpDownloader(new char[8]{"h.test"}, 80, new char[4]{"/f"});
  downloader->ownsStrings = 1;
  delete downloader;
}

TEST(HttpDownloaderConnect, MissingHostOrPathCreatesNothing) {
  HttpDownloader noPath("127.0.0.1", 80, nullptr);
  EXPECT_EQ(noPath.Connect(), kBadTarget);
  EXPECT_EQ(noPath.connection, nullptr);
  EXPECT_EQ(noPath.Disconnect(), kOk);
  HttpDownloader noHost(nullptr, 80, "/f");
  EXPECT_EQ(noHost.Connect(), kBadTarget);
  EXPECT_EQ(noHost.connection, nullptr);
}

TEST(HttpDownloaderSend, WithoutConnectionNothingIsSent) {
  HttpDownloader fields("h", 80, "/f");
  EXPECT_NE(fields.SendRequest("/f", 0), kOk);
}

}  // namespace
}  // namespace rz
