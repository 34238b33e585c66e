#include "download/status_codes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace rz {
namespace {

// That every code has a meaning the build checks; this checks that no two codes share one, over
// every value the codes can take.
TEST(StatusCodes, EveryCodeHasItsOwnMeaning) {
  const std::string unknown = StatusMeaning(-999);
  std::map<std::string, Status> seen;
  for (Status code = -1100; code <= 0; ++code) {
    const std::string meaning = StatusMeaning(code);
    if (meaning == unknown) continue;
    const auto [at, fresh] = seen.emplace(meaning, code);
    EXPECT_TRUE(fresh) << code << " and " << at->second << " both mean \"" << meaning << "\"";
  }
  EXPECT_EQ(seen.count(StatusMeaning(kNotDottedQuad)), 1u);
  EXPECT_NE(StatusMeaning(104), unknown);
}

}  // namespace
}  // namespace rz
