// The one test that waits out the real 30-second receive budget; a program of its own so that
// a quick run can leave it out (ctest -LE slow).
#include "download/my_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "support/script_server.h"

namespace rz {
namespace {

TEST(SlowReceive, SilentServerTimesOutAfterThirtySeconds) {
  rztest::ScriptServer server(rztest::Script().Hold(std::chrono::seconds(40)));
  MySocket socket("127.0.0.1", server.port(), nullptr);
  ASSERT_EQ(socket.Open(), kOk);
  std::array<char, 4096> buffer;
  buffer.fill('x');
  std::int32_t length = 4096;
  EXPECT_EQ(socket.Receive(buffer.data(), length), kTimedOut);
  EXPECT_EQ(length, 4096);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == 0; }));
  EXPECT_EQ(socket.Close(), kOk);
}

}  // namespace
}  // namespace rz
