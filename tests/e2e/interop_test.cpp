// Whole refreshes against the web servers ad operators run, from Debian's packages, each on a
// free loopback port: a small file and one of several MiB arrive byte-identical, and a file the
// server does not have fails the call. Under Wine nginx and lighttpd run; the others would add
// time without adding cover.
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host_process.h"
#include "support/cannot_run.h"
#include "support/refresh_fixture.h"
#include "support/web_server.h"

namespace rze {
namespace {

using rztest::WebServer;
using rztest::WebServerKind;

struct Server {
  WebServerKind kind;
  bool onWine;
};

constexpr Server kServers[] = {
    {WebServerKind::kNginx, true},  {WebServerKind::kApache, false},
    {WebServerKind::kCaddy, false}, {WebServerKind::kLighttpd, true},
    {WebServerKind::kH2o, false},   {WebServerKind::kBusybox, false},
};

class Interop : public testing::TestWithParam<std::tuple<Host, Server>> {
 protected:
  void SetUp() override {
    const auto [host, server] = GetParam();
    if (!WebServer::Available(server.kind)) {
      RZT_CANNOT_RUN(std::string(WebServer::Name(server.kind)) + " is not installed");
    }
    folder_ = std::make_unique<HostFolder>(host);
    if (!folder_->error().empty()) RZT_CANNOT_RUN(folder_->error());
    server_ = std::make_unique<WebServer>(server.kind);
  }

  // One refresh whose service lists `names` on the server.
  RunResult Refresh(const std::vector<std::string>& names) {
    std::vector<std::string> flashes;
    for (const auto& name : names) flashes.push_back(server_->BaseUrl() + "/" + name);
    rztest::ScriptServer service(rztest::ServiceAnswering(rztest::GetAdReply(flashes)));
    const RunResult result = folder_->Run(service.BaseUrl() + "/AdService.asmx");
    EXPECT_FALSE(result.timedOut) << Describe(result);
    return result;
  }

  std::unique_ptr<HostFolder> folder_;
  std::unique_ptr<WebServer> server_;
};

TEST_P(Interop, FetchesASmallAndALargeFileByteIdentical) {
  const std::string small = rztest::PatternBytes(900, 1);
  const std::string large = rztest::PatternBytes(5 * 1024 * 1024 + 77, 2);
  server_->WriteFile("small.bin", small);
  server_->WriteFile("large.bin", large);
  const RunResult result = Refresh({"small.bin", "large.bin"});
  ASSERT_EQ(result.exitCode, 0) << Describe(result) << server_->Logs();
  EXPECT_EQ(rztest::ReadFile(folder_->CachePath("small.bin")), small);
  EXPECT_TRUE(rztest::ReadFile(folder_->CachePath("large.bin")) == large) << "large.bin differs";
  EXPECT_EQ(rztest::CacheContents(folder_->CacheDir()),
            (std::vector<std::string>{"FileList.xml", "large.bin", "small.bin"}));
}

TEST_P(Interop, AFileTheServerDoesNotHaveFailsWith2) {
  const RunResult result = Refresh({"missing.bin"});
  EXPECT_EQ(result.exitCode, 2) << Describe(result) << server_->Logs();
  EXPECT_TRUE(rztest::CacheContents(folder_->CacheDir()).empty());
}

std::string ParamName(const testing::TestParamInfo<Interop::ParamType>& info) {
  return HostName(std::get<0>(info.param)) + "_" + WebServer::Name(std::get<1>(info.param).kind);
}

std::vector<Interop::ParamType> Cases() {
  std::vector<Interop::ParamType> cases;
  for (const Server& server : kServers) cases.emplace_back(Host::kLinux, server);
  for (const Server& server : kServers) {
    if (server.onWine) cases.emplace_back(Host::kWindows, server);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Servers, Interop, testing::ValuesIn(Cases()), ParamName);

}  // namespace
}  // namespace rze
