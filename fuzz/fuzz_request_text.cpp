// The request builder's and header reader's text helpers: SplitUrl, MySocket::IsDottedQuad,
// Base64Encode and ParseContentLength. Byte 0 picks the helper, the rest is its input. Each
// result is checked against what the helper promises.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "download/my_socket.h"
#include "download/request_builder.h"
#include "download/response_header.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

void FuzzSplitUrl(const std::string& text) {
  // A prefix of 0-8 characters from the front of the input, the URL after it.
  const std::size_t prefixLength = text.empty() ? 0 : static_cast<unsigned char>(text[0]) % 9u;
  const std::string rest = text.empty() ? std::string() : text.substr(1);
  const std::string prefix = rest.substr(0, std::min(prefixLength, rest.size()));
  const std::string url = rest.c_str();  // the helper reads up to the first NUL
  std::string host = "unchanged";
  std::string path = "unchanged";
  std::int32_t port = 8080;
  const rz::Status status = rz::SplitUrl(prefix.c_str(), url.c_str(), &host, &port, &path);
  if (status != rz::kOk) {
    Check(host == "unchanged" && path == "unchanged" && port == 8080, "outputs kept on failure");
    return;
  }
  Check(url.compare(0, prefix.size(), prefix) == 0 && url.size() >= 9, "accepted URL");
  Check(url.find(host) != std::string::npos, "host is part of the URL");
  Check(!path.empty() && (path == "/" || url.find(path) != std::string::npos), "path");
}

void FuzzDottedQuad(const std::string& text) {
  const std::string quad = text.c_str();
  const bool accepted = rz::MySocket::IsDottedQuad(quad.c_str()) == rz::kOk;
  // Independent check: four runs of 1-3 digits, each at most 255, joined by single dots.
  bool expected = true;
  int parts = 0;
  std::size_t at = 0;
  while (expected) {
    std::size_t end = at;
    while (end < quad.size() && quad[end] >= '0' && quad[end] <= '9') ++end;
    std::size_t first = at;  // leading zeros do not count towards the value
    while (first + 1 < end && quad[first] == '0') ++first;
    if (end == at || end - first > 3 || std::atoi(quad.substr(first, end - first).c_str()) > 255) {
      expected = false;
      break;
    }
    ++parts;
    if (end == quad.size()) break;
    if (quad[end] != '.' || parts == 4) {
      expected = false;
      break;
    }
    at = end + 1;
  }
  expected = expected && parts == 4;
  Check(accepted == expected, "IsDottedQuad agrees with the dotted-quad grammar");
}

void FuzzBase64(const std::string& text) {
  const std::int32_t capacity =
      text.empty() ? 1 : static_cast<std::int32_t>(static_cast<unsigned char>(text[0])) + 1;
  const std::string data = text.empty() ? std::string() : text.substr(1);
  std::string out(static_cast<std::size_t>(capacity) + 16, '\x7f');
  const std::int32_t written =
      rz::Base64Encode(reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<std::int32_t>(data.size()), out.data(), capacity);
  for (std::size_t i = static_cast<std::size_t>(capacity); i < out.size(); ++i) {
    Check(out[i] == '\x7f', "nothing written past the capacity");
  }
  if (written < 0) return;
  Check(written == static_cast<std::int32_t>((data.size() + 2) / 3 * 4), "encoded length");
  Check(out[static_cast<std::size_t>(written)] == '\0', "terminated");
}

void FuzzContentLength(const std::string& text) {
  const std::int64_t length = rz::ParseContentLength(text.data(), text.size());
  Check(length >= -1, "a length or -1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4u) {
    case 0:
      FuzzSplitUrl(text);
      break;
    case 1:
      FuzzDottedQuad(text);
      break;
    case 2:
      FuzzBase64(text);
      break;
    default:
      FuzzContentLength(text);
  }
  return 0;
}
