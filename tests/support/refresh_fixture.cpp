#include "support/refresh_fixture.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

#include "entry/refresh.h"
#include "platform/module_path.h"
#include "platform/reply_text.h"
#include "service/ad_list.h"

namespace rztest {

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

Script ServiceAnswering(const std::string& reply) {
  return Respond(HttpResponse(200, reply, {"Content-Type: text/xml; charset=utf-8"}));
}

bool ParseBack(const std::filesystem::path& path, std::vector<std::string>& list) {
  list.clear();
  return rz::ParseAdList(rz::platform::ReplyFromUtf8(ReadFile(path)), list) == 0;
}

std::vector<std::string> CacheContents(const std::filesystem::path& cacheDir) {
  std::vector<std::string> names;
  for (const auto& name : ListFolder(cacheDir)) {
    if (name != ".staging") {
      names.push_back(name);
      continue;
    }
    for (const auto& staged : ListFolder(cacheDir / name)) {
      if (staged != "lock") names.push_back(name + "/" + staged);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
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

void ScopedPrune::Set(const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA("RAZARA_PRUNE", value);
#else
  if (value != nullptr) {
    setenv("RAZARA_PRUNE", value, 1);
  } else {
    unsetenv("RAZARA_PRUNE");
  }
#endif
}

void RefreshTest::SetUp() {
  const std::filesystem::path cache = root() / "cache";
  std::filesystem::create_directory(cache);
  cacheDir_ = cache.string() + rz::platform::kPathSeparator;
}

int RefreshTest::Call(const std::string& serviceUrl) const {
  return rz::Refresh("OUTSIDE-0042", "HARDWARE-7", serviceUrl.c_str(), cacheDir_);
}

}  // namespace rztest
