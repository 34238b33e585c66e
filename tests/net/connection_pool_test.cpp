// The call's kept https connections: a request whose response left its connection fit for reuse
// gives it to the pool, which hands it back only to a request of the same origin and route, the
// most recently kept first, and closes the one idle the longest when it is full. Against the nginx
// TLS fixture, so Linux only (the Windows build runs the kept-alive rows of tls_host_test).
#include "download/connection_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "download/http_downloader.h"
#include "support/cannot_run.h"
#include "support/files.h"
#include "support/tls_file_server.h"

namespace rz {
namespace {

// One https request on a new connection, kept in `pool` afterwards; the connection it used.
const MySocket* FetchedAndKept(std::int32_t port, ConnectionPool& pool, const std::string& path) {
  HttpDownloader downloader("localhost", port, path.c_str());
  downloader.useTls = true;
  downloader.pool = &pool;
  downloader.freshConnection = true;
  EXPECT_EQ(downloader.Connect(), kOk);
  EXPECT_EQ(downloader.SendRequest("/a.bin", 0), kOk);
  EXPECT_EQ(downloader.ReceiveToFile(nullptr, path.c_str(), 0), kOk);
  EXPECT_TRUE(downloader.keepConnection);
  const MySocket* used = downloader.connection.get();
  EXPECT_EQ(downloader.Disconnect(), kOk);
  return used;
}

TEST(ConnectionPool, OwnKeyOnlyNewestFirstAndBounded) {
  if (const std::string why = rztest::TlsFileServer::Unavailable(); !why.empty()) {
    RZT_CANNOT_RUN(why);
  }
  const rztest::TlsFileServer server;
  server.WriteFile("a.bin", std::string(1000, 'a'));
  ::setenv("SSL_CERT_FILE", server.CaFile().c_str(), 1);
  const rztest::TempDir dir;
  const std::string url = server.GoodUrl();
  const std::int32_t port = std::stoi(url.substr(url.rfind(':') + 1));
  {
    ConnectionPool pool(2);
    const MySocket* kept[3];
    for (const MySocket*& used : kept) used = FetchedAndKept(port, pool, dir.Path("a.bin"));
    // Two fit: the third closed the first.
    EXPECT_EQ(pool.Take(ConnectionPool::KeyOf("localhost", port, "127.0.0.1:3128", {})), nullptr);
    const std::string direct = ConnectionPool::KeyOf("localhost", port, {}, {});
    EXPECT_EQ(pool.Take(direct).get(), kept[2]);
    EXPECT_EQ(pool.Take(direct).get(), kept[1]);
    EXPECT_EQ(pool.Take(direct), nullptr);
  }
  ::unsetenv("SSL_CERT_FILE");
}

}  // namespace
}  // namespace rz
