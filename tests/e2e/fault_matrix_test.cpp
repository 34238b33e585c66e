// Whole RazaRa calls against hostile servers, replies and disks, as one table. Every row states
// the result it expects on each build; after every call the cache folder must hold only whole
// files (no part file, no half-saved list, every ad byte-identical to what the server sent) and
// nothing may have changed in the host's folder outside it.
#include <sys/mount.h>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "refresh_fixture.h"

namespace rze {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The one ad file every file server in this table serves.
const std::string kBody = PatternBytes(64, 7);
const std::string kResponse =
    rztest::HttpResponse(200, kBody, {"Content-Type: application/octet-stream"});

// What a row's setup may use: the servers started for it and the host's folder.
struct Env {
  std::string files;  // base URL of the file server
  std::string trap;   // base URL of a server that must never be connected to
  const HostFolder* host;
  std::vector<std::string>* mounts;  // mounted by the row, unmounted after the call
};

struct Row {
  const char* name;
  bool onWine;  // a main row: also run on the Windows build under Wine
  int linuxResult;
  int wineResult;
  std::function<rztest::Script()> fileServer;    // every connection to the file server
  std::function<std::string(const Env&)> reply;  // the GetAd reply
  // Runs before the call; a non-empty text skips the row with that reason.
  std::function<std::string(const Env&)> prepare = nullptr;
  bool makeCacheDir = true;
  int fileConnections = -1;  // connections the file server must have seen; -1: any
};

std::string Listing(const Env& env, const std::vector<std::string>& paths) {
  std::vector<std::string> flashes;
  for (const auto& path : paths) flashes.push_back(env.files + "/" + path);
  return GetAdReply(flashes);
}

std::function<std::string(const Env&)> Lists(std::vector<std::string> paths) {
  return [paths](const Env& env) { return Listing(env, paths); };
}

rztest::Script Serves(const std::string& bytes) {
  return rztest::Script().ReadRequest().Send(bytes);
}

// A reply that would list one ad, behind a document type with the internal subset `decl` makes.
std::function<std::string(const Env&)> WithDoctype(std::function<std::string(const Env&)> decl) {
  return [decl](const Env& env) {
    return "<?xml version=\"1.0\"?><!DOCTYPE WebResponse" + decl(env) +
           "><WebResponse><AdList><Ad Flash=\"" + env.files + "/a.bin\"/></AdList></WebResponse>";
  };
}

// Nine levels of ten references each: 10^9 "lol"s if anything expanded them.
std::string Laughs() {
  std::string decl = " [<!ENTITY l0 \"lol\">";
  for (int level = 1; level <= 9; ++level) {
    decl += "<!ENTITY l" + std::to_string(level) + " \"";
    for (int i = 0; i < 10; ++i) decl += "&l" + std::to_string(level - 1) + ";";
    decl += "\">";
  }
  return decl + "]";
}

// A size-limited tmpfs, or one mounted read-only, over the cache folder (root only).
std::string MountOverCache(const Env& env, unsigned long flags, const char* options) {
  if (geteuid() != 0) return "needs root to mount a tmpfs over the cache folder";
  const std::string cache = env.host->CacheDir();
  if (!MakeDirs(cache) || mount("tmpfs", cache.c_str(), "tmpfs", flags, options) != 0) {
    return "cannot mount a tmpfs here: " + std::string(std::strerror(errno));
  }
  env.mounts->push_back(cache);
  return "";
}

// Name, also under Wine, expected result on Linux and on Windows, file server, reply, and the
// optional setup, cache folder creation and file server connection count.
const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"ResetInTheMiddleOfTheBody", true, 2, 2,
       [] {
         return rztest::Script()
             .ReadRequest()
             .Send(kResponse.substr(0, kResponse.size() - 20))
             .Pause(50ms)
             .Reset();
       },
       Lists({"a.bin"})},
      {"SlowServerNeverAnswers", false, 2, 2,
       [] { return rztest::Script().ReadRequest().Hold(45s); }, Lists({"a.bin"})},
      {"GarbageInsteadOfHttp", true, 2, 2,
       [] { return Serves("SSH-2.0-OpenSSH_9.2p1\r\n" + PatternBytes(300, 3)); }, Lists({"a.bin"})},
      {"HeaderOf100KiB", true, 2, 2,
       [] {
         return Serves("HTTP/1.0 200 OK\r\nX-Padding: " + std::string(100 * 1024, 'p') +
                       "\r\nContent-Length: 64\r\n\r\n" + kBody);
       },
       Lists({"a.bin"})},
      {"DiskFillsUpMidFile", true, 2, 2,
       [] { return Serves(rztest::HttpResponse(200, PatternBytes(512 * 1024, 4))); },
       Lists({"big.bin"}),
       [](const Env& env) { return MountOverCache(env, 0, "size=128k,mode=0777"); }},
      {"ReadOnlyCacheDir", true, 2, 2, [] { return Serves(kResponse); }, Lists({"a.bin"}),
       [](const Env& env) {
         if (geteuid() != 0) {
           return chmod(env.host->CacheDir().c_str(), 0555) == 0 ? std::string() : "cannot chmod";
         }
         return MountOverCache(env, MS_RDONLY, "size=64k");
       }},
      {"CacheDirIsAFile", true, 2, 2, [] { return Serves(kResponse); }, Lists({"a.bin"}),
       [](const Env& env) {
         const std::string cache = env.host->CacheDir();
         const bool made = MakeDirs(cache.substr(0, cache.size() - 8)) &&
                           WriteFile(cache.substr(0, cache.size() - 1), "not a folder");
         return made ? "" : "cannot place the file";
       },
       false},
      {"AdListOf100000PresentEntries", true, 0, 0, [] { return Serves(kResponse); },
       [](const Env& env) { return Listing(env, std::vector<std::string>(100000, "a.bin")); },
       [](const Env& env) {
         return WriteFile(env.host->CachePath("a.bin"), kBody) ? "" : "cannot place a.bin";
       },
       true, 0},
      {"BillionLaughs", true, 1, 1, [] { return Serves(kResponse); },
       WithDoctype([](const Env&) { return Laughs(); }), nullptr, true, 0},
      {"ExternalEntityNamingALocalFile", true, 1, 1, [] { return Serves(kResponse); },
       WithDoctype([](const Env&) { return " [<!ENTITY x SYSTEM \"file:///etc/passwd\">]"; }),
       nullptr, true, 0},
      {"ExternalEntityNamingALoopbackUrl", true, 1, 1, [] { return Serves(kResponse); },
       WithDoctype(
           [](const Env& env) { return " [<!ENTITY x SYSTEM \"" + env.trap + "/entity.xml\">]"; }),
       nullptr, true, 0},
      {"PlainDoctype", true, 1, 1, [] { return Serves(kResponse); },
       WithDoctype([](const Env&) { return ""; }), nullptr, true, 0},
      {"FileNameDotDot", true, 2, 2, [] { return Serves(kResponse); }, Lists({"ads/.."}), nullptr,
       true, 0},
      {"FileNameOfThreeDots", true, 2, 2, [] { return Serves(kResponse); }, Lists({"ads/..."}),
       nullptr, true, 0},
      {"FileNameDot", true, 2, 2, [] { return Serves(kResponse); }, Lists({"ads/."}), nullptr, true,
       0},
      // '?' is an ordinary character in a Linux name; Windows refuses it when the file is opened.
      {"FileNameWithQuestionMark", true, 0, 2, [] { return Serves(kResponse); },
       Lists({"a.bin?v=2"}), nullptr, true, 1},
      {"FileNameWithPercent2F", true, 0, 0, [] { return Serves(kResponse); },
       Lists({"ads%2F..%2Fa.bin"}), nullptr, true, 1},
      {"FileNameWithNonAsciiBytes", true, 0, 0, [] { return Serves(kResponse); },
       Lists({"caf\xC3\xA9-\xC3\xBC.bin"}), nullptr, true, 1},
      {"SameUrlListedTwice", true, 0, 0, [] { return Serves(kResponse); },
       Lists({"a.bin", "a.bin"}), nullptr, true, 1},
  };
  return rows;
}

// Everything in the host's folder outside the cache folder: relative path -> size and time.
std::map<std::string, std::string> Outside(const HostFolder& host) {
  std::map<std::string, std::string> seen;
  const fs::path root = host.dir();
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (rel == "host.out" || rel == "host.err") continue;
    if (rel == "Tavrin/RazaRa") {
      it.disable_recursion_pending();
      continue;
    }
    struct stat info {};
    if (lstat(it->path().c_str(), &info) != 0) continue;
    seen[rel] = std::to_string(info.st_mode) + ":" + std::to_string(info.st_size) + ":" +
                std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
  }
  return seen;
}

// The cache folder holds only whole files: no part file or unfinished list, every ad the
// server's bytes, and a FileList.xml that parses.
void ExpectOnlyWholeFiles(const HostFolder& host, const std::string& body) {
  for (const auto& name : ListFolder(host.CacheDir())) {
    SCOPED_TRACE(name);
    const std::string path = host.CachePath(name);
    EXPECT_FALSE(name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0);
    EXPECT_NE(name, "FileList.xml.tmp");
    if (name == "FileList.xml") {
      std::vector<std::string> list;
      EXPECT_TRUE(ParseBack(path, list));
    } else if (fs::is_regular_file(path)) {
      EXPECT_TRUE(ReadFile(path) == body) << "not the served bytes";
    }
  }
}

// The host folder, the mounts a row made, and one checked call.
class FaultTest : public testing::Test {
 protected:
  virtual Host TheHost() const = 0;
  void SetUp() override {
    const std::string why = Unavailable(TheHost());
    if (!why.empty()) GTEST_SKIP() << why;
    folder_ = std::make_unique<HostFolder>(TheHost());
    ASSERT_TRUE(folder_->ok()) << folder_->error();
  }
  void TearDown() override {
    for (const auto& path : mounts_) umount2(path.c_str(), MNT_DETACH);
    if (folder_) chmod(folder_->CacheDir().c_str(), 0755);
  }

  bool OnWine() const { return TheHost() == Host::kWindows; }

  // One call with `reply` from the service; checks the result and what it left.
  // The limit leaves room for the 100,000-entry list, about 30 s under Wine.
  void CallAndCheck(const std::string& reply, int expected, bool makeCacheDir,
                    const std::string& body = kBody) {
    rztest::ScriptServer service(ServiceAnswering(reply));
    const auto before = Outside(*folder_);
    const RunResult result = folder_->Run(
        "OUTSIDE-0042", "HARDWARE-7", service.BaseUrl() + "/AdService.asmx", makeCacheDir, 150s);
    EXPECT_FALSE(result.timedOut) << Describe(result);
    EXPECT_EQ(result.exitCode, expected) << Describe(result);
    ExpectOnlyWholeFiles(*folder_, body);
    EXPECT_EQ(Outside(*folder_), before) << "something changed outside the cache folder";
  }

  std::unique_ptr<HostFolder> folder_;
  std::vector<std::string> mounts_;
};

class FaultMatrix : public FaultTest,
                    public testing::WithParamInterface<std::tuple<Host, std::size_t>> {
  Host TheHost() const override { return std::get<0>(GetParam()); }
};

class EveryOffset : public FaultTest, public testing::WithParamInterface<Host> {
  Host TheHost() const override { return GetParam(); }
};

TEST_P(FaultMatrix, Row) {
  const Row& row = Rows()[std::get<1>(GetParam())];
  if (OnWine() && !row.onWine) GTEST_SKIP() << "a Linux-only row";
  rztest::ScriptServer files(row.fileServer());
  rztest::ScriptServer trap(rztest::Script().Close());
  const Env env{files.BaseUrl(), trap.BaseUrl(), folder_.get(), &mounts_};
  if (row.makeCacheDir) {
    ASSERT_TRUE(folder_->MakeCacheDir());
  }
  if (row.prepare) {
    const std::string skip = row.prepare(env);
    if (!skip.empty()) GTEST_SKIP() << skip;
  }
  CallAndCheck(row.reply(env), OnWine() ? row.wineResult : row.linuxResult, row.makeCacheDir);
  if (row.fileConnections >= 0) {
    EXPECT_EQ(files.Connections(), row.fileConnections);
  }
  EXPECT_EQ(trap.Connections(), 0) << "the reply made the library connect somewhere";
  if (!row.makeCacheDir) {
    const std::string cache = folder_->CacheDir();
    EXPECT_EQ(ReadFile(cache.substr(0, cache.size() - 1)), "not a folder");
  }
}

// The file server closes after every prefix of a small response: only the whole response may
// give 0, and no prefix may leave a file. Under Wine a sample of the offsets runs.
TEST_P(EveryOffset, ServerClosesAfterEachPrefixOfTheResponse) {
  const std::size_t size = kResponse.size();
  const std::size_t bodyAt = size - kBody.size();
  std::vector<std::size_t> offsets;
  if (OnWine()) {
    offsets = {0, 1, 9, bodyAt - 2, bodyAt, bodyAt + 1, size - 1, size};
  } else {
    for (std::size_t at = 0; at <= size; ++at) offsets.push_back(at);
  }
  std::vector<rztest::Script> scripts;
  for (const std::size_t at : offsets) scripts.push_back(Serves(kResponse.substr(0, at)));
  rztest::ScriptServer files(scripts);
  ASSERT_TRUE(folder_->MakeCacheDir());
  const Env env{files.BaseUrl(), "", folder_.get(), &mounts_};
  for (const std::size_t at : offsets) {
    SCOPED_TRACE("closed after " + std::to_string(at) + " of " + std::to_string(size) + " bytes");
    CallAndCheck(Listing(env, {"cut.bin"}), at == size ? 0 : 2, true);
    if (HasFailure()) break;
  }
  EXPECT_EQ(ReadFile(folder_->CachePath("cut.bin")), kBody);
}

// ---- A call cut off half-way through a file, then a call that may continue it ----

const std::string kWhole = PatternBytes(96 * 1024, 5);  // the server's file, version "v1"
const std::string kNewer = PatternBytes(96 * 1024, 6);  // the file after a change, "v2"
const std::size_t kHalf = kWhole.size() / 2;
const std::string kTotal = std::to_string(kWhole.size());

std::string Range(std::size_t first, std::size_t total) {
  return "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(total - 1) + "/" +
         std::to_string(total);
}

struct ResumeRow {
  const char* name;
  std::string validator;    // the field that ties the first call's bytes to "v1"; empty: none
  std::string answer;       // the answer to the second call's first request
  int connections;          // file server connections of both calls
  const std::string* file;  // what the cache holds in the end
};

const std::vector<ResumeRow>& ResumeRows() {
  const std::string v1 = "ETag: \"v1\"";
  const std::string v2 = "ETag: \"v2\"";
  const std::string rest = kWhole.substr(kHalf);
  static const std::vector<ResumeRow> rows = {
      {"Continues", v1, rztest::HttpResponse(206, rest, {v1, Range(kHalf, kWhole.size())}), 2,
       &kWhole},
      {"ContinuesOnLastModified", "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT",
       rztest::HttpResponse(206, rest, {Range(kHalf, kWhole.size())}), 2, &kWhole},
      {"NothingKeptWithoutValidator", "", rztest::HttpResponse(200, kWhole), 2, &kWhole},
      {"IgnoresRange", v1, rztest::HttpResponse(200, kWhole, {v1}), 3, &kWhole},
      {"FileChanged", v1, rztest::HttpResponse(200, kNewer, {v2}), 3, &kNewer},
      {"ChangedValidatorIn206", v1,
       rztest::HttpResponse(206, kNewer.substr(kHalf), {v2, Range(kHalf, kWhole.size())}), 3,
       &kNewer},
      {"WrongRange", v1, rztest::HttpResponse(206, kWhole, {v1, Range(0, kWhole.size())}), 3,
       &kWhole},
      {"OtherTotal", v1,
       rztest::HttpResponse(206, rest + "+", {v1, Range(kHalf, kWhole.size() + 1)}), 3, &kWhole},
      {"RangeNotSatisfiable", v1,
       rztest::HttpResponse(416, "", {"Content-Range: bytes */" + kTotal}), 3, &kWhole},
  };
  return rows;
}

class Resume : public FaultTest, public testing::WithParamInterface<std::tuple<Host, std::size_t>> {
  Host TheHost() const override { return std::get<0>(GetParam()); }
};

TEST_P(Resume, Row) {
  const ResumeRow& row = ResumeRows()[std::get<1>(GetParam())];
  std::vector<std::string> fields;
  if (!row.validator.empty()) fields.push_back(row.validator);
  const std::string cut = rztest::HttpResponse(200, kWhole, fields);
  // The whole file as the server holds it by the second call, for a refetch.
  if (row.file != &kWhole) fields = {"ETag: \"v2\""};
  const std::string whole = rztest::HttpResponse(200, *row.file, fields);
  rztest::ScriptServer files(
      {Serves(cut.substr(0, cut.size() - kHalf)), Serves(row.answer), Serves(whole)});
  ASSERT_TRUE(folder_->MakeCacheDir());
  const Env env{files.BaseUrl(), "", folder_.get(), &mounts_};
  const std::string staging = folder_->CacheDir() + ".staging/";
  CallAndCheck(Listing(env, {"big.bin"}), 2, true);
  EXPECT_EQ(ListFolder(staging).size(), row.validator.empty() ? 1u : 3u) << "lock, part, record";
  // Kept data of an entry the list no longer names goes once every listed file is in place.
  ASSERT_TRUE(WriteFile(staging + "gone.bin.part", "gone") &&
              WriteFile(staging + "gone.bin.rec", ""));

  CallAndCheck(Listing(env, {"big.bin"}), 0, true, *row.file);
  EXPECT_TRUE(ReadFile(folder_->CachePath("big.bin")) == *row.file) << "not the server's file";
  EXPECT_EQ(files.Connections(), row.connections);
  const std::string request = files.WaitForRequest(1);
  const std::size_t at = row.validator.find(' ');
  const std::string ask = "Range: bytes=" + std::to_string(kHalf) +
                          "-\r\nIf-Range: " + row.validator.substr(at + 1) + "\r\n";
  EXPECT_EQ(request.find(ask) != std::string::npos, !row.validator.empty()) << request;
  EXPECT_EQ(ListFolder(staging), std::vector<std::string>{"lock"}) << "kept data not pruned";
}

std::string ResumeRowName(const testing::TestParamInfo<Resume::ParamType>& info) {
  return HostName(std::get<0>(info.param)) + "_" + ResumeRows()[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(Kept, Resume,
                         testing::Combine(testing::Values(Host::kLinux, Host::kWindows),
                                          testing::Range<std::size_t>(0, ResumeRows().size())),
                         ResumeRowName);

std::string RowName(const testing::TestParamInfo<FaultMatrix::ParamType>& info) {
  return HostName(std::get<0>(info.param)) + "_" + Rows()[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix,
                         testing::Combine(testing::Values(Host::kLinux, Host::kWindows),
                                          testing::Range<std::size_t>(0, Rows().size())),
                         RowName);
RZE_INSTANTIATE_FOR_BOTH_HOSTS(EveryOffset);

}  // namespace
}  // namespace rze
