// What the whole-refresh tests share: the GetAd replies the scripted service answers with, the
// reading back of FileList.xml, and the fixture that runs rz::Refresh in this process into a
// cache folder of the test's own. The host-program tests use the replies too.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/script_server.h"

namespace rztest {

#ifdef _WIN32
inline constexpr bool kWindowsBuild = true;
#else
inline constexpr bool kWindowsBuild = false;
#endif

// A GetAdResponse listing `flashes`, as a SOAP stack writes it (the service's namespace on the
// response element).
std::string GetAdReply(const std::vector<std::string>& flashes);

// The service: answers every POST with `reply` as a 200 text/xml response.
Script ServiceAnswering(const std::string& reply);

// FileList.xml at `path`, parsed back into its ad list; false when it does not parse.
bool ParseBack(const std::filesystem::path& path, std::vector<std::string>& list);

// The names in a cache folder, sorted. The library's staging folder is left out while it holds
// nothing but the folder's lock; anything else staged shows as ".staging/<name>".
std::vector<std::string> CacheContents(const std::filesystem::path& cacheDir);

// `size` bytes that differ from position to position, so that a misplaced block shows.
std::string PatternBytes(std::size_t size, unsigned seed);

// Sets RAZARA_PRUNE to `value` (nullptr: unset) for the calls of this process, and unsets it
// again when it goes.
class ScopedPrune {
 public:
  explicit ScopedPrune(const char* value = "1") { Set(value); }
  ~ScopedPrune() { Set(nullptr); }
  ScopedPrune(const ScopedPrune&) = delete;
  ScopedPrune& operator=(const ScopedPrune&) = delete;

 private:
  static void Set(const char* value);
};

// The cache folder is "cache" in a fresh temporary folder that holds nothing else; SetUp creates
// it, as a host does before each call.
class RefreshTest : public testing::Test {
 protected:
  void SetUp() override;

  // The folder around the cache folder.
  const std::filesystem::path& root() const { return root_.path(); }
  // The cache folder as the refresh is given it, ending in the platform's separator.
  const std::string& cacheDir() const { return cacheDir_; }
  std::string CachePath(const std::string& name) const { return cacheDir_ + name; }

  // One refresh with fixed card ids.
  int Call(const std::string& serviceUrl) const;

 private:
  TempDir root_{"rz-refresh"};
  std::string cacheDir_;
};

}  // namespace rztest
