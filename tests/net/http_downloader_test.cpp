// HttpDownloader's connection and request against loopback servers: the exact bytes each request
// form puts on the wire, what goes out (nothing) when a request is refused, and the proxy form
// through a real proxy.
#include "download/http_downloader.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

#include "download/request_builder.h"
#include "support/cannot_run.h"
#include "support/script_server.h"
#include "support/tinyproxy_server.h"

namespace rz {
namespace {

using rztest::Script;
using rztest::ScriptServer;
using std::chrono::seconds;

constexpr char kLoopback[] = "127.0.0.1";

// Everything the server sends until it closes, through the downloader's own connection.
std::string ReceiveResponse(HttpDownloader& downloader) {
  std::string all;
  std::array<char, 4096> buffer;
  for (;;) {
    std::int32_t length = 4096;
    const Status status = downloader.connection->Receive(buffer.data(), length);
    if (status != kOk && status != kMoreData) {
      EXPECT_EQ(status, kConnectionClosed);
      return all;
    }
    all.append(buffer.data(), static_cast<std::size_t>(length));
  }
}

struct WireCase {
  const char* name;
  bool proxyForm;  // proxyTargetUrl names the loopback server's own URL
  const char* proxyUser;
  const char* proxyPassword;
  std::int32_t offset;
  const char* expectedAfterRequestLine;  // with "%PORT%" for the server's port
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

std::string WithPort(std::string text, std::uint16_t port) {
  const std::string mark = "%PORT%";
  for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
    text.replace(at, mark.size(), std::to_string(port));
  }
  return text;
}

std::string CaseName(const testing::TestParamInfo<WireCase>& info) { return info.param.name; }

class RequestOnTheWire : public testing::TestWithParam<WireCase> {};

TEST_P(RequestOnTheWire, ServerReceivesExactlyTheRequest) {
  const WireCase& c = GetParam();
  const std::string response = rztest::HttpResponse(200, "body");
  ScriptServer server(rztest::Respond(response));
  const std::string url = server.BaseUrl() + "/ads/a b.swf";

  HttpDownloader downloader(kLoopback, server.port(), "/cache/a.swf");
  if (c.proxyForm) {
    downloader.proxyTargetUrl = url.c_str();
  }
  downloader.proxyUser = c.proxyUser;
  downloader.proxyPassword = c.proxyPassword;
  ASSERT_EQ(downloader.Connect(), kOk);
  // The direct form asks for the path, as the download pass does.
  const char* target = c.proxyForm ? url.c_str() : "/ads/a b.swf";
  ASSERT_EQ(downloader.SendRequest(target, c.offset), kOk);
  EXPECT_EQ(ReceiveResponse(downloader), response);
  EXPECT_EQ(downloader.Disconnect(), kOk);
  EXPECT_EQ(downloader.connection, nullptr);

  const std::string requestLine =
      c.proxyForm ? "GET " + url + " HTTP/1.0\r\n" : "GET /ads/a+b.swf HTTP/1.0\r\n";
  EXPECT_EQ(server.WaitForRequest(0),
            requestLine + WithPort(c.expectedAfterRequestLine, server.port()));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RequestOnTheWire,
    testing::Values(
        WireCase{"Direct", false, nullptr, nullptr, 0, "Host: 127.0.0.1:%PORT%\r\n\r\n"},
        WireCase{"DirectWithRange", false, nullptr, nullptr, 1234,
                 "Host: 127.0.0.1:%PORT%\r\nRange: bytes=1234-\r\n\r\n"},
        WireCase{"Proxy", true, nullptr, nullptr, 0, "Host: 127.0.0.1:%PORT%\r\n\r\n"},
        WireCase{"ProxyWithCredentials", true, "user", "pass", 0,
                 "Host: 127.0.0.1:%PORT%\r\nProxy-authorization: Basic dXNlcjpwYXNz\r\n\r\n"},
        WireCase{"ProxyWithCredentialsAndRange", true, "user", "pass", 300,
                 "Host: 127.0.0.1:%PORT%\r\nProxy-authorization: Basic dXNlcjpwYXNz\r\n"
                 "Range: bytes=300-\r\n\r\n"}),
    CaseName);

TEST(HttpDownloaderRefusedRequest, NothingGoesOutWhenTheRequestCannotBeComposed) {
  ScriptServer server(Script().Hold(seconds(5)));
  const std::string longTarget = "/" + std::string(5000, 'x');
  const std::string user(kMaxCredentialsBytes, 'u');  // one past the bound with its ':'
  struct {
    const char* target;
    const char* proxyUser;
    Status expected;
  } const cases[] = {{longTarget.c_str(), nullptr, kRequestTooLong},
                     {"/f", user.c_str(), kCredentialsTooLong}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    HttpDownloader downloader(kLoopback, server.port(), "/f");
    downloader.proxyUser = cases[i].proxyUser;
    downloader.proxyPassword = "";
    ASSERT_EQ(downloader.Connect(), kOk);
    EXPECT_EQ(downloader.SendRequest(cases[i].target, 0), cases[i].expected);
    EXPECT_EQ(downloader.Disconnect(), kOk);
    EXPECT_EQ(server.WaitForRequest(i), "") << "case " << i;
  }
}

int StopPoll() { return kStoppedByCallback; }

TEST(HttpDownloaderPoll, CallbackReachesTheConnection) {
  ScriptServer server(Script().Hold(seconds(5)));
  HttpDownloader downloader(kLoopback, server.port(), "/f");
  downloader.pollCallback = StopPoll;
  // The connect stops at its first wait, unless it was made before any wait.
  const Status connected = downloader.Connect();
  EXPECT_TRUE(connected == kOk || connected == kStoppedByCallback) << connected;
  EXPECT_EQ(downloader.SendRequest(nullptr, 0), kStoppedByCallback);
  EXPECT_EQ(downloader.Disconnect(), kOk);
  EXPECT_EQ(server.WaitForRequest(0), "");
}

TEST(HttpDownloaderConnect, FailuresLeaveAConnectionForDisconnect) {
  struct {
    const char* host;
    std::int32_t port;
    Status expected;
  } const cases[] = {{kLoopback, rztest::UnusedLoopbackPort(), kConnectFailed},
                     {"no such host.invalid", 80, kUnresolvedHost}};
  for (const auto& c : cases) {
    HttpDownloader downloader(c.host, c.port, "/f");
    EXPECT_EQ(downloader.Connect(), c.expected) << c.host;
    EXPECT_NE(downloader.connection, nullptr);
    EXPECT_EQ(downloader.Disconnect(), kOk);
    EXPECT_EQ(downloader.connection, nullptr);
    EXPECT_EQ(downloader.Disconnect(), kOk);  // nothing left to close
  }
}

// ---- The proxy form through a real proxy (tinyproxy, a Linux program) ----
#ifndef _WIN32

class ThroughTinyproxy : public testing::Test {
 protected:
  void SetUp() override {
    if (!rztest::TinyproxyServer::Available()) RZT_CANNOT_RUN("tinyproxy is not installed");
  }

  // One proxied GET of `url` with the given credentials; returns what came back.
  static std::string Fetch(std::uint16_t proxyPort, const std::string& url, const char* user,
                           const char* password) {
    HttpDownloader downloader(kLoopback, proxyPort, "/unused");
    downloader.proxyTargetUrl = url.c_str();
    downloader.proxyUser = user;
    downloader.proxyPassword = password;
    EXPECT_EQ(downloader.Connect(), kOk);
    EXPECT_EQ(downloader.SendRequest(nullptr, 0), kOk);
    std::string response = ReceiveResponse(downloader);
    EXPECT_EQ(downloader.Disconnect(), kOk);
    return response;
  }

  static std::string StatusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
  }
};

TEST_F(ThroughTinyproxy, CredentialsReachTheFileServer) {
  const std::string body = "ad file bytes";
  ScriptServer files(rztest::Respond(rztest::HttpResponse(200, body)));
  rztest::TinyproxyServer proxy("user", "pass");
  ASSERT_TRUE(proxy.running()) << proxy.Failure();

  const std::string url = files.BaseUrl() + "/ads/1.swf";
  const std::string response = Fetch(proxy.port(), url, "user", "pass");
  EXPECT_EQ(StatusLine(response), "HTTP/1.1 200 OK") << proxy.Log();
  EXPECT_EQ(response.substr(response.size() - body.size()), body);
  // The proxy asked the file server for the path, with the Host line it was given.
  const std::string relayed = files.WaitForRequest(0);
  EXPECT_EQ(relayed.rfind("GET /ads/1.swf HTTP/1.0\r\n", 0), 0u) << relayed;
  EXPECT_NE(relayed.find("Host: 127.0.0.1:" + std::to_string(files.port()) + "\r\n"),
            std::string::npos)
      << relayed;
  EXPECT_EQ(relayed.find("Proxy-authorization"), std::string::npos) << relayed;
}

TEST_F(ThroughTinyproxy, WrongOrMissingCredentialsAreRefused) {
  ScriptServer files(rztest::Respond(rztest::HttpResponse(200, "never")));
  rztest::TinyproxyServer proxy("user", "pass");
  ASSERT_TRUE(proxy.running()) << proxy.Failure();
  const std::string url = files.BaseUrl() + "/ads/1.swf";

  // No credentials line at all: the proxy asks for authentication.
  EXPECT_EQ(StatusLine(Fetch(proxy.port(), url, "user", nullptr)).substr(0, 13), "HTTP/1.0 407 ");
  // Wrong credentials: refused; this tinyproxy answers 401 where others answer 407.
  const std::string wrong = StatusLine(Fetch(proxy.port(), url, "user", "wrong"));
  EXPECT_TRUE(wrong.rfind("HTTP/1.0 407 ", 0) == 0 || wrong.rfind("HTTP/1.0 401 ", 0) == 0)
      << wrong;
  EXPECT_EQ(files.Connections(), 0);
}

#endif  // _WIN32

}  // namespace
}  // namespace rz
