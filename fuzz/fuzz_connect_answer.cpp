// The proxy's answer to CONNECT (ConnectAnswer). The input is what the proxy sends; its reply is
// the bytes up to and including the first blank line (all of them when there is none, and then
// the proxy closes). Checked:
// - the reply split at every byte offset, and byte by byte, gets the verdict and status it gets
//   in one piece;
// - the bytes after the blank line change nothing but this: a 2xx followed by them in the same
//   chunk is refused as bytes a tunnel would lose, and after a chunk that ends at the blank line
//   they are never read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "download/proxy_tunnel.h"

namespace {

struct Verdict {
  rz::Status status;
  int code;
  bool operator==(const Verdict& other) const {
    return status == other.status && code == other.code;
  }
};

// Feeds `bytes` cut at each offset of `cuts` (ascending) until a verdict; a reply that never
// completes ends with the proxy's close, which OpenTunnel reports as kBadResponseHeader.
template <std::size_t N>
Verdict Feed(std::string_view bytes, const std::size_t (&cuts)[N]) {
  rz::ConnectAnswer answer;
  std::size_t at = 0;
  for (std::size_t i = 0; i <= N; ++i) {
    const std::size_t end = i < N ? std::min(cuts[i], bytes.size()) : bytes.size();
    if (end < at) continue;
    const rz::Status status = answer.Append(bytes.data() + at, end - at);
    at = end;
    if (status != rz::kMoreData) return {status, answer.status()};
  }
  return {rz::kBadResponseHeader, answer.status()};
}

Verdict ByteByByte(std::string_view bytes) {
  rz::ConnectAnswer answer;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const rz::Status status = answer.Append(bytes.data() + i, 1);
    if (status != rz::kMoreData) return {status, answer.status()};
  }
  return {rz::kBadResponseHeader, answer.status()};
}

void Check(bool ok, const char* what, std::size_t at) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s (at %zu)\n", what, at);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view sent(reinterpret_cast<const char*>(data), size);
  const std::size_t blank = sent.find("\r\n\r\n");
  const std::size_t end = blank == std::string_view::npos ? sent.size() : blank + 4;
  const std::string_view reply = sent.substr(0, end);

  const std::size_t none[] = {reply.size()};
  const Verdict whole = Feed(reply, none);
  Check(whole.status == rz::kOk || whole.status == rz::kHttpRefused ||
            whole.status == rz::kBadResponseHeader,
        "a verdict of the three", 0);
  Check(whole.status != rz::kOk || (whole.code >= 200 && whole.code <= 299), "kOk only for 2xx", 0);
  // Every offset for replies of a few KiB; beyond that a stride and the last bytes.
  const std::size_t step = reply.size() <= 2048 ? 1 : reply.size() / 512;
  for (std::size_t k = 1; k < reply.size(); k += (k + 8 >= reply.size() ? 1 : step)) {
    const std::size_t cut[] = {k};
    Check(Feed(reply, cut) == whole, "the reply split in two gets its verdict", k);
  }
  if (reply.size() <= 2048) Check(ByteByByte(reply) == whole, "byte by byte, the same verdict", 0);

  if (end < sent.size()) {
    const std::size_t atBlank[] = {end};
    Check(Feed(sent, atBlank) == whole, "bytes after a chunk ending at the blank line unread", end);
    const std::size_t all[] = {sent.size()};
    const Verdict joined = Feed(sent, all);
    Check(joined.code == whole.code, "the status comes from the reply alone", end);
    const rz::Status expected = whole.status == rz::kOk ? rz::kBadResponseHeader : whole.status;
    Check(joined.status == expected, "bytes past the reply only ever refuse a 2xx", end);
  }
  return 0;
}
