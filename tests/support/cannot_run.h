// A test that cannot run here (a tool missing, no root, no Windows build) fails, so that a run
// that left cases out never passes as a whole one. A developer who wants the rest to run anyway
// sets RZ_ALLOW_SKIPS=1, and such cases are skipped instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace rztest {

inline bool SkipsAllowed() {
  const char* allow = std::getenv("RZ_ALLOW_SKIPS");
  return allow != nullptr && std::strcmp(allow, "1") == 0;
}

}  // namespace rztest

// Ends the current test or SetUp: a failure, or a skip under RZ_ALLOW_SKIPS=1. `why` is text.
#define RZT_CANNOT_RUN(why)                                    \
  do {                                                         \
    if (::rztest::SkipsAllowed()) GTEST_SKIP() << (why);       \
    FAIL() << (why) << " (RZ_ALLOW_SKIPS=1 skips such cases)"; \
  } while (false)
