// ReceiveToFile against the scriptable loopback server with a real HttpDownloader: what lands in
// the file, and what the call returns, for well-formed, refused, cut-off and misbehaving responses.
#include "download/http_downloader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/cannot_run.h"
#include "support/files.h"
#include "support/script_server.h"
#include "support/tmpfs.h"

namespace rz {
namespace {

namespace fs = std::filesystem;
using rztest::HttpResponse;
using rztest::Script;
using rztest::ScriptServer;
using std::chrono::milliseconds;

// Bytes 0..n-1 of a body whose content tells every position apart.
std::string Body(std::size_t n) {
  std::string body;
  for (std::size_t i = 0; i < n; ++i)
    body.push_back(static_cast<char>('!' + (i * 7 + i / 91) % 90));
  return body;
}

// Equal bytes, or where they first differ (bodies are too long to print whole).
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "file has " << actual.size() << " bytes, expected "
                                       << expected.size() << "; first difference at " << at;
}

// Every ProgressCallback call of the current test, and the call (1-based) that answers -813.
std::vector<std::pair<std::int32_t, std::int32_t>> g_progress;
std::size_t g_stopAtCall = 0;
bool g_stopWhenComplete = false;

std::int32_t RecordProgress(std::int32_t received, std::int32_t expectedTotal) {
  g_progress.emplace_back(received, expectedTotal);
  if (g_progress.size() == g_stopAtCall) return kStoppedByCallback;
  if (g_stopWhenComplete && received == expectedTotal) return kStoppedByCallback;
  return 0;
}

int g_polls = 0;
std::int32_t CountPoll() {
  ++g_polls;
  return 0;
}

struct Outcome {
  Status result = kOk;
  bool exists = false;
  std::string file;
  double seconds = 0;
};

class ReceiveToFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_progress.clear();
    g_stopAtCall = 0;
    g_stopWhenComplete = false;
    g_polls = 0;
  }

  std::string PathOf(const std::string& name) const { return dir_.Path(name); }

  // Connect, SendRequest, ReceiveToFile, Disconnect: one download as the pass makes it.
  static Outcome Download(ScriptServer& server, const std::string& path, std::int32_t offset = 0,
                          ProgressCallback progress = nullptr, PollCallback poll = nullptr) {
    Outcome out;
    HttpDownloader downloader("127.0.0.1", server.port(), path.c_str());
    downloader.pollCallback = poll;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(downloader.Connect(), kOk);
    EXPECT_EQ(downloader.SendRequest("/ad.swf", offset), kOk);
    out.result = downloader.ReceiveToFile(progress, path.c_str(), offset);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(downloader.Disconnect(), kOk);
    std::error_code ec;
    out.exists = fs::exists(path, ec);
    if (fs::is_regular_file(path, ec)) out.file = rztest::ReadFile(path);
    return out;
  }

  rztest::TempDir dir_{"rz-receive"};
};

// ---- One response split at every byte position ----

TEST_F(ReceiveToFileTest, EverySplitGivesTheSameFile) {
  // The body holds a blank line and a Content-Length line of its own.
  const std::string body = "\r\n\r\nContent-Length: 3\r\n" + Body(96);
  const struct {
    const char* name;
    std::string response;
  } variants[] = {
      {"length", HttpResponse(200, body, {"Server: t"})},
      {"close", HttpResponse(200, body, {"Server: t"}, false)},
  };
  for (const auto& v : variants) {
    for (std::size_t cut = 0; cut <= v.response.size(); ++cut) {
      // Pausing at every position costs time; a pause at every seventh keeps the chunks apart
      // there while the rest still cover every cut of the bytes.
      const milliseconds pause(cut % 7 == 0 ? 2 : 0);
      ScriptServer server(Script().ReadRequest().SendSplit(v.response, {cut}, pause).Close());
      const Outcome o = Download(server, PathOf("split.bin"));
      ASSERT_EQ(o.result, kOk) << v.name << " cut " << cut;
      ASSERT_TRUE(SameBytes(o.file, body)) << v.name << " cut " << cut;
    }
  }
}

// ---- Well-formed responses ----

TEST_F(ReceiveToFileTest, ContentLength900) {
  const std::string body = Body(900);
  ScriptServer server(rztest::Respond(HttpResponse(200, body)));
  const Outcome o = Download(server, PathOf("ad.swf"), 0, RecordProgress);
  EXPECT_EQ(o.result, kOk);
  EXPECT_TRUE(SameBytes(o.file, body));
  ASSERT_FALSE(g_progress.empty());
  EXPECT_EQ(g_progress.back(), std::make_pair(900, 900));
  for (std::size_t i = 1; i < g_progress.size(); ++i) {
    EXPECT_LE(g_progress[i - 1].first, g_progress[i].first);
  }
  const std::string request = server.WaitForRequest(0);
  EXPECT_EQ(request.find("Range:"), std::string::npos) << request;
}

TEST_F(ReceiveToFileTest, CloseDelimitedBodyOverSeveralChunks) {
  const std::string body = Body(20000);
  const std::string response = HttpResponse(200, body, {}, false);
  ScriptServer server(
      Script().ReadRequest().SendSplit(response, {5000, 9000, 15000}, milliseconds(5)).Close());
  const Outcome o = Download(server, PathOf("ad.swf"), 0, RecordProgress, CountPoll);
  EXPECT_EQ(o.result, kOk);
  EXPECT_TRUE(SameBytes(o.file, body));
  ASSERT_GE(g_progress.size(), 2u);  // the pieces came 5 ms apart
  EXPECT_EQ(g_progress.back(), std::make_pair(20000, 0));
  // Called by the socket waits too, and at least once per chunk by the receiver.
  EXPECT_GE(static_cast<std::size_t>(g_polls), g_progress.size());
}

TEST_F(ReceiveToFileTest, EmptyBodyIsAnEmptyFile) {
  for (const bool withLength : {true, false}) {
    ScriptServer server(rztest::Respond(HttpResponse(200, "", {}, withLength)));
    const Outcome o = Download(server, PathOf("empty.bin"));
    EXPECT_EQ(o.result, kOk) << withLength;
    EXPECT_TRUE(o.exists);
    EXPECT_TRUE(SameBytes(o.file, ""));
  }
}

TEST_F(ReceiveToFileTest, HeaderNamesAndBodyLookalikes) {
  const std::string body = Body(10);
  const struct {
    const char* name;
    std::string response;
    std::string file;
  } cases[] = {
      // Recognised in lower case: the bytes past the length are not the file's.
      {"lowercase", "HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n" + body + "TRAILING", body},
      {"blanks", "HTTP/1.0 200 OK\r\nContent-Length: \t10 \r\n\r\n" + body + "TRAILING", body},
      // Only in the body: the close ends it, and the body is the file.
      {"in body", "HTTP/1.1 200 OK\r\n\r\nContent-Length: 3\r\n\r\nabcdef",
       "Content-Length: 3\r\n\r\nabcdef"},
      // Not a plain number: as if absent.
      {"malformed", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n" + body, body},
  };
  for (const auto& c : cases) {
    ScriptServer server(rztest::Respond(c.response));
    const Outcome o = Download(server, PathOf("ad.swf"));
    EXPECT_EQ(o.result, kOk) << c.name;
    EXPECT_TRUE(SameBytes(o.file, c.file)) << c.name;
  }
}

TEST_F(ReceiveToFileTest, KeepAliveAfterTheFullBodyEndsAtOnce) {
  const std::string body = Body(900);
  ScriptServer server(
      Script().ReadRequest().Send(HttpResponse(200, body)).Hold(std::chrono::seconds(30)));
  const Outcome o = Download(server, PathOf("ad.swf"));
  EXPECT_EQ(o.result, kOk);
  EXPECT_TRUE(SameBytes(o.file, body));
  EXPECT_LT(o.seconds, 10.0) << "waited for the server's close";
}

// ---- Refused and broken responses ----

TEST_F(ReceiveToFileTest, RefusedStatusesWriteNothing) {
  const struct {
    int status;
    Status result;
  } cases[] = {{404, kHttpNotFound}, {500, kHttpRefused}, {302, kHttpRefused},
               {403, kHttpRefused},  {301, kHttpRefused}, {503, kHttpRefused}};
  for (const auto& c : cases) {
    ScriptServer server(rztest::Respond(HttpResponse(c.status, Body(700), {"Location: /x"})));
    const Outcome o = Download(server, PathOf("ad.swf"), 0, RecordProgress);
    EXPECT_EQ(o.result, c.result) << c.status;
    EXPECT_TRUE(SameBytes(o.file, "")) << c.status;
  }
  EXPECT_TRUE(g_progress.empty());
}

TEST_F(ReceiveToFileTest, UnreadableHeaders) {
  const struct {
    const char* name;
    Script script;
  } cases[] = {
      {"garbage", rztest::Respond("garbage\r\n\r\nbody")},
      {"closed inside the header", rztest::Respond("HTTP/1.1 200 OK\r\nContent-Len")},
      {"closed before anything", Script().ReadRequest().Close()},
      {"lengths disagree",
       rztest::Respond("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nbody!")},
      {"no blank line in 64 KiB",
       rztest::Respond("HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a') + "\r\n\r\nbody")},
      {"2 GiB", rztest::Respond("HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\nbody")},
  };
  for (const auto& c : cases) {
    ScriptServer server(c.script);
    const Outcome o = Download(server, PathOf("ad.swf"));
    EXPECT_EQ(o.result, kBadResponseHeader) << c.name;
    EXPECT_TRUE(SameBytes(o.file, "")) << c.name;
  }
}

TEST_F(ReceiveToFileTest, CutOffBeforeTheAnnouncedLength) {
  const std::string body = Body(900);
  const std::string response = HttpResponse(200, body);
  const std::size_t headerSize = response.size() - body.size();
  for (const std::size_t kept :
       {std::size_t{0}, std::size_t{1}, std::size_t{450}, std::size_t{899}}) {
    ScriptServer server(rztest::Respond(response.substr(0, headerSize + kept)));
    const Outcome o = Download(server, PathOf("ad.swf"));
    EXPECT_EQ(o.result, kConnectionClosed) << kept;
    EXPECT_TRUE(SameBytes(o.file, body.substr(0, kept))) << kept;
  }
}

TEST_F(ReceiveToFileTest, ConnectionResetIsAFailure) {
  const std::string body = Body(900);
  // With a length, a reset half-way fails whether it reads as an error or as a close.
  const std::string response = HttpResponse(200, body);
  ScriptServer server(Script()
                          .ReadRequest()
                          .Send(response.substr(0, response.size() - 450))
                          .Pause(milliseconds(300))
                          .Reset());
  const Outcome o = Download(server, PathOf("ad.swf"));
  EXPECT_NE(o.result, kOk);
  EXPECT_TRUE(SameBytes(o.file, body.substr(0, 450)));
}

#ifndef _WIN32
// Without a length only an orderly close ends the body. (Wine delivers the scripted reset as an
// orderly close, so this runs on Linux only.)
TEST_F(ReceiveToFileTest, ConnectionResetWithoutLengthIsAFailure) {
  const std::string response = HttpResponse(200, Body(900), {}, false);
  ScriptServer server(Script().ReadRequest().Send(response).Pause(milliseconds(300)).Reset());
  const Outcome o = Download(server, PathOf("ad.swf"));
  EXPECT_EQ(o.result, kReceiveFailed);
}
#endif

// ---- Resuming ----

class ResumeTest : public ReceiveToFileTest {
 protected:
  void SetUp() override {
    ReceiveToFileTest::SetUp();
    path_ = PathOf("resume.bin");
    ASSERT_TRUE(rztest::WriteFile(path_, full_.substr(0, 300)));
  }
  std::string PartialResponse(const std::string& range) const {
    return HttpResponse(206, full_.substr(300), {"Content-Range: " + range});
  }
  const std::string full_ = Body(900);
  std::string path_;
};

TEST_F(ResumeTest, MatchingRangeCompletesTheFile) {
  ScriptServer server(rztest::Respond(PartialResponse("bytes 300-899/900")));
  const Outcome o = Download(server, path_, 300, RecordProgress);
  EXPECT_EQ(o.result, kOk);
  EXPECT_TRUE(SameBytes(o.file, full_));
  ASSERT_FALSE(g_progress.empty());
  EXPECT_EQ(g_progress.back(), std::make_pair(600, 900));
  EXPECT_NE(server.WaitForRequest(0).find("Range: bytes=300-\r\n"), std::string::npos);
}

TEST_F(ResumeTest, AnythingButTheRequestedRangeIsRefused) {
  const struct {
    const char* name;
    std::string response;
  } cases[] = {
      {"wrong start", PartialResponse("bytes 0-599/900")},
      {"no range", HttpResponse(206, full_.substr(300))},
      {"whole file", HttpResponse(200, full_)},
  };
  for (const auto& c : cases) {
    ScriptServer server(rztest::Respond(c.response));
    const Outcome o = Download(server, path_, 300);
    EXPECT_EQ(o.result, kHttpRefused) << c.name;
    EXPECT_TRUE(SameBytes(o.file, full_.substr(0, 300))) << c.name;
  }
}

// What the header hook was told, and whether it refuses.
struct Told {
  bool refuse = false;
  int calls = 0;
  std::int64_t total = 0;
  std::string validator;
};

Status Tell(void* context, std::int64_t total, std::string_view validator) {
  auto* told = static_cast<Told*>(context);
  ++told->calls;
  told->total = total;
  told->validator = std::string(validator);
  return told->refuse ? kHttpRefused : kOk;
}

TEST_F(ResumeTest, HeaderHookSeesTheWholeFileAndMayRefuseIt) {
  for (const bool refuse : {true, false}) {
    Told told;
    told.refuse = refuse;
    ScriptServer server(rztest::Respond(HttpResponse(
        206, full_.substr(300), {"Content-Range: bytes 300-899/900", "ETag: \"v1\""})));
    HttpDownloader downloader("127.0.0.1", server.port(), path_.c_str());
    downloader.ifRange = "\"v1\"";
    downloader.headerCallback = Tell;
    downloader.headerContext = &told;
    ASSERT_EQ(downloader.Connect(), kOk);
    ASSERT_EQ(downloader.SendRequest("/ad.swf", 300), kOk);
    EXPECT_EQ(downloader.ReceiveToFile(nullptr, path_.c_str(), 300), refuse ? kHttpRefused : kOk);
    EXPECT_EQ(downloader.Disconnect(), kOk);
    EXPECT_EQ(told.calls, 1);
    EXPECT_EQ(told.total, 900);
    EXPECT_EQ(told.validator, "\"v1\"");
    EXPECT_TRUE(SameBytes(rztest::ReadFile(path_), refuse ? full_.substr(0, 300) : full_))
        << refuse;
    const std::string request = server.WaitForRequest(0);
    EXPECT_NE(request.find("Range: bytes=300-\r\nIf-Range: \"v1\"\r\n"), std::string::npos);
  }
}

TEST_F(ResumeTest, MissingOrShortFile) {
  ScriptServer server(rztest::Respond(PartialResponse("bytes 300-899/900")));
  const Outcome missing = Download(server, PathOf("missing.bin"), 300);
  EXPECT_EQ(missing.result, kFileOpenFailed);
  EXPECT_FALSE(missing.exists);

  // Shorter than the offset: resuming there would leave a hole of zero bytes.
  ASSERT_TRUE(rztest::WriteFile(path_, full_.substr(0, 100)));
  const Outcome shorter = Download(server, path_, 300);
  EXPECT_EQ(shorter.result, kFileSeekFailed);
  EXPECT_TRUE(SameBytes(shorter.file, full_.substr(0, 100)));
}

// ---- Callbacks ----

TEST_F(ReceiveToFileTest, ProgressCallbackStops) {
  const std::string body = Body(12000);
  const std::string response = HttpResponse(200, body);
  const std::vector<std::size_t> cuts = {3000, 6000, 9000};
  {
    ScriptServer server(Script().ReadRequest().SendSplit(response, cuts, milliseconds(50)).Close());
    g_stopAtCall = 2;
    const Outcome o = Download(server, PathOf("middle.bin"), 0, RecordProgress);
    EXPECT_EQ(o.result, kStoppedByCallback);
    ASSERT_EQ(g_progress.size(), 2u);
    // The chunk the callback was told about is in the file, and nothing after it.
    EXPECT_TRUE(
        SameBytes(o.file, body.substr(0, static_cast<std::size_t>(g_progress.back().first))));
    EXPECT_LT(g_progress.back().first, 12000);
  }
  g_progress.clear();
  g_stopAtCall = 0;
  g_stopWhenComplete = true;
  {
    ScriptServer server(Script().ReadRequest().SendSplit(response, cuts, milliseconds(50)).Close());
    const Outcome o = Download(server, PathOf("last.bin"), 0, RecordProgress);
    EXPECT_EQ(o.result, kOk);
    EXPECT_TRUE(SameBytes(o.file, body));
    EXPECT_EQ(g_progress.back(), std::make_pair(12000, 12000));
  }
}

#ifndef _WIN32
TEST_F(ReceiveToFileTest, DebugOutputShowsThePercentage) {
  ::setenv("RAZARA_DEBUG", "1", 1);
  const std::string body = Body(900);
  ScriptServer server(rztest::Respond(HttpResponse(200, body)));
  ::testing::internal::CaptureStderr();
  const Outcome o = Download(server, PathOf("ad.swf"));
  const std::string lines = ::testing::internal::GetCapturedStderr();
  ::unsetenv("RAZARA_DEBUG");
  EXPECT_EQ(o.result, kOk);
  EXPECT_EQ(lines.substr(lines.size() - 5), "100%\n") << lines;
  // Resumed at 300, the percentage counts the 300 bytes kept from before.
  ASSERT_TRUE(rztest::WriteFile(PathOf("ad.swf"), body.substr(0, 300)));
  ScriptServer rest(
      rztest::Respond(HttpResponse(206, body.substr(300), {"Content-Range: bytes 300-899/900"})));
  ::setenv("RAZARA_DEBUG", "1", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Download(rest, PathOf("ad.swf"), 300).result, kOk);
  const std::string resumed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(resumed.substr(resumed.size() - 5), "100%\n") << resumed;
  ::unsetenv("RAZARA_DEBUG");
}
#endif

// ---- The file itself ----

TEST_F(ReceiveToFileTest, MissingPath) {
  ScriptServer server(rztest::Respond(HttpResponse(200, "x")));
  HttpDownloader downloader("127.0.0.1", server.port(), "/ad.swf");
  ASSERT_EQ(downloader.Connect(), kOk);
  ASSERT_EQ(downloader.SendRequest(nullptr, 0), kOk);
  EXPECT_EQ(downloader.ReceiveToFile(nullptr, nullptr, 0), kMissingArgument);
  EXPECT_EQ(downloader.Disconnect(), kOk);
}

TEST_F(ReceiveToFileTest, FolderMissing) {
  ScriptServer server(rztest::Respond(HttpResponse(200, "x")));
  const Outcome o = Download(server, PathOf("no-such-folder/ad.swf"));
  EXPECT_EQ(o.result, kFileOpenFailed);
}

#ifndef _WIN32
// /dev/full and a tmpfs are Linux's.
TEST_F(ReceiveToFileTest, WriteFailuresNeverEndInSuccess) {
  // /dev/full accepts the open and fails every write: a small body fails at the final flush, a
  // large one already while streaming.
  for (const std::size_t size : {std::size_t{900}, std::size_t{300000}}) {
    for (const bool withLength : {true, false}) {
      ScriptServer server(rztest::Respond(HttpResponse(200, Body(size), {}, withLength)));
      const Outcome o = Download(server, "/dev/full");
      EXPECT_EQ(o.result, kFileWriteFailed) << size << " " << withLength;
    }
  }
}

TEST_F(ReceiveToFileTest, FullDiskNeverEndsInSuccess) {
  const std::string mountPoint = PathOf("small");
  fs::create_directories(mountPoint);
  const rztest::Tmpfs disk(mountPoint, "size=64k");
  if (!disk.error().empty()) RZT_CANNOT_RUN(disk.error());
  const std::string body = Body(300000);
  ScriptServer server(rztest::Respond(HttpResponse(200, body)));
  const Outcome o = Download(server, mountPoint + "/ad.swf");
  EXPECT_EQ(o.result, kFileWriteFailed);
  EXPECT_LT(o.file.size(), body.size());
}
#endif

}  // namespace
}  // namespace rz
