#include "refresh_fixture.h"

#include "platform/reply_text.h"
#include "service/ad_list.h"

namespace rze {

std::string GetAdReply(const std::vector<std::string>& flashes) {
  std::string reply =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>"
      "<GetAdResponse xmlns=\"http://tempuri.org/\"><WebResponse><AdList>";
  for (const auto& flash : flashes) reply += "<Ad Flash=\"" + flash + "\"/>";
  reply += "</AdList></WebResponse></GetAdResponse></soap:Body></soap:Envelope>";
  return reply;
}

rztest::Script ServiceAnswering(const std::string& reply) {
  return rztest::Respond(
      rztest::HttpResponse(200, reply, {"Content-Type: text/xml; charset=utf-8"}));
}

bool ParseBack(const std::string& path, std::vector<std::string>& list) {
  list.clear();
  return rz::ParseAdList(rz::platform::ReplyFromUtf8(ReadFile(path)), list) == 0;
}

std::string PatternBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2463534242u ^ seed;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state & 0xFF);
  }
  return bytes;
}

std::string Describe(const RunResult& result) {
  return "exit " + std::to_string(result.exitCode) + (result.timedOut ? " (timed out)" : "") +
         "\n--- stdout\n" + result.out + "--- stderr\n" + result.err;
}

void RefreshTest::SetUp() {
  const std::string why = Unavailable(GetParam());
  if (!why.empty()) GTEST_SKIP() << why;
  folder_ = std::make_unique<HostFolder>(GetParam());
  ASSERT_TRUE(folder_->ok()) << folder_->error();
}

RunResult RefreshTest::Call(const std::string& serviceUrl, bool makeCacheDir) {
  RunResult result = folder_->Run("OUTSIDE-0042", "HARDWARE-7", serviceUrl, makeCacheDir);
  EXPECT_FALSE(result.timedOut) << Describe(result);
  return result;
}

std::string HostParamName(const testing::TestParamInfo<Host>& info) { return HostName(info.param); }

}  // namespace rze
