// Whole refreshes against hostile servers, replies and disks, as one table, in this process on
// both builds. Every row states the result it expects; after every call the cache folder must
// hold only whole files (no part file, no half-saved list, every ad byte-identical to what the
// server sent) and nothing may have changed in the folder around it.
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/cannot_run.h"
#include "support/refresh_fixture.h"
#include "support/tmpfs.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace rztest {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The one ad file every file server in this table serves.
const std::string kBody = PatternBytes(64, 7);
const std::string kResponse = HttpResponse(200, kBody, {"Content-Type: application/octet-stream"});

// What a row's reply and setup may use: the servers started for it and the cache folder.
struct Env {
  Env(std::string filesUrl, std::string trapUrl, std::string cache)
      : files(std::move(filesUrl)), trap(std::move(trapUrl)), cacheDir(std::move(cache)) {}

  std::string files;  // base URL of the file server
  std::string trap;   // base URL of a server that must never be connected to
  std::string cacheDir;
#ifndef _WIN32
  std::vector<std::unique_ptr<Tmpfs>> mounts;  // made by the row, unmounted after the checks
#endif
};

using MakeReply = std::function<std::string(const Env&)>;

Script Serves(const std::string& bytes) { return Script().ReadRequest().Send(bytes); }

std::string Listing(const Env& env, const std::vector<std::string>& paths) {
  std::vector<std::string> flashes;
  for (const auto& path : paths) flashes.push_back(env.files + "/" + path);
  return GetAdReply(flashes);
}

MakeReply Lists(std::vector<std::string> paths) {
  return [paths](const Env& env) { return Listing(env, paths); };
}

// One row, its fields set by name: Row("Name").Serving(...).Result(2).
struct Row {
  explicit Row(const char* rowName) : name(rowName) {}
  // clang-format off
  // What the file server does on every connection (default: it serves the ad).
  Row& Serving(Script script) { fileServer = std::move(script); return *this; }
  // The GetAd reply (default: it lists a.bin).
  Row& Reply(MakeReply make) { reply = std::move(make); return *this; }
  // The result on both builds; ResultOnWindows sets the Windows one apart.
  Row& Result(int expected) { result = windowsResult = expected; return *this; }
  Row& ResultOnWindows(int expected) { windowsResult = expected; return *this; }
  // Runs before the call; a non-empty text says why the row cannot run here.
  Row& Prepare(std::function<std::string(Env&)> setup) { prepare = std::move(setup); return *this; }
  // Connections the file server must have seen.
  Row& FileConnections(int count) { fileConnections = count; return *this; }
  // clang-format on

  const char* name;
  Script fileServer = Serves(kResponse);
  MakeReply reply = Lists({"a.bin"});
  int result = 0;
  int windowsResult = 0;
  std::function<std::string(Env&)> prepare;
  int fileConnections = -1;  // -1: any
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// A reply that would list one ad, behind a document type with the internal subset `decl` makes.
MakeReply WithDoctype(MakeReply decl) {
  return [decl](const Env& env) {
    return "<?xml version=\"1.0\"?><!DOCTYPE WebResponse" + decl(env) +
           "><WebResponse><AdList><Ad Flash=\"" + env.files + "/a.bin\"/></AdList></WebResponse>";
  };
}

MakeReply Doctype(const std::string& decl) {
  return WithDoctype([decl](const Env&) { return decl; });
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

#ifndef _WIN32
// A tmpfs over the cache folder (root only): size-limited, or read-only. Only a Linux test
// program can mount one.
std::string MountOverCache(Env& env, const std::string& options, bool readOnly) {
  env.mounts.push_back(std::make_unique<Tmpfs>(env.cacheDir, options, readOnly));
  return env.mounts.back()->error();
}
#endif

std::vector<Row> Rows() {
  std::vector<Row> rows = {
      Row("ResetInTheMiddleOfTheBody")
          .Serving(Script()
                       .ReadRequest()
                       .Send(kResponse.substr(0, kResponse.size() - 20))
                       .Pause(50ms)
                       .Reset())
          .Result(2),
      Row("GarbageInsteadOfHttp")
          .Serving(Serves("SSH-2.0-OpenSSH_9.2p1\r\n" + PatternBytes(300, 3)))
          .Result(2),
      Row("HeaderOf100KiB")
          .Serving(Serves("HTTP/1.0 200 OK\r\nX-Padding: " + std::string(100 * 1024, 'p') +
                          "\r\nContent-Length: 64\r\n\r\n" + kBody))
          .Result(2),
      Row("CacheDirIsAFile")
          .Prepare([](Env& env) {
            const std::string folder = env.cacheDir.substr(0, env.cacheDir.size() - 1);
            const bool placed = fs::remove(folder) && WriteFile(folder, "not a folder");
            return placed ? "" : "cannot place the file";
          })
          .Result(2),
      Row("AdListOf100000PresentEntries")
          .Reply([](const Env& env) {
            return Listing(env, std::vector<std::string>(100000, "a.bin"));
          })
          .Prepare([](Env& env) {
            return WriteFile(env.cacheDir + "a.bin", kBody) ? "" : "cannot place a.bin";
          })
          .Result(0)
          .FileConnections(0),
      Row("BillionLaughs").Reply(Doctype(Laughs())).Result(1).FileConnections(0),
      Row("ExternalEntityNamingALocalFile")
          .Reply(Doctype(" [<!ENTITY x SYSTEM \"file:///etc/passwd\">]"))
          .Result(1)
          .FileConnections(0),
      Row("ExternalEntityNamingALoopbackUrl")
          .Reply(WithDoctype([](const Env& env) {
            return " [<!ENTITY x SYSTEM \"" + env.trap + "/entity.xml\">]";
          }))
          .Result(1)
          .FileConnections(0),
      Row("PlainDoctype").Reply(Doctype("")).Result(1).FileConnections(0),
      Row("FileNameDotDot").Reply(Lists({"ads/.."})).Result(2).FileConnections(0),
      Row("FileNameOfThreeDots").Reply(Lists({"ads/..."})).Result(2).FileConnections(0),
      Row("FileNameDot").Reply(Lists({"ads/."})).Result(2).FileConnections(0),
      // '?' is an ordinary character in a Linux name; Windows refuses it when the file is opened.
      Row("FileNameWithQuestionMark")
          .Reply(Lists({"a.bin?v=2"}))
          .Result(0)
          .ResultOnWindows(2)
          .FileConnections(1),
      Row("FileNameWithPercent2F").Reply(Lists({"ads%2F..%2Fa.bin"})).Result(0).FileConnections(1),
      Row("FileNameWithNonAsciiBytes")
          .Reply(Lists({"caf\xC3\xA9-\xC3\xBC.bin"}))
          .Result(0)
          .FileConnections(1),
      Row("SameUrlListedTwice").Reply(Lists({"a.bin", "a.bin"})).Result(0).FileConnections(1),
  };
#ifndef _WIN32
  // Rows a Windows program cannot set up, and the one that waits out the 30 s receive budget
  // (run apart, labelled slow).
  rows.push_back(
      Row("DiskFillsUpMidFile")
          .Serving(Serves(HttpResponse(200, PatternBytes(512 * 1024, 4))))
          .Reply(Lists({"big.bin"}))
          .Prepare([](Env& env) { return MountOverCache(env, "size=128k,mode=0777", false); })
          .Result(2));
  rows.push_back(Row("ReadOnlyCacheDir")
                     .Prepare([](Env& env) {
                       if (geteuid() == 0) return MountOverCache(env, "size=64k", true);
                       // Not root: no mount, but the permissions hold.
                       std::error_code error;
                       fs::permissions(env.cacheDir,
                                       fs::perms::all & ~fs::perms::owner_write &
                                           ~fs::perms::group_write & ~fs::perms::others_write,
                                       error);
                       return error ? "cannot chmod: " + error.message() : std::string();
                     })
                     .Result(2));
  rows.push_back(Row("SlowServerNeverAnswers").Serving(Script().ReadRequest().Hold(45s)).Result(2));
#endif
  return rows;
}

// Everything in the folder around the cache folder, the cache folder's contents left out (a
// cache "folder" that is a file is in): relative path -> type, size and time.
std::map<std::string, std::string> Outside(const fs::path& root) {
  std::map<std::string, std::string> seen;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(root);
    std::error_code ignored;
    const fs::file_status status = it->symlink_status(ignored);
    if (relative == "cache" && fs::is_directory(status)) {
      it.disable_recursion_pending();
      continue;
    }
    std::string state = std::to_string(static_cast<int>(status.type()));
    if (fs::is_regular_file(status)) {
      state += ":" + std::to_string(it->file_size(ignored)) + ":" +
               std::to_string(it->last_write_time(ignored).time_since_epoch().count());
    }
    seen[relative.u8string()] = state;
  }
  return seen;
}

// The cache folder holds only whole files: no part file or unfinished list, every ad the
// server's bytes, and a FileList.xml that parses.
void ExpectOnlyWholeFiles(const std::string& cacheDir) {
  std::error_code error;
  for (fs::directory_iterator it(cacheDir, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    SCOPED_TRACE(path.filename().u8string());
    EXPECT_NE(path.extension(), ".part");
    EXPECT_NE(path.filename(), "FileList.xml.tmp");
    if (path.filename() == "FileList.xml") {
      std::vector<std::string> list;
      EXPECT_TRUE(ParseBack(path, list));
    } else if (it->is_regular_file()) {
      EXPECT_TRUE(ReadFile(path) == kBody) << "not the served bytes";
    }
  }
}

class FaultTest : public RefreshTest {
 protected:
  // One call with `reply` from the service; checks the result and what it left.
  void CallAndCheck(const std::string& reply, int expected) {
    ScriptServer service(ServiceAnswering(reply));
    const auto before = Outside(root());
    EXPECT_EQ(Call(service.BaseUrl() + "/AdService.asmx"), expected);
    ExpectOnlyWholeFiles(cacheDir());
    EXPECT_EQ(Outside(root()), before) << "something changed outside the cache folder";
  }
};

class FaultMatrix : public FaultTest, public testing::WithParamInterface<Row> {};

TEST_P(FaultMatrix, Row) {
  const Row& row = GetParam();
  ScriptServer files(row.fileServer);
  ScriptServer trap(Script().Close());
  Env env{files.BaseUrl(), trap.BaseUrl(), cacheDir()};
  if (row.prepare) {
    const std::string why = row.prepare(env);
    if (!why.empty()) RZT_CANNOT_RUN(why);
  }
  CallAndCheck(row.reply(env), kWindowsBuild ? row.windowsResult : row.result);
  if (row.fileConnections >= 0) {
    EXPECT_EQ(files.Connections(), row.fileConnections);
  }
  EXPECT_EQ(trap.Connections(), 0) << "the reply made the library connect somewhere";
}

// The file server closes after every prefix of a small response: only the whole response may
// give 0, and no prefix may leave a file. Under Wine a sample of the offsets runs.
TEST_F(FaultTest, ServerClosesAfterEachPrefixOfTheResponse) {
  const std::size_t size = kResponse.size();
  const std::size_t bodyAt = size - kBody.size();
  std::vector<std::size_t> offsets;
  if (kWindowsBuild) {
    offsets = {0, 1, 9, bodyAt - 2, bodyAt, bodyAt + 1, size - 1, size};
  } else {
    for (std::size_t at = 0; at <= size; ++at) offsets.push_back(at);
  }
  std::vector<Script> scripts;
  for (const std::size_t at : offsets) scripts.push_back(Serves(kResponse.substr(0, at)));
  ScriptServer files(scripts);
  const Env env{files.BaseUrl(), "", cacheDir()};
  for (const std::size_t at : offsets) {
    SCOPED_TRACE("closed after " + std::to_string(at) + " of " + std::to_string(size) + " bytes");
    CallAndCheck(Listing(env, {"cut.bin"}), at == size ? 0 : 2);
    if (HasFailure()) break;
  }
  EXPECT_EQ(ReadFile(CachePath("cut.bin")), kBody);
}

std::string RowName(const testing::TestParamInfo<Row>& row) { return row.param.name; }

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, testing::ValuesIn(Rows()), RowName);

}  // namespace
}  // namespace rztest
