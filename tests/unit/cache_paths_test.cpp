// The module directory and the paths of the cache folder, built from the test program's own
// location: it plays the host's part here.
#include "cache/cache_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/module_path.h"

namespace rz {
namespace {

// A path is at most 259 bytes.
constexpr std::size_t kPathLimit = 259;

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

// This program's path, found independently of the code under test.
std::string ProgramPath() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::filesystem::path(std::wstring(buffer, n)).u8string();
#else
  char buffer[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
#endif
}

std::string ExpectedModuleDir() {
  const std::string path = ProgramPath();
  return path.substr(0, path.find_last_of(kSep == '/' ? "/" : "\\/") + 1);
}

TEST(GetModuleDir, IsTheFolderOfTheRunningProgram) {
  std::string dir;
  ASSERT_EQ(GetModuleDir(dir), 0);
  EXPECT_EQ(dir, ExpectedModuleDir());
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), kSep);
  EXPECT_EQ(platform::kPathSeparator, kSep);
}

TEST(GetModuleDir, RefusesADestinationWithoutRoomForTheTerminator) {
  std::string dir;
  ASSERT_EQ(GetModuleDir(dir), 0);
  const std::size_t length = dir.size();

  std::string tight = "untouched";
  EXPECT_EQ(GetModuleDir(tight, length), 1);
  EXPECT_EQ(tight, "untouched");
  EXPECT_EQ(GetModuleDir(tight, 0), 1);
  EXPECT_EQ(tight, "untouched");
  EXPECT_EQ(GetModuleDir(tight, length + 1), 0);
  EXPECT_EQ(tight, dir);
}

TEST(CachePaths, HangBelowTheModuleDirectory) {
  const std::string cache = ExpectedModuleDir() + "Tavrin" + kSep + "RazaRa" + kSep;
  std::string dir;
  ASSERT_TRUE(CacheDir(dir));
  EXPECT_EQ(dir, cache);

  std::string file;
  ASSERT_TRUE(CachedFilePathIn(dir, "FileList.xml", file));
  EXPECT_EQ(file, cache + "FileList.xml");
  // The name is used as it stands: no decoding, query text kept.
  ASSERT_TRUE(CachedFilePathIn(dir, "a%20b.swf?v=2", file));
  EXPECT_EQ(file, cache + "a%20b.swf?v=2");
}

TEST(CachePaths, AFileNameFitsUpTo259BytesInAll) {
  std::string cache;
  ASSERT_TRUE(CacheDir(cache));
  ASSERT_LT(cache.size(), kPathLimit) << "the build folder is too deep for this test";
  const std::size_t room = kPathLimit - cache.size();

  std::string path;
  ASSERT_TRUE(CachedFilePathIn(cache, std::string(room, 'a'), path));
  EXPECT_EQ(path.size(), kPathLimit);

  path = "untouched";
  EXPECT_FALSE(CachedFilePathIn(cache, std::string(room + 1, 'a'), path));
  EXPECT_EQ(path, "untouched");
  EXPECT_FALSE(CachedFilePathIn(cache, std::string(4096, 'a'), path));
  EXPECT_EQ(path, "untouched");
}

}  // namespace
}  // namespace rz
