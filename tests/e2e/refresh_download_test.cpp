// Whole RazaRa calls through the host, on both builds, with nginx as the ad file server: the
// download pass (results 0 and 2) and what it leaves in the cache folder.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "refresh_fixture.h"
#include "support/nginx_server.h"

namespace rze {
namespace {
namespace fs = std::filesystem;

class Download : public RefreshTest {
 protected:
  void SetUp() override {
    if (!rztest::NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
    RefreshTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // Files under /slow/ trickle out unless a range is asked for, so a host can be killed
    // half-way through one and the continuation still comes at once.
    nginx_ = std::make_unique<rztest::NginxServer>(
        "location = /broken { return 500; }\n"
        "location /slow/ { if ($http_range = \"\") { limit_rate 256k; } }");
  }

  rztest::NginxServer& nginx() { return *nginx_; }
  std::string FileUrl(const std::string& path) { return nginx_->BaseUrl() + "/" + path; }

  // Requests nginx has completed that name `path` in their request line.
  int RequestsFor(const std::string& path) {
    int count = 0;
    for (const auto& line : nginx_->AccessLogLines()) {
      if (line.find("/" + path + " HTTP/") != std::string::npos) ++count;
    }
    return count;
  }

  // The service answers with `flashes`; returns its URL.
  std::string ServiceListing(const std::vector<std::string>& flashes) {
    service_ = std::make_unique<rztest::ScriptServer>(ServiceAnswering(GetAdReply(flashes)));
    return service_->BaseUrl() + "/AdService.asmx";
  }

 private:
  std::unique_ptr<rztest::NginxServer> nginx_;
  std::unique_ptr<rztest::ScriptServer> service_;
};

TEST_P(Download, FetchesEveryListedFileByteIdenticalAndSavesTheList) {
  const std::string empty;
  const std::string small = PatternBytes(900, 1);
  const std::string large = PatternBytes(3 * 1024 * 1024 + 123, 2);
  nginx().WriteFile("ads/empty.bin", empty);
  nginx().WriteFile("ads/small.bin", small);
  nginx().WriteFile("ads/large.bin", large);
  const std::vector<std::string> flashes = {FileUrl("ads/empty.bin"), FileUrl("ads/small.bin"),
                                            FileUrl("ads/large.bin")};
  const std::string url = ServiceListing(flashes);

  const RunResult result = Call(url);
  ASSERT_EQ(result.exitCode, 0) << Describe(result);
  EXPECT_EQ(ReadFile(host().CachePath("empty.bin")), empty);
  EXPECT_EQ(ReadFile(host().CachePath("small.bin")), small);
  EXPECT_TRUE(ReadFile(host().CachePath("large.bin")) == large) << "large.bin differs";
  std::vector<std::string> saved;
  EXPECT_TRUE(ParseBack(host().CachePath("FileList.xml"), saved));
  EXPECT_EQ(saved, flashes);
  EXPECT_EQ(ListFolder(host().CacheDir()),
            (std::vector<std::string>{"FileList.xml", "empty.bin", "large.bin", "small.bin"}));

  // An empty file counts as absent, so only that one is asked for again.
  const RunResult again = Call(url);
  ASSERT_EQ(again.exitCode, 0) << Describe(again);
  EXPECT_EQ(RequestsFor("ads/empty.bin"), 2);
  EXPECT_EQ(RequestsFor("ads/small.bin"), 1);
  EXPECT_EQ(RequestsFor("ads/large.bin"), 1);
}

TEST_P(Download, ASecondCallRequestsNothing) {
  nginx().WriteFile("a.bin", "first ad");
  nginx().WriteFile("b.bin", "second ad");
  const std::string url = ServiceListing({FileUrl("a.bin"), FileUrl("b.bin")});
  const RunResult first = Call(url);
  ASSERT_EQ(first.exitCode, 0) << Describe(first);
  const auto logAfterFirst = nginx().AccessLogLines();
  EXPECT_EQ(logAfterFirst.size(), 2u);

  const RunResult second = Call(url);
  EXPECT_EQ(second.exitCode, 0) << Describe(second);
  EXPECT_EQ(nginx().AccessLogLines(), logAfterFirst);
  EXPECT_EQ(ReadFile(host().CachePath("b.bin")), "second ad");
}

TEST_P(Download, TakesAnEntryWithBackslashesAndNoSchemeAsAnHttpUrl) {
  nginx().WriteFile("ads/spring/clip01.swf", "clip");
  const std::string hostPort = "127.0.0.1:" + std::to_string(nginx().port());
  const RunResult result = Call(ServiceListing({hostPort + "\\ads\\spring\\clip01.swf"}));
  ASSERT_EQ(result.exitCode, 0) << Describe(result);
  EXPECT_EQ(ReadFile(host().CachePath("clip01.swf")), "clip");
  // Asked for at the explicit port, with the path as the request target.
  const auto log = nginx().AccessLogLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("\"GET /ads/spring/clip01.swf HTTP/1.0\" 200", 0), 0u) << log[0];
}

TEST_P(Download, FetchesAnEmptyFileLeftInTheCacheAgain) {
  nginx().WriteFile("healed.bin", "whole again");
  ASSERT_TRUE(host().MakeCacheDir());
  ASSERT_TRUE(WriteFile(host().CachePath("healed.bin"), ""));
  // A folder of a listed file's name counts as present and is left alone.
  ASSERT_TRUE(MakeDirs(host().CachePath("folder.bin")));
  const RunResult result = Call(ServiceListing({FileUrl("healed.bin"), FileUrl("folder.bin")}));
  ASSERT_EQ(result.exitCode, 0) << Describe(result);
  EXPECT_EQ(ReadFile(host().CachePath("healed.bin")), "whole again");
  EXPECT_EQ(RequestsFor("folder.bin"), 0);
}

TEST_P(Download, StopsAtAnEntryWithoutAFileNameBeforeAnyRequest) {
  nginx().WriteFile("later.bin", "never asked for");
  const RunResult result = Call(ServiceListing({FileUrl("ads/"), FileUrl("later.bin")}));
  EXPECT_EQ(result.exitCode, 2) << Describe(result);
  EXPECT_TRUE(nginx().AccessLogLines().empty());
  EXPECT_TRUE(ListFolder(host().CacheDir()).empty());
}

TEST_P(Download, StopsAtANameTooLongForTheCacheBeforeAnyRequest) {
  // The entry fits its 259 bytes, but the cache folder and the name together do not.
  const std::string name(230, 'n');
  nginx().WriteFile(name, "never asked for");
  const RunResult result = Call(ServiceListing({FileUrl(name)}));
  EXPECT_EQ(result.exitCode, 2) << Describe(result);
  EXPECT_TRUE(nginx().AccessLogLines().empty());
  EXPECT_TRUE(ListFolder(host().CacheDir()).empty());
}

TEST_P(Download, AFailedStatusLeavesNoFileAndNoPartFile) {
  for (const char* path : {"missing.bin", "broken"}) {
    SCOPED_TRACE(path);
    const RunResult result = Call(ServiceListing({FileUrl(path)}));
    EXPECT_EQ(result.exitCode, 2) << Describe(result);
    EXPECT_EQ(RequestsFor(path), 1);
    EXPECT_TRUE(ListFolder(host().CacheDir()).empty());
  }
}

TEST_P(Download, ABodyCutShortLeavesNoFile) {
  // Announces 1000 bytes, sends 10 and closes.
  rztest::ScriptServer files(rztest::Script().ReadRequest().Send(
      "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789"));
  const RunResult result = Call(ServiceListing({files.BaseUrl() + "/cut.bin"}));
  EXPECT_EQ(result.exitCode, 2) << Describe(result);
  EXPECT_EQ(files.Connections(), 1);
  EXPECT_TRUE(ListFolder(host().CacheDir()).empty());
}

TEST_P(Download, StopsAtTheThirdOfFiveAndKeepsTheOldList) {
  for (const char* name : {"one.bin", "two.bin", "four.bin", "five.bin"}) {
    nginx().WriteFile(name, std::string("ad ") + name);
  }
  ASSERT_TRUE(host().MakeCacheDir());
  const std::string oldList = GetAdReply({FileUrl("one.bin")});
  ASSERT_TRUE(WriteFile(host().CachePath("FileList.xml"), oldList));

  const RunResult result =
      Call(ServiceListing({FileUrl("one.bin"), FileUrl("two.bin"), FileUrl("three.bin"),
                           FileUrl("four.bin"), FileUrl("five.bin")}));
  EXPECT_EQ(result.exitCode, 2) << Describe(result);
  EXPECT_EQ(ReadFile(host().CachePath("one.bin")), "ad one.bin");
  EXPECT_EQ(ReadFile(host().CachePath("two.bin")), "ad two.bin");
  EXPECT_EQ(RequestsFor("three.bin"), 1);
  EXPECT_EQ(RequestsFor("four.bin"), 0);
  EXPECT_EQ(RequestsFor("five.bin"), 0);
  EXPECT_EQ(ReadFile(host().CachePath("FileList.xml")), oldList);
  EXPECT_EQ(ListFolder(host().CacheDir()),
            (std::vector<std::string>{"FileList.xml", "one.bin", "two.bin"}));
}

TEST_P(Download, ResumesAFileItsKilledHostLeftHalfWay) {
  const std::string big = PatternBytes(1024 * 1024, 3);
  nginx().WriteFile("slow/big.bin", big);
  const std::string url = ServiceListing({FileUrl("slow/big.bin")});
  const std::string part = host().CacheDir() + ".staging/big.bin.part";
  std::error_code error;
  const auto size = [&] { return static_cast<std::size_t>(fs::file_size(part, error)); };
  const RunResult killed =
      host().Run("OUTSIDE-0042", "HARDWARE-7", url, true, std::chrono::seconds(60), [&] {
        error.clear();
        return size() >= 256 * 1024 && !error;
      });
  ASSERT_TRUE(killed.killed) << Describe(killed);
  const std::size_t kept = size();
  ASSERT_LT(kept, big.size());

  const RunResult result = Call(url);
  ASSERT_EQ(result.exitCode, 0) << Describe(result);
  EXPECT_TRUE(ReadFile(host().CachePath("big.bin")) == big) << "big.bin differs";
  // One 206 with exactly the missing bytes.
  const std::string continuation =
      " 206 " + std::to_string(big.size() - kept) + " \"bytes=" + std::to_string(kept) + "-\"";
  int continuations = 0;
  for (const auto& line : nginx().AccessLogLines()) {
    if (line.find(continuation) != std::string::npos) ++continuations;
  }
  EXPECT_EQ(continuations, 1) << continuation;
}

TEST_P(Download, FailsWithoutACacheFolder) {
  nginx().WriteFile("a.bin", "an ad");
  const RunResult result = Call(ServiceListing({FileUrl("a.bin")}), /*makeCacheDir=*/false);
  EXPECT_EQ(result.exitCode, 2) << Describe(result);
  EXPECT_FALSE(Exists(host().dir() + "/Tavrin"));
}

RZE_INSTANTIATE_FOR_BOTH_HOSTS(Download);

}  // namespace
}  // namespace rze
