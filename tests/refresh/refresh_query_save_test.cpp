// Whole refreshes in this process, on both builds: the query stage (results 1), the save stage
// (results 0 and 3) and the GetAd request as the service receives it.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "entry/refresh.h"
#include "platform/module_path.h"
#include "service/getad.h"
#include "support/refresh_fixture.h"

namespace rztest {
namespace {

using QueryAndSave = RefreshTest;

TEST_F(QueryAndSave, AnEmptyAdListSavesAListThatParsesBackEmpty) {
  ScriptServer service(ServiceAnswering(GetAdReply({})));
  ASSERT_EQ(Call(service.BaseUrl() + "/AdService.asmx"), 0);

  std::vector<std::string> list{"sentinel"};
  EXPECT_TRUE(ParseBack(CachePath("FileList.xml"), list));
  EXPECT_TRUE(list.empty());
  // The save leaves nothing else behind.
  EXPECT_EQ(CacheContents(cacheDir()), std::vector<std::string>{"FileList.xml"});
}

// Replies whose ad list the parser must read exactly. Every file a correct reading lists is
// already in the cache; anything else points at a closed port, so reading too much shows as 2.
struct ListedReply {
  const char* name;
  std::string adList;                 // what goes inside the reply's SOAP body
  std::vector<std::string> expected;  // the list FileList.xml parses back to
  std::vector<std::string> cached;    // files put in the cache beforehand
};

std::string Body(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
         "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>" +
         inner + "</soap:Body></soap:Envelope>";
}

using AdListReplies = RefreshTest;

TEST_F(AdListReplies, AreReadAsTheirFirstAdListAndSavedWhole) {
  const std::string closed = "http://127.0.0.1:1/";
  const std::vector<ListedReply> cases = {
      {"prefixed namespace",
       "<r:GetAdResponse xmlns:r=\"urn:ads\"><r:WebResponse><r:AdList><r:Ad Flash=\"" + closed +
           "a.bin\"/></r:AdList></r:WebResponse></r:GetAdResponse>",
       {closed + "a.bin"},
       {"a.bin"}},
      {"only the first AdList",
       "<WebResponse><AdList><Ad Flash=\"" + closed + "a.bin\"/></AdList><AdList><Ad Flash=\"" +
           closed + "b.bin\"/></AdList></WebResponse>",
       {closed + "a.bin"},
       {"a.bin"}},
      {"entity in a value",
       "<WebResponse><AdList><Ad Flash=\"" + closed + "a&amp;b.bin\"/></AdList></WebResponse>",
       {closed + "a&b.bin"},
       {"a&b.bin"}},
      {"children that are skipped",
       "<WebResponse><AdList>text<!-- <Ad Flash=\"" + closed +
           "c.bin\"/> --><?pi x?>"
           "<![CDATA[<Ad Flash=\"x\"/>]]><Ad Other=\"" +
           closed + "d.bin\"/><Ad Flash=\"" + closed + "a.bin\"/></AdList></WebResponse>",
       {closed + "a.bin"},
       {"a.bin"}},
  };
  for (const ListedReply& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& name : c.cached) ASSERT_TRUE(WriteFile(CachePath(name), "cached"));
    ScriptServer service(ServiceAnswering(Body(c.adList)));
    EXPECT_EQ(Call(service.BaseUrl() + "/AdService.asmx"), 0);
    std::vector<std::string> saved;
    EXPECT_TRUE(ParseBack(CachePath("FileList.xml"), saved));
    EXPECT_EQ(saved, c.expected);
  }
}

TEST_F(AdListReplies, RefuseAValueLongerThan259Bytes) {
  const std::string longUrl = "http://127.0.0.1:1/" + std::string(300 - 19, 'a');
  ScriptServer service(ServiceAnswering(GetAdReply({longUrl})));
  EXPECT_EQ(Call(service.BaseUrl() + "/AdService.asmx"), 1);
  EXPECT_TRUE(CacheContents(cacheDir()).empty());
}

struct QueryFailure {
  const char* name;
  const char* reply;  // nullptr: no service at all
  const char* url;    // nullptr: the service's URL
};

using QueryFails = RefreshTest;

TEST_F(QueryFails, WithResultOneAndTheOldListUntouched) {
  const QueryFailure cases[] = {
      {"not XML", "this is not XML at all", nullptr},
      {"no AdList", "<?xml version=\"1.0\"?><WebResponse><Other/></WebResponse>", nullptr},
      {"empty URL", nullptr, ""},
      {"unreachable service", nullptr, nullptr},
  };
  const std::string oldList = GetAdReply({"http://127.0.0.1:1/old.bin"});
  ASSERT_TRUE(WriteFile(CachePath("FileList.xml"), oldList));

  for (const QueryFailure& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ScriptServer> service;
    std::string url;
    if (c.reply != nullptr) {
      service = std::make_unique<ScriptServer>(ServiceAnswering(c.reply));
      url = service->BaseUrl() + "/AdService.asmx";
    } else if (c.url != nullptr) {
      url = c.url;
    } else {
      url = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/AdService.asmx";
    }
    EXPECT_EQ(Call(url), 1);
    EXPECT_EQ(ReadFile(CachePath("FileList.xml")), oldList);
    EXPECT_EQ(CacheContents(cacheDir()), std::vector<std::string>{"FileList.xml"});
  }
}

using SaveFails = RefreshTest;

// An empty folder text is what the export passes when it cannot work the folder out.
TEST_F(SaveFails, WithoutACacheFolderAndAnEmptyList) {
  ScriptServer service(ServiceAnswering(GetAdReply({})));
  std::filesystem::remove(cacheDir());
  EXPECT_EQ(Call(service.BaseUrl() + "/AdService.asmx"), 3);
  EXPECT_TRUE(ListFolder(root()).empty());
  EXPECT_EQ(rz::Refresh("", "", (service.BaseUrl() + "/AdService.asmx").c_str(), ""), 3);
}

TEST_F(SaveFails, WhenTheTemporaryFileCannotBeWrittenAndKeepsTheOldList) {
  const std::string oldList = GetAdReply({"http://127.0.0.1:1/old.bin"});
  ASSERT_TRUE(WriteFile(CachePath("FileList.xml"), oldList));
  // A non-empty folder in the temporary file's place: neither written nor replaced, even by root.
  const std::filesystem::path blocker =
      std::filesystem::path(cacheDir()) / ".staging" / "FileList.xml.tmp";
  ASSERT_TRUE(std::filesystem::create_directories(blocker));
  ASSERT_TRUE(WriteFile(blocker / "keep", "x"));

  ScriptServer service(ServiceAnswering(GetAdReply({})));
  EXPECT_EQ(Call(service.BaseUrl() + "/AdService.asmx"), 3);
  EXPECT_EQ(ReadFile(CachePath("FileList.xml")), oldList);
  EXPECT_EQ(ReadFile(blocker / "keep"), "x");
}

struct PruneCall {
  const char* name;
  const char* variable;  // RAZARA_PRUNE for the call; nullptr: not set
  const char* reply;     // nullptr: a list of a.bin and b.bin, both cached
  std::vector<std::string> listed;
  int result;
  bool prunes;
};

using Prune = RefreshTest;

// Only a call that returns 0 with RAZARA_PRUNE=1 removes what its saved list does not name; the
// folder, the list, the staging folder and (Linux) a link to a file outside always stay.
TEST_F(Prune, RemovesOnlyAfterASuccessfulCallThatAskedForIt) {
  const std::string closed = "http://127.0.0.1:1/";
  const PruneCall calls[] = {
      {"asked", "1", nullptr, {"a.bin", "b.bin"}, 0, true},
      {"not asked", nullptr, nullptr, {"a.bin", "b.bin"}, 0, false},
      {"asked otherwise", "yes", nullptr, {"a.bin", "b.bin"}, 0, false},
      {"query fails", "1", "not XML", {}, 1, false},
      {"download fails", "1", nullptr, {"a.bin", "missing.bin"}, 2, false},
  };
  const std::filesystem::path outside = root() / "outside.bin";
  ASSERT_TRUE(WriteFile(outside, "outside"));
  for (const PruneCall& c : calls) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path cache = root() / c.name;
    std::vector<std::string> kept = {"FileList.xml", "a.bin", "b.bin", "sub"};
    ASSERT_TRUE(std::filesystem::create_directories(cache / "sub"));
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin", "FileList.xml"}) {
      ASSERT_TRUE(WriteFile(cache / name, name));
    }
    if (!kWindowsBuild) {
      std::filesystem::create_symlink(outside, cache / "link.bin");
      kept.push_back("link.bin");
    }
    std::vector<std::string> flashes;
    for (const auto& name : c.listed) flashes.push_back(closed + name);
    ScriptServer service(ServiceAnswering(c.reply ? c.reply : GetAdReply(flashes)));
    const ScopedPrune variable(c.variable);
    EXPECT_EQ(rz::Refresh("O", "H", (service.BaseUrl() + "/AdService.asmx").c_str(),
                          cache.string() + rz::platform::kPathSeparator),
              c.result);
    if (!c.prunes) kept.insert(kept.end(), {"c.bin", "d.bin"});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(CacheContents(cache), kept);
    EXPECT_EQ(ReadFile(outside), "outside");
  }
}

// The request header lines after the request line, name and value split at the first colon.
std::vector<std::pair<std::string, std::string>> HeaderLines(const std::string& head) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::size_t begin = head.find("\r\n");
  while (begin != std::string::npos && begin + 2 < head.size()) {
    begin += 2;
    const std::size_t end = head.find("\r\n", begin);
    const std::string line = head.substr(begin, end - begin);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      lines.emplace_back(line.substr(0, colon), value);
    }
    begin = end;
  }
  return lines;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

using GetAdRequest = RefreshTest;

TEST_F(GetAdRequest, ArrivesWithItsMethodTargetHeadersAndEscapedEnvelope) {
  const std::string outsideId = "OUT&<1>";
  const std::string hardwareId = "HW 7";
  const auto envelope = rz::BuildGetAdEnvelope(outsideId.c_str(), hardwareId.c_str());
  ASSERT_TRUE(envelope.has_value());

  ScriptServer service(ServiceAnswering(GetAdReply({})));
  const std::string url = service.BaseUrl() + "/svc/AdService.asmx";
  ASSERT_EQ(rz::Refresh(outsideId.c_str(), hardwareId.c_str(), url.c_str(), cacheDir()), 0);

  const auto requests = service.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& request = requests[0];
  const std::size_t headEnd = request.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos) << request;
  EXPECT_EQ(request.rfind("POST /svc/AdService.asmx HTTP/1.", 0), 0u) << request;
  EXPECT_EQ(request.substr(headEnd + 4), *envelope);
  EXPECT_NE(envelope->find("<outsideCardID>OUT&amp;&lt;1&gt;</outsideCardID>"), std::string::npos);

  // The three headers the exchange sets, in the order it sets them. Wine's XMLHTTPRequest puts
  // them on the wire in reverse order, so the order is checked for the Linux build only.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"content-type", "text/xml;charset=utf-8"},
      {"soapaction", rz::kSoapAction},
      {"content-length", std::to_string(envelope->size())},
  };
  std::vector<std::size_t> positions;
  const auto lines = HeaderLines(request.substr(0, headEnd + 2));
  for (const auto& [name, value] : expected) {
    const auto found = std::find_if(lines.begin(), lines.end(),
                                    [&](const auto& line) { return Lower(line.first) == name; });
    ASSERT_NE(found, lines.end()) << name << "\n" << request;
    EXPECT_EQ(found->second, value) << name;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const auto& line) { return Lower(line.first) == name; }),
              1)
        << name;
    positions.push_back(static_cast<std::size_t>(found - lines.begin()));
  }
  if (!kWindowsBuild) {
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << request;
  }
}

}  // namespace
}  // namespace rztest
