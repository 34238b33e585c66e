// Whole refreshes of https entries against nginx over TLS with a test CA (Linux; the Windows build
// runs the same servers from the host tests under Wine). Each row lists one URL and checks the
// result, the debug line that says why, and that a refused server was never sent a request.
#ifndef _WIN32

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "support/cannot_run.h"
#include "support/refresh_fixture.h"
#include "support/tls_file_server.h"

namespace rztest {
namespace {

const std::string kFile = PatternBytes(900, 3);
const std::string kBig = PatternBytes(96 * 1024, 4);  // large enough to be kept after a cut
const std::size_t kHalf = kBig.size() / 2;

// Behind nginx: the first request for a file is cut half-way after its header, a continuation
// is answered with the rest.
std::string Upstream(const std::string& request) {
  const std::string etag = "ETag: \"v1\"";
  if (request.find("Range: bytes=" + std::to_string(kHalf) + "-") != std::string::npos) {
    return HttpResponse(
        206, kBig.substr(kHalf),
        {etag, "Content-Range: bytes " + std::to_string(kHalf) + "-" +
                   std::to_string(kBig.size() - 1) + "/" + std::to_string(kBig.size())});
  }
  const std::string whole = HttpResponse(200, kBig, {etag});
  return whole.substr(0, whole.size() - kHalf);
}

class Tls : public RefreshTest {
 protected:
  void SetUp() override {
    if (const std::string why = TlsFileServer::Unavailable(); !why.empty()) RZT_CANNOT_RUN(why);
    RefreshTest::SetUp();
    const TlsFileServer::Ports ports = TlsFileServer::ChoosePorts();
    const std::string good = "https://localhost:" + std::to_string(ports.good);
    const std::string proxy = "{ proxy_pass " + upstream_.BaseUrl() + "; proxy_buffering off; }\n";
    server_ = std::make_unique<TlsFileServer>(
        ports, "location = /to-https { return 301 " + good + "/a.bin; }\n" +
                   "location = /to-http { return 302 " + trap_.BaseUrl() + "/a.bin; }\n" +
                   "location = /cut.bin " + proxy + "location = /big.bin " + proxy);
    server_->WriteFile("a.bin", kFile);
    ::setenv("SSL_CERT_FILE", server_->CaFile().c_str(), 1);
    ::setenv("RAZARA_DEBUG", "1", 1);
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("RAZARA_DEBUG");
  }

  // One refresh listing `url`: its result and the debug lines it wrote.
  int Refresh(const std::string& url, std::string& lines) {
    ScriptServer service(ServiceAnswering(GetAdReply({url})));
    testing::internal::CaptureStderr();
    const int result = Call(service.BaseUrl() + "/AdService.asmx");
    lines = testing::internal::GetCapturedStderr();
    return result;
  }

  ScriptServer upstream_{Script().Answer(Upstream)};
  ScriptServer trap_{Script().Close()};
  std::unique_ptr<TlsFileServer> server_;
};

struct Row {
  const char* name;
  std::function<std::string(const TlsFileServer&)> url;
  int result;
  const char* line;  // in the debug output
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const Row kRows[] = {
    {"Trusted", [](const TlsFileServer& s) { return s.GoodUrl() + "/a.bin"; }, 0, "result 0"},
    // An address is checked against the certificate's IP names (Wine's check knows DNS names
    // only, so the Windows build has no such row).
    {"TrustedByAddress", [](const TlsFileServer& s) { return s.GoodIpUrl() + "/a.bin"; }, 0,
     "result 0"},
    {"SchemeInAnyCase",
     [](const TlsFileServer& s) { return "HTTPS" + s.GoodUrl().substr(5) + "/a.bin"; }, 0,
     "result 0"},
    {"UntrustedCa", [](const TlsFileServer& s) { return s.UntrustedUrl() + "/a.bin"; }, 2,
     "failed: -1031 (TLS certificate not trusted; OpenSSL verify error"},
    {"NameMismatch", [](const TlsFileServer& s) { return s.MismatchUrl() + "/a.bin"; }, 2,
     "failed: -1033 (TLS certificate name mismatch; OpenSSL verify error 62"},
    {"NotTlsAtAll", [](const TlsFileServer& s) { return "https" + s.PlainUrl().substr(4) + "/a"; },
     2, "failed: -1034 (TLS handshake failure; OpenSSL handshake failed"},
    {"CutBody", [](const TlsFileServer& s) { return s.GoodUrl() + "/cut.bin"; }, 2, "failed: -10"},
    {"HttpToHttps", [](const TlsFileServer& s) { return s.PlainUrl() + "/to-https"; }, 0,
     "redirect 301 http://localhost:"},
    {"HttpsToHttpRefused", [](const TlsFileServer& s) { return s.GoodUrl() + "/to-http"; }, 2,
     "failed: -823 (redirect cannot be followed"},
};

class TlsRow : public Tls, public testing::WithParamInterface<Row> {};

TEST_P(TlsRow, Row) {
  const Row& row = GetParam();
  const std::string url = row.url(*server_);
  std::string lines;
  const int result = Refresh(url, lines);
  EXPECT_EQ(result, row.result) << lines;
  EXPECT_NE(lines.find(row.line), std::string::npos) << lines;
  const std::string name = url.substr(url.rfind('/') + 1);
  EXPECT_EQ(ReadFile(CachePath(name)), row.result == 0 ? kFile : "") << "not the served bytes";
  // A refused certificate ends the fetch before any request; a refused redirect never reaches
  // its target.
  EXPECT_EQ(trap_.Connections(), 0);
  if (std::string(row.line).find("failed: -103") != std::string::npos) {
    for (const auto& line : server_->nginx().AccessLogLines()) {
      EXPECT_EQ(line.find("GET "), std::string::npos) << "a request was sent: " << line;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Https, TlsRow, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

// A file cut half-way over TLS keeps its bytes; the next refresh continues it from there.
TEST_F(Tls, CutFileIsResumedOverTls) {
  const std::string url = server_->GoodUrl() + "/big.bin";
  std::string lines;
  EXPECT_EQ(Refresh(url, lines), 2) << lines;
  EXPECT_EQ(Refresh(url, lines), 0) << lines;
  EXPECT_NE(lines.find("resumed from byte " + std::to_string(kHalf)), std::string::npos) << lines;
  EXPECT_TRUE(ReadFile(CachePath("big.bin")) == kBig) << "big.bin differs";
  EXPECT_EQ(upstream_.Connections(), 2);
}

}  // namespace
}  // namespace rztest

#endif  // _WIN32
