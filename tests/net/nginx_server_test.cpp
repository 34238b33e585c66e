// The nginx fixture: it serves files from its docroot, takes extra locations and logs requests.
#include "support/test_socket.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "support/cannot_run.h"
#include "support/nginx_server.h"

#include <chrono>
#include <string>

namespace rztest {
namespace {

constexpr std::chrono::seconds kWait(10);

std::string Get(std::uint16_t port, const std::string& target) {
  ScopedSocket sock(ConnectLoopback(port));
  EXPECT_TRUE(sock.valid());
  if (!sock.valid()) return {};
  EXPECT_TRUE(SendAllBytes(sock.get(), "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
  return ReceiveUntilClose(sock.get(), kWait).bytes;
}

class NginxServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::Available()) RZT_CANNOT_RUN("nginx is not installed");
  }
};

TEST_F(NginxServerTest, ServesFilesAndLogsEachRequest) {
  NginxServer nginx("    location = /broken { return 500; }\n");
  EXPECT_EQ(nginx.BaseUrl(), "http://127.0.0.1:" + std::to_string(nginx.port()));
  const std::string body(100000, 'z');
  nginx.WriteFile("ads/big file.bin", body);

  const std::string ok = Get(nginx.port(), "/ads/big%20file.bin");
  EXPECT_EQ(ok.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ok.substr(0, 200);
  ASSERT_GE(ok.size(), body.size());
  EXPECT_EQ(ok.substr(ok.size() - body.size()), body);

  EXPECT_EQ(Get(nginx.port(), "/missing").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(Get(nginx.port(), "/broken").rfind("HTTP/1.1 500", 0), 0u);

  const auto lines = nginx.AccessLogLines();
  ASSERT_EQ(lines.size(), 3u) << nginx.ErrorLog();
  EXPECT_EQ(lines[0], "\"GET /ads/big%20file.bin HTTP/1.0\" 200 100000 \"-\"");
  EXPECT_EQ(lines[1].find("\"GET /missing HTTP/1.0\" 404 "), 0u);
  EXPECT_EQ(lines[2].find("\"GET /broken HTTP/1.0\" 500 "), 0u);
}

TEST_F(NginxServerTest, StopsOnDestructionAndFreesThePort) {
  std::uint16_t port = 0;
  {
    NginxServer nginx;
    port = nginx.port();
  }
  ScopedSocket sock(ConnectLoopback(port));
  EXPECT_FALSE(sock.valid());
}

}  // namespace
}  // namespace rztest
#endif  // _WIN32
