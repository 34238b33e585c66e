// The scriptable loopback server itself, driven by a raw client so that its behaviour does not
// depend on the library's socket layer.
#include "support/script_server.h"
#include "support/test_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace rztest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kWait = seconds(10);

// One raw client round: connect, send `request`, read until the server closes.
ReceiveResult Exchange(std::uint16_t port, const std::string& request) {
  SocketLibrary library;
  ScopedSocket sock(ConnectLoopback(port));
  EXPECT_TRUE(sock.valid());
  if (!sock.valid()) return {};
  EXPECT_TRUE(SendAllBytes(sock.get(), request));
  return ReceiveUntilClose(sock.get(), kWait);
}

TEST(ScriptServer, RespondAnswersAndRecordsTheExactRequest) {
  const std::string response = HttpResponse(200, "hello", {"X-Test: 1"});
  EXPECT_EQ(response, "HTTP/1.1 200 OK\r\nX-Test: 1\r\nContent-Length: 5\r\n\r\nhello");
  ScriptServer server(Respond(response));
  EXPECT_EQ(server.BaseUrl(), "http://127.0.0.1:" + std::to_string(server.port()));

  const std::string request = "POST /x HTTP/1.0\r\ncontent-length: 4\r\n\r\nbody";
  const ReceiveResult got = Exchange(server.port(), request);
  EXPECT_EQ(got.bytes, response);
  EXPECT_TRUE(got.closed);
  EXPECT_EQ(server.WaitForRequest(0, kWait), request);
  EXPECT_EQ(server.Connections(), 1);
}

// The request ends at the blank line, or after Content-Length body bytes, so a body sent late
// is still waited for and two requests on one connection are answered in turn.
TEST(ScriptServer, ReadRequestWaitsForTheBodyAndHandlesTwoRequests) {
  Script script;
  script.ReadRequest().Send("A").ReadRequest().Send("B").Close();
  ScriptServer server(script);

  SocketLibrary library;
  ScopedSocket sock(ConnectLoopback(server.port()));
  ASSERT_TRUE(sock.valid());
  ASSERT_TRUE(SendAllBytes(sock.get(), "GET /1 HTTP/1.0\r\nContent-Length: 3\r\n\r\nab"));
  char c = 0;
  EXPECT_EQ(WaitReadable(sock.get(), milliseconds(200)), 0) << "answered before the body ended";
  ASSERT_TRUE(SendAllBytes(sock.get(), "c"));
  ASSERT_EQ(ReceiveBytes(sock.get(), &c, 1), 1);
  EXPECT_EQ(c, 'A');
  ASSERT_TRUE(SendAllBytes(sock.get(), "GET /2 HTTP/1.0\r\n\r\n"));
  const ReceiveResult rest = ReceiveUntilClose(sock.get(), kWait);
  EXPECT_EQ(rest.bytes, "B");
  EXPECT_TRUE(rest.closed);
  EXPECT_EQ(server.WaitForRequest(0, kWait),
            "GET /1 HTTP/1.0\r\nContent-Length: 3\r\n\r\nabcGET /2 HTTP/1.0\r\n\r\n");
}

TEST(ScriptServer, SendSplitDeliversEveryPieceInOrder) {
  const std::string response = HttpResponse(200, std::string(3000, 'x'));
  Script script;
  script.ReadRequest().SendSplit(response, {1, 10, 10, 2000, 99999}, milliseconds(20));
  ScriptServer server(script);
  const ReceiveResult got = Exchange(server.port(), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(got.bytes, response);
  EXPECT_TRUE(got.closed);
}

TEST(ScriptServer, ResetAbortsTheConnection) {
  Script script;
  script.ReadRequest().Send("partial").Pause(milliseconds(100)).Reset();
  ScriptServer server(script);
  const ReceiveResult got = Exchange(server.port(), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(got.bytes, "partial");
#ifdef _WIN32
  // Wine shuts a socket down (FIN) before it closes it, so the RST comes second and a client
  // may see either; only the Linux build can check the reset itself.
  EXPECT_TRUE(got.reset || got.closed);
#else
  EXPECT_TRUE(got.reset);
  EXPECT_FALSE(got.closed);
#endif
}

TEST(ScriptServer, EachConnectionRunsItsScriptAndTheLastRepeats) {
  ScriptServer server({Respond("first"), Respond("second")});
  EXPECT_EQ(Exchange(server.port(), "GET /a HTTP/1.0\r\n\r\n").bytes, "first");
  EXPECT_EQ(Exchange(server.port(), "GET /b HTTP/1.0\r\n\r\n").bytes, "second");
  EXPECT_EQ(Exchange(server.port(), "GET /c HTTP/1.0\r\n\r\n").bytes, "second");
  server.WaitForRequest(2, kWait);
  const std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], "GET /a HTTP/1.0\r\n\r\n");
  EXPECT_EQ(requests[2], "GET /c HTTP/1.0\r\n\r\n");
}

// A server destroyed while a session holds its connection open, and while a client is
// connected but silent, must cut them off instead of waiting out the hold.
TEST(ScriptServer, DestructionCutsOffLiveSessions) {
  SocketLibrary library;
  {
    Script hold;
    hold.Hold(seconds(600));
    ScriptServer server({hold, Respond("late")});
    ScopedSocket a(ConnectLoopback(server.port()));
    ScopedSocket b(ConnectLoopback(server.port()));
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(b.valid());
    server.WaitForRequest(1, milliseconds(300));
  }
  SUCCEED();
}

TEST(ScriptServer, UnusedLoopbackPortRefusesConnections) {
  SocketLibrary library;
  ScopedSocket sock(ConnectLoopback(UnusedLoopbackPort()));
  EXPECT_FALSE(sock.valid());
}

}  // namespace
}  // namespace rztest
