// Connecting to hosts with several addresses: the first to connect wins, a dead address costs a
// stagger, a connect that never completes ends at the budget. Loopback on both builds; names that
// only a private hosts file knows (IPv6 only, a dead first address) in a network namespace the
// test makes itself (Linux, root).
#include "download/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "download/my_socket.h"
#include "download/proxy_tunnel.h"
#include "support/cannot_run.h"
#include "support/script_server.h"
#include "support/test_socket.h"
#include "support/tinyproxy_server.h"

#ifndef _WIN32
#include <unistd.h>

#include <filesystem>
#include <fstream>
#endif

namespace rz {
namespace {

using rztest::Loopback;
using rztest::Script;
using rztest::ScriptServer;
using std::chrono::seconds;

int gPolls = 0;
std::int32_t CountPolls() {
  ++gPolls;
  return 0;
}
std::int32_t StopAtOnce() { return kStoppedByCallback; }

platform::SocketAddress At(std::uint16_t port, bool ipv6 = false) {
  std::vector<platform::SocketAddress> found;
  EXPECT_TRUE(platform::LookupAddresses(ipv6 ? "[::1]" : "127.0.0.1", port, found));
  return found.at(0);
}

// Sends a request on `socket` and returns what `server` received as its connection `index`.
std::string Exchange(MySocket& socket, ScriptServer& server, std::size_t index = 0) {
  std::int32_t count = 18;
  EXPECT_EQ(socket.Send("GET / HTTP/1.0\r\n\r\n", count), kOk);
  return server.WaitForRequest(index, seconds(5));
}

TEST(ConnectFirst, TheFirstAddressThatConnectsWins) {
  platform::StartSocketLibrary();
  rztest::SynDropper dead(0, false);
  ASSERT_TRUE(dead.valid());
  ScriptServer live(Script().ReadRequest().Close());
  const auto refused = At(rztest::UnusedLoopbackPort());
  const struct {
    const char* name;
    std::vector<platform::SocketAddress> addresses;
    PollCallback poll;
    Status expected;
  } rows[] = {
      {"dead, then live 250 ms later", {At(dead.port()), At(live.port())}, nullptr, kOk},
      {"refused, then live at once", {refused, At(live.port())}, nullptr, kOk},
      {"only refused", {refused, refused}, nullptr, kConnectFailed},
      {"only dead: ends at the budget", {At(dead.port())}, CountPolls, kTimedOut},
      {"stopped by the poll callback", {At(dead.port())}, StopAtOnce, kStoppedByCallback},
  };
  for (const auto& row : rows) {
    gPolls = 0;
    platform::SocketHandle socket = platform::kInvalidSocket;
    int createError = 0;
    const auto start = std::chrono::steady_clock::now();
    // A budget of 1 s stands in for the 30 s one; the loop is the same.
    EXPECT_EQ(ConnectFirst(row.addresses, {row.poll, 1000000}, socket, createError), row.expected)
        << row.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(30)) << row.name;
    EXPECT_EQ(socket != platform::kInvalidSocket, row.expected == kOk) << row.name;
    if (row.poll == CountPolls) {
      EXPECT_GE(gPolls, 5) << "one call per 100 ms slice";
    }
    platform::CloseSocket(socket);
  }
  EXPECT_EQ(live.Connections(), 2);
  platform::StopSocketLibrary();
}

TEST(ConnectFirst, MySocketOpensIPv6LiteralsAndEndsAtItsBudget) {
  for (const char* host : {"[::1]", "::1"}) {
    ScriptServer server(Script().ReadRequest().Close(), Loopback::kIPv6);
    MySocket socket(host, server.port(), nullptr);
    ASSERT_EQ(socket.Open(), kOk) << host;
    EXPECT_EQ(Exchange(socket, server), "GET / HTTP/1.0\r\n\r\n") << host;
    EXPECT_EQ(socket.Close(), kOk);
  }
  rztest::SynDropper dead(0, true);
  ASSERT_TRUE(dead.valid());
  MySocket socket("::1", dead.port(), nullptr);
  EXPECT_EQ(socket.OpenWithin(500000), kTimedOut);
  EXPECT_EQ(socket.Close(), kOk);
}

TEST(ProxyTunnel, OpensOnlyOnAClean2xxAnswer) {
  const std::string ask =
      "CONNECT files.test:443 HTTP/1.1\r\nHost: files.test:443\r\n"
      "Proxy-Authorization: Basic dTpw\r\n\r\n";
  const struct {
    Script proxy;
    Status expected;
    int proxyStatus;
  } rows[] = {
      {Script().ReadRequest().Send("HTTP/1.1 200 OK\r\n\r\n").ReadRequest().Send("end").Close(),
       kOk, 200},
      {rztest::Respond(rztest::HttpResponse(407, "who?")), kHttpRefused, 407},
      {rztest::Respond("HTTP/1.1 200 OK\r\n\r\nearly"), kBadResponseHeader, 200},
      {Script().ReadRequest().Close(), kBadResponseHeader, 0},
  };
  ProxyServer credentials;
  ASSERT_EQ(ParseProxyServer("u:p@127.0.0.1", 80, credentials).fault, ProxyFault::kOk);
  for (const auto& row : rows) {
    ScriptServer proxy(row.proxy);
    MySocket socket("127.0.0.1", proxy.port(), nullptr);
    ASSERT_EQ(socket.Open(), kOk);
    TunnelAnswer answer;
    answer.status = -1;
    EXPECT_EQ(OpenTunnel(socket, "files.test", 443, credentials, nullptr, answer), row.expected);
    EXPECT_EQ(answer.status, row.proxyStatus);
    if (row.expected == kOk) {
      EXPECT_EQ(Exchange(socket, proxy), ask + "GET / HTTP/1.0\r\n\r\n");
    } else {
      EXPECT_EQ(proxy.WaitForRequest(0), ask);
    }
    EXPECT_EQ(socket.Close(), kOk);
  }
}

#ifndef _WIN32
TEST(ProxyTunnel, ThroughTinyproxyToALoopbackServer) {
  if (!rztest::TinyproxyServer::Available()) RZT_CANNOT_RUN("tinyproxy is not installed");
  rztest::TinyproxyServer proxy("user", "pass");
  ASSERT_TRUE(proxy.running()) << proxy.Failure();
  ScriptServer files(rztest::Respond("tunnelled"));
  ProxyServer server;
  ASSERT_EQ(ParseProxyServer("user:pass@127.0.0.1", proxy.port(), server).fault, ProxyFault::kOk);
  MySocket socket("127.0.0.1", proxy.port(), nullptr);
  ASSERT_EQ(socket.Open(), kOk);
  TunnelAnswer answer;
  ASSERT_EQ(OpenTunnel(socket, "127.0.0.1", files.port(), server, nullptr, answer), kOk)
      << answer.status << proxy.Log();
  EXPECT_EQ(Exchange(socket, files), "GET / HTTP/1.0\r\n\r\n");
  char buffer[64] = {};
  std::int32_t length = sizeof buffer;
  const Status received = socket.Receive(buffer, length);
  EXPECT_TRUE(received == kOk || received == kMoreData) << received;
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), "tunnelled");
  EXPECT_EQ(socket.Close(), kOk);
}

// Runs inside the namespace only, started by the case below: names its hosts file gives.
TEST(DISABLED_InNamespace, NamesFromThePrivateHostsFile) {
  ScriptServer six(Script().ReadRequest().Close(), Loopback::kIPv6);
  MySocket onlySix("v6only.test", six.port(), nullptr);
  ASSERT_EQ(onlySix.Open(), kOk);
  EXPECT_EQ(Exchange(onlySix, six), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(onlySix.Close(), kOk);

  // deadfirst.test is ::1, which drops SYNs on this port, then 127.0.0.1, which serves.
  ScriptServer four(Script().ReadRequest().Close());
  rztest::SynDropper dead(four.port(), true);
  ASSERT_TRUE(dead.valid());
  std::vector<platform::SocketAddress> order;
  ASSERT_TRUE(platform::LookupAddresses("deadfirst.test", four.port(), order));
  ASSERT_EQ(platform::AddressText(order.at(0)), "::1");
  MySocket deadFirst("deadfirst.test", four.port(), nullptr);
  ASSERT_EQ(deadFirst.Open(), kOk);
  EXPECT_EQ(Exchange(deadFirst, four), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(deadFirst.Close(), kOk);
}

TEST(NameLookup, NamesOnlyAPrivateHostsFileKnows) {
  if (geteuid() != 0 || std::system("ip netns list >/dev/null 2>&1") != 0) {
    RZT_CANNOT_RUN("needs root and ip netns");
  }
  const std::string name = "rz-lookup-" + std::to_string(getpid());
  const std::filesystem::path etc = "/etc/netns/" + name;
  std::filesystem::create_directories(etc);
  std::ofstream(etc / "hosts") << "127.0.0.1 localhost\n::1 v6only.test deadfirst.test\n"
                                  "127.0.0.1 deadfirst.test\n";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string in = "ip netns exec " + name + " ";
  const int result =
      std::system(("ip netns add " + name + " && " + in + "ip link set lo up && " + in + self +
                   " --gtest_also_run_disabled_tests --gtest_filter=DISABLED_InNamespace.*")
                      .c_str());
  // A namespace that is already gone needs no deleting.
  [[maybe_unused]] const int deleted =
      std::system(("ip netns del " + name + " 2>/dev/null").c_str());
  std::filesystem::remove_all(etc);
  EXPECT_EQ(result, 0);
}
#endif

}  // namespace
}  // namespace rz
