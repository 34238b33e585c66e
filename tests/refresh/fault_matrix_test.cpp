// Whole refreshes against hostile servers, replies and disks, as one table, in this process on
// both builds. Every row states the result it expects; after every call the cache folder must
// hold only whole files (no part file, no half-saved list, every ad byte-identical to what the
// server sent) and nothing may have changed in the folder around it.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "support/cannot_run.h"
#include "support/refresh_fixture.h"
#include "support/tmpfs.h"

#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
  std::vector<std::shared_ptr<void>> held;  // mounts and open files, let go after the checks
  std::vector<std::string> placed;          // files the row put in the cache folder, unchecked
  std::string alias;                        // a short name the row read back
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
  // Names (UTF-8) that must hold the served ad afterwards, spelled as the test means them.
  Row& Cached(std::vector<std::string> names) { cached = std::move(names); return *this; }
  // clang-format on

  const char* name;
  Script fileServer = Serves(kResponse);
  MakeReply reply = Lists({"a.bin"});
  int result = 0;
  int windowsResult = 0;
  std::function<std::string(Env&)> prepare;
  int fileConnections = -1;  // -1: any
  std::vector<std::string> cached;
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
  const auto mount = std::make_shared<Tmpfs>(env.cacheDir, options, readOnly);
  env.held.push_back(mount);
  return mount->error();
}
#endif

// An empty file (which counts as absent) that no move can replace: bound over itself on Linux,
// held open without delete sharing on Windows.
std::string PlaceUnreplaceable(Env& env, const std::string& name) {
  const std::string path = env.cacheDir + name;
  if (!WriteFile(path, "")) return "cannot place " + name;
  env.placed.push_back(name);
#ifdef _WIN32
  env.held.push_back(HoldOpen(path));
  return env.held.back() ? "" : "cannot hold " + name + " open";
#else
  // A mount point: rename gets EBUSY. This thread (and those it starts) moves to a private mount
  // namespace first, once, so that no other process ever sees the mount.
  static const bool own =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  if (!own || mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return "cannot bind " + name + " over itself (root only): " + std::strerror(errno);
  }
  env.held.emplace_back(nullptr, [path](void*) { umount2(path.c_str(), MNT_DETACH); });
  return "";
#endif
}

// The request line's path.
std::string PathOf(const std::string& request) {
  const std::size_t end = request.find(' ', 4);
  return request.size() > 4 && end != std::string::npos ? request.substr(4, end - 4) : "";
}

// A request for `from` is answered with `status` and `location`, with a body that must never
// reach a file; one for `to` gets the ad, any other 404.
Script Redirects(int status, const std::string& from, const std::string& location,
                 const std::string& to = "/b.bin") {
  return Script().Answer([=](const std::string& request) {
    const std::string path = PathOf(request);
    if (path == from) return HttpResponse(status, "moved", {"Location: " + location});
    return path == to ? kResponse : HttpResponse(404, "");
  });
}

// Serves the ad, 200 ms late for the paths `late` picks: fetches side by side end in that order.
Script LateFor(std::function<bool(const std::string& path)> late) {
  return Script().Answer([late](const std::string& request) {
    if (late(PathOf(request))) std::this_thread::sleep_for(200ms);
    return kResponse;
  });
}

// "/hN" redirects to "/h<N-1>" and "/h0" serves the ad: the entry "hN" takes N redirects.
Script Hops() {
  return Script().Answer([](const std::string& request) {
    const int hops = std::atoi(PathOf(request).substr(2).c_str());
    if (hops == 0) return kResponse;
    return HttpResponse(302, "", {"Location: /h" + std::to_string(hops - 1)});
  });
}

Row Redirect(const char* name, int status) {
  return Row(name).Serving(Redirects(status, "/a.bin", "/b.bin")).Result(0).FileConnections(2);
}

Row WindowsRefuses(const char* name, const char* file) {
  return Row(name)
      .Reply(Lists({file}))
      .Result(0)
      .ResultOnWindows(2)
      .FileConnections(kWindowsBuild ? 0 : 1);
}

#ifdef _WIN32
// Lists spring_campaign.bin and its short name, read back from the file system (Wine makes
// SPRI~UNE.BIN of it, NTFS SPRING~1.BIN); `cached`: the file is there before the call.
Row ShortNameOf(const char* name, bool cached, bool aliasEndsFirst) {
  const std::string file = "spring_campaign.bin";
  return Row(name)
      .Reply([file](const Env& env) {
        return Listing(env, {file, env.alias});
      })
      .Serving(
          LateFor([=](const std::string& path) { return (path == "/" + file) == aliasEndsFirst; }))
      .Prepare([=](Env& env) {
        const std::string path = env.cacheDir + file;
        if (!WriteFile(path, kBody)) return "cannot place " + file;
        env.alias = rz::platform::ShortFileName(path.c_str());
        if (!cached) std::filesystem::remove(path);
        return env.alias.empty() || env.alias == file ? "no short name for " + file : "";
      })
      .Result(2)
      .Cached({file});
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
      // In code page 932 (run so on Windows as well) U+30A2 and U+30C2 are 83 41 and 83 61, one
      // ASCII case apart, and U+30BD is 83 5C, a backslash. Code page 1252 spells U+0175 as
      // its look-alike 'w'.
      Row("FileNamesDoubleByteOneCaseApart")
          .Reply(Lists({"\xE3\x82\xA2.bin", "\xE3\x83\x82.bin"}))
          .Result(0)
          .FileConnections(2),
      Row("FileNameDoubleByteEndingInABackslash")
          .Reply(Lists({"\xE3\x82\xBD.bin"}))
          .Result(0)
          .FileConnections(1)
          .Cached({"\xE3\x82\xBD.bin"}),
      Row("FileNameWithoutAnAnsiForm")
          .Reply(Lists({"\xC5\xB5.bin", "w.bin"}))
          .Result(0)
          .FileConnections(2)
          .Cached({"\xC5\xB5.bin", "w.bin"}),
      Row("SameUrlListedTwice").Reply(Lists({"a.bin", "a.bin"})).Result(0).FileConnections(1),
      // Names that the fetch of another entry, or the save of the list, once wrote to: each is an
      // ordinary ad, and no fetch may truncate or move another entry's file.
      Row("PartNameListedBeforeItsOwner")
          .Reply(Lists({"a.part", "a"}))
          .Result(0)
          .FileConnections(2),
      Row("PartNameCachedByAnEarlierCall")
          .Reply(Lists({"a"}))
          .Prepare([](Env& env) {
            return WriteFile(env.cacheDir + "a.part", kBody) ? "" : "cannot place a.part";
          })
          .Result(0)
          .FileConnections(1),
      Row("ListedAsTheListsTemporaryFile")
          .Reply(Lists({"FileList.xml.tmp"}))
          .Result(0)
          .FileConnections(1),
      // The list would overwrite that ad; the staging folder would pass for one.
      Row("ListedAsTheList").Reply(Lists({"ads/FileList.xml"})).Result(2).FileConnections(0),
      Row("ListedAsTheStagingFolder").Reply(Lists({".staging"})).Result(2).FileConnections(0),
      // What Windows reads into a name: refused there before any request, plain names on Linux.
      WindowsRefuses("ListedAsTheListInCapitals", "FILELIST.XML"),
      WindowsRefuses("DeviceName", "CON"),
      WindowsRefuses("DeviceNameWithExtension", "nul.mp4"),
      WindowsRefuses("NumberedDeviceName", "LPT9.bin"),
      WindowsRefuses("StreamName", "a.bin:stream"),
      WindowsRefuses("WildcardInName", "a*.bin"),
      WindowsRefuses("PipeInName", "a|b.bin"),
      WindowsRefuses("TrailingDot", "a.bin."),
      // Redirects: the file takes the entry's name, never the target's or the redirect's body.
      Redirect("Redirect301", 301),
      Redirect("Redirect302", 302),
      Redirect("Redirect303", 303),
      Redirect("Redirect307", 307),
      Redirect("Redirect308", 308),
      Row("RelativeLocationWithDotSegments")
          .Reply(Lists({"d/e/a.bin"}))
          .Serving(Redirects(302, "/d/e/a.bin", "../f/./b.bin?v=1", "/d/f/b.bin?v=1"))
          .Result(0)
          .FileConnections(2),
      Row("RedirectLoop").Serving(Redirects(302, "/a.bin", "/a.bin")).Result(2).FileConnections(11),
      Row("TenRedirects").Reply(Lists({"h10"})).Serving(Hops()).Result(0).FileConnections(11),
      Row("EleventhRedirect").Reply(Lists({"h11"})).Serving(Hops()).Result(2).FileConnections(11),
      Row("RedirectToFtp")
          .Serving(Redirects(301, "/a.bin", "ftp://127.0.0.1/b.bin"))
          .Result(2)
          .FileConnections(1),
      Row("RedirectWithoutLocation").Serving(Serves(HttpResponse(302, "x"))).Result(2),
      // The hop is refused before it is asked for, whatever the control character would do.
      Row("LocationWithAControlCharacter")
          .Serving(Redirects(302, "/a.bin", "/b.bin\nX-Injected: yes"))
          .Result(2)
          .FileConnections(1),
      // Raw UTF-8, as a server configured with a non-ASCII path sends it, goes on percent-encoded.
      Row("LocationWithRawNonAsciiBytes")
          .Serving(Redirects(302, "/a.bin", u8"/f/\u00FCber.bin", "/f/%C3%BCber.bin"))
          .Result(0)
          .FileConnections(2),
      // No fragment is sent, the entry's nor a hop's; the file keeps the name as listed.
      Row("FragmentsAreNotSent")
          .Reply(Lists({"a.bin#one"}))
          .Serving(Redirects(302, "/a.bin", "/b.bin#two"))
          .Result(0)
          .FileConnections(2)
          .Cached({"a.bin#one"}),
      Row("Status300IsNotFollowed")
          .Serving(Redirects(300, "/a.bin", "/b.bin"))
          .Result(2)
          .FileConnections(1),
      // Its entry alone fails: the files listed before and after it, fetched after it, are kept.
      Row("NameThatCannotBeReplaced")
          .Reply(Lists({"before.bin", "held.bin", "after.bin"}))
          .Serving(LateFor([](const std::string& path) { return path != "/held.bin"; }))
          .Prepare([](Env& env) { return PlaceUnreplaceable(env, "held.bin"); })
          .Result(2)
          .FileConnections(3)
          .Cached({"before.bin", "after.bin"}),
  };
#ifdef _WIN32
  // An entry named as another file's short name never reaches that file, whether that one is
  // cached already or fetched beside it, ending before or after it.
  rows.push_back(ShortNameOf("ShortNameOfACachedFile", true, false).FileConnections(0));
  rows.push_back(ShortNameOf("ShortNameFetchedFirst", false, true).FileConnections(2));
  rows.push_back(ShortNameOf("ShortNameFetchedLast", false, false).FileConnections(2));
#endif
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

// The cache folder holds only whole files: every ad the server's bytes and a FileList.xml that
// parses. Unless `keepsPart`, nothing is staged but the folder's lock. After a result of 0, every
// file the list names is there: the promise a host relies on.
void ExpectOnlyWholeFiles(const std::string& cacheDir, int result, const std::string& body,
                          bool keepsPart, const std::vector<std::string>& placed = {}) {
  std::error_code error;
  for (fs::directory_iterator it(cacheDir, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    SCOPED_TRACE(path.filename().u8string());
    if (std::find(placed.begin(), placed.end(), path.filename().u8string()) != placed.end()) {
      continue;
    } else if (path.filename() == ".staging") {
      const auto staged = ListFolder(path);
      if (!keepsPart) {
        EXPECT_TRUE(staged.empty() || staged == std::vector<std::string>{"lock"});
      }
    } else if (path.filename() == "FileList.xml") {
      std::vector<std::string> list;
      EXPECT_TRUE(ParseBack(path, list));
    } else if (it->is_regular_file()) {
      EXPECT_TRUE(ReadFile(path) == body) << "not the served bytes";
    }
  }
  std::vector<std::string> listed;
  if (result != 0 || !ParseBack(cacheDir + "FileList.xml", listed)) return;
  for (const auto& url : listed) {
    const std::string name = url.substr(url.find_last_of("/\\") + 1);
    EXPECT_TRUE(ReadFile(fs::u8path(cacheDir + name)) == body)
        << name << " is listed but not whole";
  }
}

class FaultTest : public RefreshTest {
 protected:
  // One call with `reply` from the service; checks the result and what it left.
  void CallAndCheck(const std::string& reply, int expected, const std::string& body = kBody,
                    bool keepsPart = false, const std::vector<std::string>& placed = {}) {
    ScriptServer service(ServiceAnswering(reply));
    const auto before = Outside(root());
    const int result = Call(service.BaseUrl() + "/AdService.asmx");
    EXPECT_EQ(result, expected);
    ExpectOnlyWholeFiles(cacheDir(), result, body, keepsPart, placed);
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
  CallAndCheck(row.reply(env), kWindowsBuild ? row.windowsResult : row.result, kBody, false,
               env.placed);
  if (row.fileConnections >= 0) {
    EXPECT_EQ(files.Connections(), row.fileConnections);
  }
  for (const auto& name : row.cached) {
    EXPECT_TRUE(ReadFile(fs::u8path(cacheDir() + name)) == kBody) << name << " is not cached";
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

// Two calls on one cache folder at once, as a host's timer and a slow refresh make them: the
// second waits for the first to finish its pass and save, then finds the file the first fetched.
// Both succeed, and the file is fetched once and whole.
TEST_F(FaultTest, OverlappingCallsTakeTurnsAndBothSucceed) {
  const std::string body = PatternBytes(256 * 1024, 9);
  const std::string response = HttpResponse(200, body);
  const std::size_t half = response.size() / 2;
  ScriptServer files(Script()
                         .ReadRequest()
                         .Send(response.substr(0, half))
                         .Pause(1500ms)
                         .Send(response.substr(half)));
  const Env env{files.BaseUrl(), "", cacheDir()};
  ScriptServer service(ServiceAnswering(Listing(env, {"shared.bin"})));
  const std::string url = service.BaseUrl() + "/AdService.asmx";
  int first = -1;
  int second = -1;
  std::thread one([&] { first = Call(url); });
  // The second call starts while the first is half-way through the file.
  const std::string staged =
      cacheDir() + ".staging" + (kWindowsBuild ? "\\" : "/") + "shared.bin.part";
  for (int i = 0; i < 500 && !fs::exists(staged); ++i) std::this_thread::sleep_for(10ms);
  std::thread two([&] { second = Call(url); });
  one.join();
  two.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(files.Connections(), 1);
  EXPECT_TRUE(ReadFile(CachePath("shared.bin")) == body) << "not the served bytes";
  ExpectOnlyWholeFiles(cacheDir(), 0, body, false);
}

// A second call starts while the first is half-way through its file, and its list names only a
// file that the first call's list drops. The first removes that file under the lock, before the
// second's pass may look: the second finds it absent, fetches it again and returns 0 with it in
// place, and then removes the first call's file in turn.
TEST_F(FaultTest, APruneNeverTakesAFileFromAnOverlappingCall) {
  const std::string body = PatternBytes(256 * 1024, 9);
  const std::string response = HttpResponse(200, body);
  const std::size_t half = response.size() / 2;
  ScriptServer files({Script()
                          .ReadRequest()
                          .Send(response.substr(0, half))
                          .Pause(1500ms)
                          .Send(response.substr(half)),
                      Serves(kResponse)});
  const Env env{files.BaseUrl(), "", cacheDir()};
  ASSERT_TRUE(WriteFile(CachePath("other.bin"), kBody));
  ScriptServer firstService(ServiceAnswering(Listing(env, {"shared.bin"})));
  ScriptServer secondService(ServiceAnswering(Listing(env, {"other.bin"})));
  const ScopedPrune prune;
  int first = -1;
  int second = -1;
  std::thread one([&] { first = Call(firstService.BaseUrl() + "/AdService.asmx"); });
  const std::string staged =
      cacheDir() + ".staging" + (kWindowsBuild ? "\\" : "/") + "shared.bin.part";
  for (int i = 0; i < 500 && !fs::exists(staged); ++i) std::this_thread::sleep_for(10ms);
  std::thread two([&] { second = Call(secondService.BaseUrl() + "/AdService.asmx"); });
  one.join();
  two.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(files.Connections(), 2);
  EXPECT_TRUE(ReadFile(CachePath("other.bin")) == kBody) << "the second call's file is missing";
  EXPECT_EQ(CacheContents(cacheDir()), (std::vector<std::string>{"FileList.xml", "other.bin"}));
}

// ---- A call cut off half-way through a file, then a call that may continue it ----

const std::string kWhole = PatternBytes(96 * 1024, 5);  // the server's file, version "v1"
const std::string kNewer = PatternBytes(96 * 1024, 6);  // the file after a change, "v2"
const std::size_t kHalf = kWhole.size() / 2;
const std::string kTotal = std::to_string(kWhole.size());
// The moment every response of these rows was made.
const std::string kSentAt = "Date: Tue, 08 Dec 2026 12:00:00 GMT";

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
  bool keeps = true;        // the first call's bytes are kept for a continuation
};

void PrintTo(const ResumeRow& row, std::ostream* os) { *os << row.name; }

std::vector<ResumeRow> ResumeRows() {
  const std::string v1 = "ETag: \"v1\"";
  const std::string v2 = "ETag: \"v2\"";
  const std::string modified = "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT";
  const std::string rest = kWhole.substr(kHalf);
  const std::string shortened = "Content-Range: bytes " + std::to_string(kHalf) + "-" +
                                std::to_string(kHalf + 999) + "/" + kTotal;
  return {
      {"Continues", v1, HttpResponse(206, rest, {v1, Range(kHalf, kWhole.size())}), 2, &kWhole},
      {"ContinuesOnLastModified", modified,
       HttpResponse(206, rest, {modified, kSentAt, Range(kHalf, kWhole.size())}), 2, &kWhole},
      {"NothingKeptWithoutValidator", "", HttpResponse(200, kWhole), 2, &kWhole, false},
      // Changed within the second of its Date, the file keeps its date: that vouches for nothing.
      {"NothingKeptOnRecentLastModified", "Last-Modified: Tue, 08 Dec 2026 12:00:00 GMT",
       HttpResponse(200, kWhole), 2, &kWhole, false},
      {"NoValidatorIn206", v1, HttpResponse(206, rest, {Range(kHalf, kWhole.size())}), 3, &kWhole},
      {"ShortenedRange", v1, HttpResponse(206, rest.substr(0, 1000), {v1, shortened}), 3, &kWhole},
      {"IgnoresRange", v1, HttpResponse(200, kWhole, {v1}), 3, &kWhole},
      {"FileChanged", v1, HttpResponse(200, kNewer, {v2}), 3, &kNewer},
      {"ChangedValidatorIn206", v1,
       HttpResponse(206, kNewer.substr(kHalf), {v2, Range(kHalf, kWhole.size())}), 3, &kNewer},
      {"WrongRange", v1, HttpResponse(206, kWhole, {v1, Range(0, kWhole.size())}), 3, &kWhole},
      {"OtherTotal", v1, HttpResponse(206, rest + "+", {v1, Range(kHalf, kWhole.size() + 1)}), 3,
       &kWhole},
      {"RangeNotSatisfiable", v1, HttpResponse(416, "", {"Content-Range: bytes */" + kTotal}), 3,
       &kWhole},
  };
}

class Resume : public FaultTest, public testing::WithParamInterface<ResumeRow> {};

TEST_P(Resume, Row) {
  const ResumeRow& row = GetParam();
  std::vector<std::string> fields = {kSentAt};
  if (!row.validator.empty()) fields.push_back(row.validator);
  const std::string cut = HttpResponse(200, kWhole, fields);
  // The whole file as the server holds it by the second call, for a refetch.
  if (row.file != &kWhole) fields = {"ETag: \"v2\""};
  const std::string whole = HttpResponse(200, *row.file, fields);
  ScriptServer files(
      {Serves(cut.substr(0, cut.size() - kHalf)), Serves(row.answer), Serves(whole)});
  const Env env{files.BaseUrl(), "", cacheDir()};
  const fs::path staging = fs::path(cacheDir()) / ".staging";
  // Kept data of an entry the list no longer names goes after any call, a failed one included.
  ASSERT_TRUE(fs::create_directories(staging) && WriteFile(staging / "gone.bin.part", "gone") &&
              WriteFile(staging / "gone.bin.rec", ""));
  CallAndCheck(Listing(env, {"big.bin"}), 2, kWhole, true);
  EXPECT_EQ(ListFolder(staging).size(), row.keeps ? 3u : 1u) << "lock, part, record";

  CallAndCheck(Listing(env, {"big.bin"}), 0, *row.file);
  EXPECT_EQ(files.Connections(), row.connections);
  const std::string request = files.WaitForRequest(1);
  const std::size_t at = row.validator.find(' ');
  const std::string ask = "Range: bytes=" + std::to_string(kHalf) +
                          "-\r\nIf-Range: " + row.validator.substr(at + 1) + "\r\n";
  EXPECT_EQ(request.find(row.keeps ? ask : "Range:") != std::string::npos, row.keeps) << request;
  EXPECT_EQ(ListFolder(staging), std::vector<std::string>{"lock"}) << "kept data not pruned";
}

// A continuation that is redirected asks the new location for the same range, and the bytes it
// gets complete the entry's kept data.
TEST_F(FaultTest, ContinuationFollowsARedirect) {
  const std::string cut = HttpResponse(200, kWhole, {"ETag: \"v1\""});
  ScriptServer files({Serves(cut.substr(0, cut.size() - kHalf)),
                      Serves(HttpResponse(307, "", {"Location: /moved/big.bin"})),
                      Serves(HttpResponse(206, kWhole.substr(kHalf),
                                          {"ETag: \"v1\"", Range(kHalf, kWhole.size())}))});
  const Env env{files.BaseUrl(), "", cacheDir()};
  CallAndCheck(Listing(env, {"big.bin"}), 2, kWhole, true);
  CallAndCheck(Listing(env, {"big.bin"}), 0, kWhole);
  const std::string moved = files.WaitForRequest(2);
  EXPECT_EQ(moved.find("GET /moved/big.bin HTTP/1.0\r\n"), 0u) << moved;
  EXPECT_NE(moved.find("Range: bytes=" + std::to_string(kHalf) + "-\r\nIf-Range: \"v1\"\r\n"),
            std::string::npos)
      << moved;
}

INSTANTIATE_TEST_SUITE_P(Kept, Resume, testing::ValuesIn(ResumeRows()),
                         [](const testing::TestParamInfo<ResumeRow>& row) {
                           return row.param.name;
                         });

std::string RowName(const testing::TestParamInfo<Row>& row) { return row.param.name; }

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, testing::ValuesIn(Rows()), RowName);

}  // namespace
}  // namespace rztest
