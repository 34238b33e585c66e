// The cache folder's own rules: which entry names it refuses on each build, that no entry's
// staged file can be another entry's file, and that its lock makes a second holder wait.
#include "cache/cache_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "cache/unlisted_files.h"
#include "support/files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace rz {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

struct NameRow {
  const char* name;
  bool onLinux;
  bool onWindows;
};

TEST(CacheFolderNames, RefusesOnlyWhatCannotBeAPlainAdFile) {
  const NameRow rows[] = {
      {"a.mp4", true, true},
      // Names a fetch or a save uses inside staging are ordinary entries.
      {"a.part", true, true},
      {"FileList.xml.tmp", true, true},
      {"lock", true, true},
      // The list itself and the staging folder, as the file system compares names.
      {"FileList.xml", false, false},
      {"filelist.XML", true, false},
      {".staging", false, false},
      {".Staging", true, false},
      {"..", false, false},
      {"...", false, false},
      // Devices, with or without an extension, and what Windows reads into a name.
      {"CON", true, false},
      {"nul.mp4", true, false},
      {"Com1.swf", true, false},
      {"LPT9", true, false},
      {"AUX .txt", true, false},
      {"COM0", true, true},
      {"CONSOLE.mp4", true, true},
      {"a.mp4:stream", true, false},
      {"a<b", true, false},
      {"a>b", true, false},
      {"a\"b", true, false},
      {"a|b", true, false},
      {"a*", true, false},
      {"a.mp4 ", true, false},
      {"a.mp4.", true, false},
      // '?' is kept: the file cannot be created on Windows and that entry fails there.
      {"a.mp4?v=2", true, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(CacheFolder::IsUsableName(row.name), kWindows ? row.onWindows : row.onLinux)
        << "'" << row.name << "'";
  }
}

class CacheFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    root_ =
        fs::temp_directory_path() /
        ("rz-cache-folder-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + std::to_string(++counter) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ASSERT_TRUE(fs::create_directories(root_));
    dir_ = root_.string() + static_cast<char>(fs::path::preferred_separator);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path root_;
  std::string dir_;
};

TEST_F(CacheFolderTest, NoStagedFileIsEverAnEntrysFile) {
  CacheFolder cache(dir_);
  const char* names[] = {"a", "a.part", "a.part.part", "FileList.xml.tmp", "lock", "a.rec"};
  std::set<std::string> paths;
  for (const char* name : names) {
    std::string final;
    std::string staged;
    ASSERT_TRUE(cache.FinalPath(name, final));
    ASSERT_TRUE(cache.StagedPath(name, staged));
    EXPECT_TRUE(paths.insert(final).second) << final;
    EXPECT_TRUE(paths.insert(staged).second) << staged;
  }
}

TEST_F(CacheFolderTest, ASecondHolderWaitsForTheFirstToLetGo) {
  auto first = std::make_unique<CacheFolder>(dir_);
  ASSERT_TRUE(first->Lock());
  std::atomic<bool> released{false};
  std::atomic<bool> lockedTooEarly{false};
  std::thread second([&] {
    CacheFolder other(dir_);
    EXPECT_TRUE(other.Lock());
    lockedTooEarly = !released;
  });
  std::this_thread::sleep_for(300ms);
  released = true;
  first.reset();
  second.join();
  EXPECT_FALSE(lockedTooEarly) << "the second holder did not wait";
}

#ifndef _WIN32
// A host that forks without exec during a call (a worker pool) hands the child a copy of the
// lock's descriptor. Once the parent lets go, its next call must not wait for that child, and the
// child's own call must not wait for a hold of a parent thread it does not have.
TEST_F(CacheFolderTest, AChildForkedDuringAHoldNeitherHoldsNorWaits) {
  auto first = std::make_unique<CacheFolder>(dir_);
  ASSERT_TRUE(first->Lock());
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);  // a child that waits for ever is ended, and the check below fails
    char byte = 0;
    CacheFolder own(dir_);
    _exit(read(go[0], &byte, 1) == 1 && own.Lock() ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  first.reset();
  {
    CacheFolder next(dir_);
    EXPECT_TRUE(next.Lock());
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "the next call waited for the child";
  }
  EXPECT_EQ(write(go[1], "x", 1), 1);
  int status = -1;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not lock";
  close(go[0]);
  close(go[1]);
}
#endif

// Wine gives the staging folder a short name as NTFS does (not the same one); the list has none
// there, its name being 8.3 already, which the name rule refuses. Without short names the rule has
// nothing to refuse.
TEST_F(CacheFolderTest, RefusesTheShortNamesOfItsOwnFolderAndList) {
  { std::ofstream(root_ / CacheFolder::kFileListName) << "<list/>"; }
  CacheFolder cache(dir_);
  ASSERT_TRUE(cache.Lock());
  for (const char* own : {CacheFolder::kStagingName, CacheFolder::kFileListName}) {
    const std::string alias = platform::ShortFileName((dir_ + own).c_str());
    EXPECT_EQ(alias.empty(), !kWindows) << own;
    if (alias.empty()) continue;
    EXPECT_EQ(platform::ProbePath((dir_ + alias).c_str()), platform::PathState::kPresent) << alias;
    EXPECT_TRUE(platform::SameFileName(alias, own) ? !CacheFolder::IsUsableName(alias)
                                                   : cache.Aliases(alias) == own)
        << alias;
  }
  EXPECT_EQ(cache.Aliases("STAGIN~9"), "");
  EXPECT_EQ(cache.Aliases("a.mp4"), "");
}

enum class Placed { kFile, kFolder, kLinkOut, kHeldOpen };

struct PruneRow {
  const char* name;
  Placed placed;
  const char* listedAs;  // nullptr: not listed; "~": listed as its short name
  bool staysOnLinux;
  bool staysOnWindows;
};

// What the list names stays, as the cache maps names to files; every other regular file at the
// top goes, unless the system refuses (then it is named). Nothing else is touched.
TEST_F(CacheFolderTest, RemovesExactlyTheUnlistedRegularFilesUnderTheLock) {
  const PruneRow rows[] = {
      {"listed.bin", Placed::kFile, "listed.bin", true, true},
      {"old.bin", Placed::kFile, nullptr, false, false},
      {"Other-case.bin", Placed::kFile, "other-CASE.bin", false, true},
      {"spring_campaign.bin", Placed::kFile, "~", false, true},
      {"sub", Placed::kFolder, nullptr, true, true},
      {CacheFolder::kFileListName, Placed::kFile, nullptr, true, true},
      {"link.bin", Placed::kLinkOut, nullptr, true, true},
      {"held.bin", Placed::kHeldOpen, nullptr, false, true},
  };
  const fs::path outside = root_.parent_path() / (root_.filename().string() + "-outside.bin");
  ASSERT_TRUE(rztest::WriteFile(outside, "not the cache's"));
  std::vector<std::string> listed;
  std::vector<std::shared_ptr<void>> held;
  for (const auto& row : rows) {
    const fs::path path = root_ / row.name;
    if (row.placed == Placed::kFolder) {
      ASSERT_TRUE(fs::create_directory(path) && rztest::WriteFile(path / "inner.bin", "x"));
    } else if (row.placed == Placed::kLinkOut) {
      if (!kWindows) fs::create_symlink(outside, path);
    } else {
      ASSERT_TRUE(rztest::WriteFile(path, "data"));
    }
    if (row.placed == Placed::kHeldOpen && kWindows) held.push_back(rztest::HoldOpen(path));
    if (row.listedAs == nullptr) continue;
    const std::string shortName = platform::ShortFileName(path.string().c_str());
    listed.push_back(row.listedAs != std::string("~") ? row.listedAs
                     : shortName.empty()              ? "no-short-name"
                                                      : shortName);
  }
  CacheFolder cache(dir_);
  EXPECT_TRUE(RemoveUnlistedFiles(cache, {}).files.empty()) << "removed without the lock";
  ASSERT_TRUE(cache.Lock());
  const PruneOutcome outcome = RemoveUnlistedFiles(cache, listed);
  EXPECT_TRUE(outcome.listed && outcome.flushed);
  for (const auto& row : rows) {
    if (row.placed == Placed::kLinkOut && kWindows) continue;
    const bool stays = kWindows ? row.staysOnWindows : row.staysOnLinux;
    const bool refused = kWindows && row.placed == Placed::kHeldOpen;
    EXPECT_EQ(fs::exists(fs::symlink_status(root_ / row.name)), stays) << row.name;
    const auto named =
        std::find_if(outcome.files.begin(), outcome.files.end(),
                     [&](const UnlistedFile& file) { return file.name == row.name; });
    ASSERT_EQ(named != outcome.files.end(), !stays || refused) << row.name;
    if (named == outcome.files.end()) continue;
    EXPECT_EQ(named->fate == UnlistedFile::Fate::kRefused && named->error != 0, refused)
        << row.name;
    EXPECT_EQ(named->size, 4) << row.name;
  }
  EXPECT_EQ(rztest::ReadFile(root_ / "sub" / "inner.bin"), "x");
  EXPECT_EQ(rztest::ReadFile(outside), "not the cache's");
  EXPECT_TRUE(fs::exists(root_ / CacheFolder::kStagingName / "lock"));
  fs::remove(outside);
}

TEST_F(CacheFolderTest, WithoutTheFolderNothingIsLockedOrSaved) {
  CacheFolder cache(dir_ + "missing" + static_cast<char>(fs::path::preferred_separator));
  EXPECT_FALSE(cache.Lock());
  EXPECT_FALSE(cache.ReplaceFileList([](const std::string&) { return true; }));
}

}  // namespace
}  // namespace rz
