// The squid fixture, driven by libcurl as a client independent of the library: NTLMv2 with the
// right password goes through (plain and tunnelled), anything else gets 407, and the access log
// tells requests and connections apart.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <chrono>
#include <string>

#include "support/cannot_run.h"
#include "support/file_server.h"
#include "support/squid_server.h"
#include "support/test_socket.h"

namespace rztest {
namespace {

struct Reply {
  long status = 0;
  std::string body;
  std::string headers;
};

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

class Client {
 public:
  Client(const SquidServer& squid, const std::string& credentials, bool tunnel = false,
         unsigned long scheme = CURLAUTH_NTLM)
      : curl_(curl_easy_init()) {
    curl_easy_setopt(curl_, CURLOPT_PROXY, squid.Url().c_str());
    curl_easy_setopt(curl_, CURLOPT_PROXYAUTH, static_cast<long>(scheme));
    curl_easy_setopt(curl_, CURLOPT_PROXYUSERPWD, credentials.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPPROXYTUNNEL, tunnel ? 1L : 0L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Append);
  }
  ~Client() { curl_easy_cleanup(curl_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // One request on this client's connection (kept between calls).
  Reply Get(const std::string& url) {
    Reply reply;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply.headers);
    const CURLcode code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, code == CURLE_OK ? CURLINFO_RESPONSE_CODE : CURLINFO_HTTP_CONNECTCODE,
                      &reply.status);
    return reply;
  }

 private:
  CURL* curl_;
};

class SquidServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SquidServer::Available()) RZT_CANNOT_RUN("squid is not installed");
    origin_.WriteFile("a.txt", "through the proxy");
  }
  FileServer origin_;
};

TEST_F(SquidServerTest, RightPasswordGoesThroughWithOneHandshakePerConnection) {
  const SquidServer squid("Tester", "s3cret-P");
  ASSERT_TRUE(squid.running()) << squid.Failure();
  Client client(squid, "tester:s3cret-P");  // user names compare without case
  for (int i = 0; i < 2; ++i) {
    const Reply reply = client.Get(origin_.BaseUrl() + "/a.txt");
    EXPECT_EQ(reply.status, 200) << reply.headers << squid.CacheLog();
    EXPECT_EQ(reply.body, "through the proxy");
  }
  EXPECT_TRUE(squid.WaitForEntries(3)) << squid.Log();
  const auto entries = squid.Entries();
  ASSERT_EQ(entries.size(), 3u) << squid.Log();
  EXPECT_EQ(entries[0].status, 407);
  EXPECT_EQ(entries[0].user, "-");
  EXPECT_EQ(entries[1].status, 200);
  EXPECT_EQ(entries[1].method, "GET");
  EXPECT_EQ(entries[1].url, origin_.BaseUrl() + "/a.txt");
  EXPECT_EQ(entries[2].user, "tester");
  EXPECT_EQ(squid.AuthenticatedRequests(), 2);
  EXPECT_EQ(squid.Connections(), 1);
  EXPECT_NE(squid.CacheLog().find("ntlm_check_helper: AF for user 'tester'"), std::string::npos)
      << squid.CacheLog();
  EXPECT_EQ(squid.CacheLog().find("s3cret"), std::string::npos) << "the password is logged";
}

TEST_F(SquidServerTest, TunnelsToAnyLoopbackPort) {
  const SquidServer squid("tester", "pw");
  ASSERT_TRUE(squid.running()) << squid.Failure();
  {
    Client client(squid, "tester:pw", true);
    const Reply reply = client.Get(origin_.BaseUrl() + "/a.txt");
    EXPECT_EQ(reply.status, 200) << reply.headers << squid.CacheLog();
    EXPECT_EQ(reply.body, "through the proxy");
  }
  // squid logs a tunnel once it closed.
  EXPECT_TRUE(squid.WaitForAuthenticated(1)) << squid.Log();
  const auto entries = squid.Entries();
  ASSERT_FALSE(entries.empty()) << squid.Log();
  EXPECT_EQ(entries.back().method, "CONNECT");
  EXPECT_EQ(entries.back().url, "127.0.0.1:" + std::to_string(origin_.port()));
  EXPECT_EQ(entries.back().user, "tester");
}

TEST_F(SquidServerTest, WrongPasswordOrUserGets407) {
  const SquidServer squid("tester", "pw");
  ASSERT_TRUE(squid.running()) << squid.Failure();
  for (const char* credentials : {"tester:wrong", "other:pw"}) {
    Client client(squid, credentials);
    const Reply reply = client.Get(origin_.BaseUrl() + "/a.txt");
    EXPECT_EQ(reply.status, 407) << credentials;
    Client tunnel(squid, credentials, true);
    EXPECT_EQ(tunnel.Get(origin_.BaseUrl() + "/a.txt").status, 407) << credentials;
  }
  // Two 407s for each: the offer of a challenge, and the answer to the wrong response.
  EXPECT_TRUE(squid.WaitForEntries(8)) << squid.Log();
  EXPECT_EQ(squid.AuthenticatedRequests(), 0) << squid.Log();
  EXPECT_EQ(squid.Connections(), 4) << squid.Log();
  const std::string verdicts = squid.CacheLog();
  EXPECT_NE(verdicts.find("NA wrong password"), std::string::npos) << verdicts;
  EXPECT_NE(verdicts.find("NA unknown user"), std::string::npos) << verdicts;
  EXPECT_TRUE(origin_.AccessLogLines().empty());
}

// The schemes of squid's first 407, to a request without credentials.
std::string FirstChallenge(const SquidServer& squid, const std::string& url) {
  ScopedSocket sock(ConnectLoopback(squid.port()));
  EXPECT_TRUE(sock.valid()) << squid.Failure();
  if (!sock.valid()) return {};
  EXPECT_TRUE(SendAllBytes(
      sock.get(), "GET " + url + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + "Connection: close\r\n\r\n"));
  return ReceiveUntilClose(sock.get(), std::chrono::seconds(10)).bytes;
}

TEST_F(SquidServerTest, OffersOnlyTheSchemesAsked) {
  SquidServer::Options options{"tester", "pw"};
  options.schemes = {SquidServer::Scheme::kDigest};
  const SquidServer digest(options);
  ASSERT_TRUE(digest.running()) << digest.Failure();
  const std::string digestOnly = FirstChallenge(digest, origin_.BaseUrl() + "/a.txt");
  EXPECT_EQ(digestOnly.rfind("HTTP/1.1 407 ", 0), 0u) << digestOnly;
  EXPECT_NE(digestOnly.find("Proxy-Authenticate: Digest realm=\"rz-test\""), std::string::npos)
      << digestOnly;
  EXPECT_EQ(digestOnly.find("NTLM"), std::string::npos) << digestOnly;
  Client ntlm(digest, "tester:pw");
  EXPECT_EQ(ntlm.Get(origin_.BaseUrl() + "/a.txt").status, 407);
  // Its helper knows the same user and password.
  Client client(digest, "tester:pw", false, CURLAUTH_DIGEST);
  EXPECT_EQ(client.Get(origin_.BaseUrl() + "/a.txt").status, 200) << digest.CacheLog();

  options.schemes = {SquidServer::Scheme::kNegotiate, SquidServer::Scheme::kNtlm};
  const SquidServer both(options);
  ASSERT_TRUE(both.running()) << both.Failure();
  const std::string two = FirstChallenge(both, origin_.BaseUrl() + "/a.txt");
  const auto negotiate = two.find("Proxy-Authenticate: Negotiate\r\n");
  ASSERT_NE(negotiate, std::string::npos) << two;
  EXPECT_NE(two.find("Proxy-Authenticate: NTLM\r\n", negotiate), std::string::npos) << two;
  EXPECT_EQ(two.find("Digest"), std::string::npos) << two;
}

TEST_F(SquidServerTest, RefusesCredentialsItCannotPassToTheHelper) {
  const SquidServer squid("tester", "two words");
  EXPECT_FALSE(squid.running());
  EXPECT_NE(squid.Failure().find("without spaces"), std::string::npos) << squid.Failure();
}

}  // namespace
}  // namespace rztest
