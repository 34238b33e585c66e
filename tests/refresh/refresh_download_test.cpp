// Whole refreshes in this process, on both builds: the download pass (results 0 and 2) and what
// it leaves in the cache folder. nginx serves the ad files on Linux; a Windows program cannot
// start it, so there the scripted FileServer does.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache_paths.h"
#include "entry/download_pass.h"
#include "entry/refresh.h"
#include "support/cannot_run.h"
#include "support/file_server.h"
#include "support/nginx_server.h"
#include "support/refresh_fixture.h"

namespace rztest {
namespace {

#ifdef _WIN32
using AdFileServer = FileServer;
#else
using AdFileServer = NginxServer;
#endif

class Download : public RefreshTest {
 protected:
  void SetUp() override {
#ifndef _WIN32
    if (!NginxServer::Available()) RZT_CANNOT_RUN("nginx is not installed");
#endif
    RefreshTest::SetUp();
    files_ = std::make_unique<AdFileServer>();
  }

  AdFileServer& files() { return *files_; }
  std::string FileUrl(const std::string& path) { return files_->BaseUrl() + "/" + path; }

  // Requests the file server has answered that name `path` in their request line.
  int RequestsFor(const std::string& path) {
    int count = 0;
    for (const auto& line : files_->AccessLogLines()) {
      if (line.find("/" + path + " HTTP/") != std::string::npos) ++count;
    }
    return count;
  }

  // The service answers with `flashes`; returns its URL.
  std::string ServiceListing(const std::vector<std::string>& flashes) {
    service_ = std::make_unique<ScriptServer>(ServiceAnswering(GetAdReply(flashes)));
    return service_->BaseUrl() + "/AdService.asmx";
  }

 private:
  std::unique_ptr<AdFileServer> files_;
  std::unique_ptr<ScriptServer> service_;
};

TEST_F(Download, FetchesEveryListedFileByteIdenticalAndSavesTheList) {
  const std::string empty;
  const std::string small = PatternBytes(900, 1);
  const std::string large = PatternBytes(3 * 1024 * 1024 + 123, 2);
  files().WriteFile("ads/empty.bin", empty);
  files().WriteFile("ads/small.bin", small);
  files().WriteFile("ads/large.bin", large);
  const std::vector<std::string> flashes = {FileUrl("ads/empty.bin"), FileUrl("ads/small.bin"),
                                            FileUrl("ads/large.bin")};
  const std::string url = ServiceListing(flashes);

  ASSERT_EQ(Call(url), 0);
  EXPECT_EQ(ReadFile(CachePath("empty.bin")), empty);
  EXPECT_EQ(ReadFile(CachePath("small.bin")), small);
  EXPECT_TRUE(ReadFile(CachePath("large.bin")) == large) << "large.bin differs";
  std::vector<std::string> saved;
  EXPECT_TRUE(ParseBack(CachePath("FileList.xml"), saved));
  EXPECT_EQ(saved, flashes);
  EXPECT_EQ(CacheContents(cacheDir()),
            (std::vector<std::string>{"FileList.xml", "empty.bin", "large.bin", "small.bin"}));

  // An empty file counts as absent, so only that one is asked for again.
  ASSERT_EQ(Call(url), 0);
  EXPECT_EQ(RequestsFor("ads/empty.bin"), 2);
  EXPECT_EQ(RequestsFor("ads/small.bin"), 1);
  EXPECT_EQ(RequestsFor("ads/large.bin"), 1);
}

TEST_F(Download, ASecondCallRequestsNothing) {
  files().WriteFile("a.bin", "first ad");
  files().WriteFile("b.bin", "second ad");
  const std::string url = ServiceListing({FileUrl("a.bin"), FileUrl("b.bin")});
  ASSERT_EQ(Call(url), 0);
  const auto logAfterFirst = files().AccessLogLines();
  EXPECT_EQ(logAfterFirst.size(), 2u);

  EXPECT_EQ(Call(url), 0);
  EXPECT_EQ(files().AccessLogLines(), logAfterFirst);
  EXPECT_EQ(ReadFile(CachePath("b.bin")), "second ad");
}

TEST_F(Download, TakesAnEntryWithBackslashesAndNoSchemeAsAnHttpUrl) {
  files().WriteFile("ads/spring/clip01.swf", "clip");
  const std::string hostPort = "127.0.0.1:" + std::to_string(files().port());
  ASSERT_EQ(Call(ServiceListing({hostPort + "\\ads\\spring\\clip01.swf"})), 0);
  EXPECT_EQ(ReadFile(CachePath("clip01.swf")), "clip");
  // Asked for at the explicit port, with the path as the request target.
  const auto log = files().AccessLogLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("\"GET /ads/spring/clip01.swf HTTP/1.0\" 200", 0), 0u) << log[0];
}

TEST_F(Download, FetchesAnEmptyFileLeftInTheCacheAgain) {
  files().WriteFile("healed.bin", "whole again");
  ASSERT_TRUE(WriteFile(CachePath("healed.bin"), ""));
  // A folder of a listed file's name counts as present and is left alone.
  ASSERT_TRUE(std::filesystem::create_directory(CachePath("folder.bin")));
  ASSERT_EQ(Call(ServiceListing({FileUrl("healed.bin"), FileUrl("folder.bin")})), 0);
  EXPECT_EQ(ReadFile(CachePath("healed.bin")), "whole again");
  EXPECT_EQ(RequestsFor("folder.bin"), 0);
}

TEST_F(Download, StopsAtAnEntryWithoutAFileNameBeforeAnyRequest) {
  files().WriteFile("later.bin", "never asked for");
  EXPECT_EQ(Call(ServiceListing({FileUrl("ads/"), FileUrl("later.bin")})), 2);
  EXPECT_TRUE(files().AccessLogLines().empty());
  EXPECT_TRUE(CacheContents(cacheDir()).empty());
}

TEST_F(Download, StopsAtANameTooLongForTheCacheBeforeAnyRequest) {
  // The entry fits its 259 bytes, but the cache folder and the name together do not.
  const std::string name(rz::kMaxPathBytes + 1 - cacheDir().size(), 'n');
  ASSERT_LE(FileUrl(name).size(), rz::kMaxPathBytes);
  files().WriteFile(name, "never asked for");
  EXPECT_EQ(Call(ServiceListing({FileUrl(name)})), 2);
  EXPECT_TRUE(files().AccessLogLines().empty());
  EXPECT_TRUE(CacheContents(cacheDir()).empty());
}

TEST_F(Download, AFailedStatusLeavesNoFileAndNoPartFile) {
  ScriptServer broken(Respond(HttpResponse(500, "broken")));
  for (const std::string& url : {FileUrl("missing.bin"), broken.BaseUrl() + "/broken"}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(Call(ServiceListing({url})), 2);
    EXPECT_TRUE(CacheContents(cacheDir()).empty());
  }
  EXPECT_EQ(RequestsFor("missing.bin"), 1);
  EXPECT_EQ(broken.Connections(), 1);
}

TEST_F(Download, ABodyCutShortLeavesNoFile) {
  // Announces 1000 bytes, sends 10 and closes.
  ScriptServer cut(
      Script().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789"));
  EXPECT_EQ(Call(ServiceListing({cut.BaseUrl() + "/cut.bin"})), 2);
  EXPECT_EQ(cut.Connections(), 1);
  EXPECT_TRUE(CacheContents(cacheDir()).empty());
}

// A server that holds every request until the pass has all its fetches in flight (or 10 s
// passed), then fails "bad.bin" at once and answers the others 300 ms later. The pass must have
// had them all in flight together, start nothing after the failure, commit what the fetches in
// flight completed, keep the old list and leave nothing staged.
TEST_F(Download, FetchesInParallelAndStartsNoneAfterAFailure) {
  constexpr int kInFlight = rz::kFetchesInFlight;
  std::mutex mutex;
  std::condition_variable changed;
  int open = 0;
  int most = 0;
  ScriptServer held(Script().Answer([&](const std::string& request) {
    const bool bad = request.find("/bad.bin ") != std::string::npos;
    const std::string name = request.substr(5, request.find(' ', 5) - 5);
    std::unique_lock<std::mutex> lock(mutex);
    most = std::max(most, ++open);
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return open >= kInFlight; });
    lock.unlock();
    if (!bad) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return bad ? HttpResponse(404, "") : HttpResponse(200, "ad " + name);
  }));
  std::vector<std::string> urls;
  std::vector<std::string> expected{"FileList.xml"};
  for (int i = 1; i < kInFlight; ++i) {
    urls.push_back(held.BaseUrl() + "/in-" + std::to_string(i) + ".bin");
    expected.push_back("in-" + std::to_string(i) + ".bin");
  }
  urls.push_back(held.BaseUrl() + "/bad.bin");
  for (int i = 1; i <= 3; ++i)
    urls.push_back(held.BaseUrl() + "/after-" + std::to_string(i) + ".bin");
  const std::string oldList = GetAdReply({urls[0]});
  ASSERT_TRUE(WriteFile(CachePath("FileList.xml"), oldList));

  EXPECT_EQ(Call(ServiceListing(urls)), 2);
  EXPECT_EQ(most, kInFlight);
  EXPECT_EQ(held.Connections(), kInFlight);
  EXPECT_EQ(ReadFile(CachePath("in-1.bin")), "ad in-1.bin");
  EXPECT_EQ(ReadFile(CachePath("FileList.xml")), oldList);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(CacheContents(cacheDir()), expected);
}

// More files than one commit takes: the first batch is committed while later fetches go on, and
// entries that name a file of that batch again, listed during the commit, are settled, not
// fetched.
TEST_F(Download, APassLongerThanOneCommitFetchesEachNameOnce) {
  std::vector<std::string> urls;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f-" + std::to_string(i) + ".bin";
    files().WriteFile(name, "ad " + name);
    urls.push_back(FileUrl(name));
    if (i < 260) continue;
    const std::string again = "again/f-" + std::to_string(i - 260) + ".bin";
    files().WriteFile(again, "not this one");
    urls.push_back(FileUrl(again));
  }
  ASSERT_EQ(Call(ServiceListing(urls)), 0);
  const auto log = files().AccessLogLines();
  EXPECT_EQ(log.size(), 300u);
  EXPECT_EQ(std::count_if(
                log.begin(), log.end(),
                [](const std::string& line) { return line.find("/again/") != std::string::npos; }),
            0);
  EXPECT_EQ(ReadFile(CachePath("f-0.bin")), "ad f-0.bin");
  EXPECT_EQ(ReadFile(CachePath("f-299.bin")), "ad f-299.bin");
  EXPECT_EQ(CacheContents(cacheDir()).size(), 301u) << "300 ads and the list";
}

// An empty folder text is what the export passes when it cannot work the folder out.
TEST_F(Download, FailsWithoutACacheFolder) {
  files().WriteFile("a.bin", "an ad");
  const std::string url = ServiceListing({FileUrl("a.bin")});
  std::filesystem::remove(cacheDir());
  EXPECT_EQ(Call(url), 2);
  EXPECT_TRUE(ListFolder(root()).empty());
  EXPECT_EQ(rz::Refresh("", "", url.c_str(), ""), 2);
}

}  // namespace
}  // namespace rztest
