// What the end-to-end refresh tests share: the fixture parameterised over the host (the Linux
// build, and the Windows build under Wine), the GetAd replies the scripted service answers with,
// and the reading back of FileList.xml.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host_process.h"
#include "support/script_server.h"

namespace rze {

// A GetAdResponse listing `flashes`, as a SOAP stack writes it (the service's namespace on the
// response element).
std::string GetAdReply(const std::vector<std::string>& flashes);

// The service: answers every POST with `reply` as a 200 text/xml response.
rztest::Script ServiceAnswering(const std::string& reply);

// FileList.xml at `path`, parsed back into its ad list; false when it does not parse.
bool ParseBack(const std::string& path, std::vector<std::string>& list);

// `size` bytes that differ from position to position, so that a misplaced block shows.
std::string PatternBytes(std::size_t size, unsigned seed);

// The host's output, for failure messages.
std::string Describe(const RunResult& result);

class RefreshTest : public testing::TestWithParam<Host> {
 protected:
  void SetUp() override;

  HostFolder& host() { return *folder_; }
  // One RazaRa call through the host with fixed card ids; a time-out fails the test.
  RunResult Call(const std::string& serviceUrl, bool makeCacheDir = true);

 private:
  std::unique_ptr<HostFolder> folder_;
};

std::string HostParamName(const testing::TestParamInfo<Host>& info);

#define RZE_INSTANTIATE_FOR_BOTH_HOSTS(Suite)                                           \
  INSTANTIATE_TEST_SUITE_P(Hosts, Suite,                                                \
                           testing::Values(::rze::Host::kLinux, ::rze::Host::kWindows), \
                           ::rze::HostParamName)

}  // namespace rze
