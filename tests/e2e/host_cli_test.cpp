// The command-line host's own contract on both builds: its options, messages and exit codes, the
// library's reasons that -v brings to light, and a start from a folder named in non-ASCII letters.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host_process.h"
#include "support/cannot_run.h"
#include "support/refresh_fixture.h"

namespace rze {
namespace {

class HostCli : public testing::TestWithParam<Host> {
 protected:
  void SetUp() override {
    const HostFolder probe(GetParam());
    if (!probe.error().empty()) RZT_CANNOT_RUN(probe.error());
  }
  bool OnLinux() const { return GetParam() == Host::kLinux; }
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The line of `text` that holds `part`, or "" when none does.
std::string LineWith(const std::string& text, const std::string& part) {
  const std::size_t at = text.find(part);
  if (at == std::string::npos) return {};
  const std::size_t start = text.rfind('\n', at);
  const std::size_t from = start == std::string::npos ? 0 : start + 1;
  return text.substr(from, text.find_first_of("\r\n", at) - from);
}

TEST_P(HostCli, HelpVersionUsageErrorsAndExitCodes) {
  HostFolder host(GetParam());
  ASSERT_TRUE(host.error().empty()) << host.error();

  const RunResult help = host.RunArgs({"--help"});
  EXPECT_EQ(help.exitCode, 0) << Describe(help);
  for (const char* named :
       {"--verbose", "--quiet", "--version", "--prune", "\n  64 ", "\n  69 ", "\n  73 "}) {
    EXPECT_TRUE(Has(help.out, named)) << named << "\n" << Describe(help);
  }

  const RunResult version = host.RunArgs({"--version"});
  EXPECT_EQ(version.exitCode, 0) << Describe(version);
  EXPECT_TRUE(Has(version.out, OnLinux() ? "libRovireZevaDe.so" : "RovireZevaDe.dll"))
      << Describe(version);
  EXPECT_TRUE(OnLinux() || Has(version.out, "file version 1.")) << Describe(version);

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--bogus", "A", "B", "C"},
                                                {"A", "B"},
                                                {"-v", "-q", "A", "B", "C"}}) {
    const RunResult usage = host.RunArgs(wrong);
    EXPECT_EQ(usage.exitCode, 64) << Describe(usage);
    EXPECT_TRUE(usage.out.empty() && Has(usage.err, "usage: razara")) << Describe(usage);
  }

  // RazaRa's result passes through; -q leaves only the error.
  const RunResult quiet = host.RunArgs({"-q", "--no-mkdir", "A", "B", ""});
  EXPECT_EQ(quiet.exitCode, 1) << Describe(quiet);
  EXPECT_TRUE(quiet.out.empty() && Has(quiet.err, "RazaRa returned 1")) << Describe(quiet);

  // A cache folder that cannot be made: its path and the system's reason.
  ASSERT_TRUE(rztest::WriteFile(host.dir() + "/Tavrin", "a file where the folder goes"));
  const RunResult blocked = host.RunArgs({"A", "B", "http://127.0.0.1:9/"});
  EXPECT_EQ(blocked.exitCode, 73) << Describe(blocked);
  EXPECT_TRUE(Has(blocked.err, "Tavrin") && Has(blocked.err, "error ")) << Describe(blocked);

  // No library beside the program.
  std::filesystem::remove(host.dir() + (OnLinux() ? "/libRovireZevaDe.so.1" : "/RovireZevaDe.dll"));
  const RunResult alone = host.RunArgs({"A", "B", "http://127.0.0.1:9/"});
  EXPECT_EQ(alone.exitCode, 69) << Describe(alone);
  EXPECT_TRUE(Has(alone.err, "RovireZevaDe")) << Describe(alone);
}

TEST_P(HostCli, VerboseNamesTheFailingUrlAndTheReasonInOneLine) {
  HostFolder host(GetParam());
  ASSERT_TRUE(host.error().empty()) << host.error();
  rztest::ScriptServer files(rztest::Respond(rztest::HttpResponse(404, "gone")));
  const std::string missing = files.BaseUrl() + "/missing.bin";
  const std::string refused =
      "http://127.0.0.1:" + std::to_string(rztest::UnusedLoopbackPort()) + "/refused.bin";
  const std::string refusedWhy = OnLinux() ? "; errno 111: " : "; Winsock error 10061: ";

  for (const auto& [url, why] :
       {std::pair{missing, std::string(" failed: -808 (")},
        std::pair{refused, " failed: -1004 (connection failed" + refusedWhy}}) {
    rztest::ScriptServer service(rztest::ServiceAnswering(rztest::GetAdReply({url})));
    const RunResult result = host.RunArgs({"-v", "A", "B", service.BaseUrl() + "/AdService.asmx"});
    EXPECT_EQ(result.exitCode, 2) << Describe(result);
    const std::string line = LineWith(result.err, "RazaRa: download " + url);
    EXPECT_TRUE(Has(line, why)) << "expected \"" << why << "\" in: " << line << "\n"
                                << Describe(result);
    EXPECT_TRUE(Has(result.err, "RazaRa: result 2")) << Describe(result);
  }
}

// --prune: the file the list does not name goes, and the report says so with the bytes freed.
TEST_P(HostCli, PruneRemovesWhatTheListDoesNotNameAndReportsIt) {
  HostFolder host(GetParam());
  ASSERT_TRUE(host.error().empty()) << host.error();
  std::filesystem::create_directories(host.CacheDir());
  ASSERT_TRUE(rztest::WriteFile(host.CachePath("old.bin"), "12345"));
  rztest::ScriptServer files(rztest::Respond(rztest::HttpResponse(200, "the ad")));
  rztest::ScriptServer service(
      rztest::ServiceAnswering(rztest::GetAdReply({files.BaseUrl() + "/ad.bin"})));
  const RunResult result = host.RunArgs({"-v", "--prune", "A", "B", service.BaseUrl() + "/svc"});
  EXPECT_EQ(result.exitCode, 0) << Describe(result);
  EXPECT_FALSE(std::filesystem::exists(host.CachePath("old.bin")));
  EXPECT_EQ(rztest::ReadFile(host.CachePath("ad.bin")), "the ad");
  EXPECT_TRUE(Has(LineWith(result.out, "old.bin"), "removed")) << Describe(result);
  EXPECT_TRUE(Has(result.out, "Files removed in this call: 1 (5 bytes freed)")) << Describe(result);
  EXPECT_TRUE(Has(LineWith(result.err, "RazaRa: prune "), "old.bin removed (5 bytes)"))
      << Describe(result);
}

// The host used to abort here: the ANSI path of the program was taken for UTF-8. U+30BD is
// outside the usual ANSI code pages, so the library must find its folder by the wide path.
TEST_P(HostCli, RunsFromAFolderNamedInNonAsciiLetters) {
  HostFolder host(GetParam(),
                  "Caf\xC3\xA9 K\xC3\xBC"
                  "che \xE3\x82\xBD");
  ASSERT_TRUE(host.error().empty()) << host.error();
  rztest::ScriptServer files(rztest::Respond(rztest::HttpResponse(200, "the ad")));
  rztest::ScriptServer service(
      rztest::ServiceAnswering(rztest::GetAdReply({files.BaseUrl() + "/ad.bin"})));
  const RunResult result = host.Run(service.BaseUrl() + "/AdService.asmx");
  EXPECT_EQ(result.exitCode, 0) << Describe(result);
  EXPECT_EQ(rztest::ReadFile(host.CachePath("ad.bin")), "the ad");
  EXPECT_TRUE(Has(result.out,
                  "Caf\xC3\xA9 K\xC3\xBC"
                  "che \xE3\x82\xBD"))
      << Describe(result);
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostCli, testing::Values(Host::kLinux, Host::kWindows),
                         [](const testing::TestParamInfo<Host>& hostInfo) {
                           return HostName(hostInfo.param);
                         });

}  // namespace
}  // namespace rze
