// HttpDownloader::ReceiveToFile over a scripted connection. Input layout:
//   byte 0   mode: bits 0-1 the ending (close, time-out, receive failure, reset code 104),
//            bit 2 resume at offset 5 over an existing 5-byte file
//   byte 1   n, the number of explicit chunk sizes (taken mod 16)
//   n bytes  chunk sizes (0 stands for 4096); the rest of the stream is cut at the last size
//   rest     the bytes the server sends
// Whenever the receiver reports success, the file must hold exactly the body the header frames:
// no header byte, nothing past Content-Length, nothing missing.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "download/http_downloader.h"
#include "download/response_header.h"
#include "fake_socket.h"
#include "support/files.h"

namespace {

// The file every run writes, in memory where the machine has /dev/shm; removed at exit.
struct TempFile {
  std::string path;
  TempFile() {
    for (const char* dir : {"/dev/shm", "/tmp"}) {
      path = std::string(dir) + "/rz-fuzz-receiver-XXXXXX";
      const int fd = mkstemp(path.data());
      if (fd >= 0) {
        close(fd);
        return;
      }
    }
    std::abort();
  }
  ~TempFile() { unlink(path.c_str()); }
};

// The body the header frames, or false when the stream holds no whole header.
bool ExpectedBody(std::string_view stream, std::int32_t offset, std::string& body) {
  const std::size_t end = stream.find("\r\n\r\n");
  if (end == std::string_view::npos) return false;
  const std::string_view header = stream.substr(0, end + 4);
  std::string_view rest = stream.substr(end + 4);
  std::int64_t length = rz::ParseContentLength(header.data(), header.size());
  if (length < 0 && offset > 0) {
    const rz::ContentRangeField range = rz::ReadContentRange(header);
    if (range.valid) length = range.last - range.first + 1;
  }
  if (length >= 0) {
    if (rest.size() < static_cast<std::uint64_t>(length)) return false;  // cannot be complete
    rest = rest.substr(0, static_cast<std::size_t>(length));
  }
  body.assign(rest);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TempFile file;
  const std::string& path = file.path;
  if (size < 2) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t sizeCount = data[1] % 16u;
  if (size < 2 + sizeCount) return 0;
  const std::uint8_t* sizes = data + 2;
  const std::string_view stream(reinterpret_cast<const char*>(data + 2 + sizeCount),
                                size - 2 - sizeCount);

  rzfuzz::ReceiveScript script;
  std::size_t at = 0;
  std::size_t cut = 4096;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    if (i < sizeCount) cut = sizes[i] == 0 ? 4096u : sizes[i];
    const std::size_t take = std::min(cut, stream.size() - at);
    script.chunks.push_back(stream.substr(at, take));
    at += take;
  }
  constexpr rz::Status kEndings[] = {rz::kConnectionClosed, rz::kTimedOut, rz::kReceiveFailed, 104};
  script.ending = kEndings[mode & 3u];
  rzfuzz::SetReceiveScript(script);

  const std::int32_t offset = (mode & 4u) != 0 ? 5 : 0;
  const std::string prefix = "HELLO";
  if (offset > 0) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(prefix.data(), 1, prefix.size(), f);
    std::fclose(f);
  }

  rz::HttpDownloader downloader("127.0.0.1", 80, path.c_str());
  if (downloader.Connect() != rz::kOk) std::abort();
  const rz::Status result = downloader.ReceiveToFile(nullptr, path.c_str(), offset);
  downloader.Disconnect();

  if (result == rz::kOk) {
    std::string body;
    if (!ExpectedBody(stream, offset, body)) {
      std::fprintf(stderr, "success without a complete framed body\n");
      std::abort();
    }
    const std::string expected = (offset > 0 ? prefix : std::string()) + body;
    if (rztest::ReadFile(path) != expected) {
      std::fprintf(stderr, "success, but the file differs from the framed body\n");
      std::abort();
    }
  }
  return 0;
}
