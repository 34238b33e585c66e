#include "download/response_header.h"

#include "download/proxy_challenge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace rz {
namespace {

// ---- Status line ----

struct StatusCase {
  const char* line;
  Status result;
  int status;
};

TEST(ParseStatusLine, Table) {
  const StatusCase cases[] = {
      {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", kOk, 200},
      {"HTTP/1.0 206 Partial Content\r\n", kOk, 206},
      {"HTTP/1.1 404 Not Found\r\n", kOk, 404},
      {"HTTP/1.1 500 Internal Server Error\r\n", kOk, 500},
      {"HTTP/1.1 302 Found\r\n", kOk, 302},
      {"HTTP/1.1 200", kOk, 200},
      {"HTTP/1.1 200\r\n", kOk, 200},
      {"HTTP/1.1 200\tOK\r\n", kOk, 200},
      {"HTTP/1.1  200 OK\r\n", kOk, 200},
      {"HTTP/2 200\r\n", kOk, 200},
      {"", kBadResponseHeader, 0},
      {"\r\n", kBadResponseHeader, 0},
      {"garbage\r\n\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1200 OK\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1 \r\n", kBadResponseHeader, 0},
      {"HTTP/1.1 20\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1 2000\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1 200OK\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1 099 Low\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1 abc\r\n", kBadResponseHeader, 0},
      {"http/1.1 200 OK\r\n", kBadResponseHeader, 0},
      {"HTTP/ 200 OK\r\n", kBadResponseHeader, 0},
      {"HTTP/1. 200 OK\r\n", kBadResponseHeader, 0},
      {" HTTP/1.1 200 OK\r\n", kBadResponseHeader, 0},
      {"HTTP/1.1\r\n 200 OK\r\n", kBadResponseHeader, 0},
      {"ICY 200 OK\r\n", kBadResponseHeader, 0},
  };
  for (const StatusCase& c : cases) {
    int status = 0;
    EXPECT_EQ(ParseStatusLine(c.line, status), c.result) << '"' << c.line << '"';
    if (c.result == kOk) {
      EXPECT_EQ(status, c.status) << c.line;
    }
  }
}

// ---- Content-Length ----

std::string Header(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

struct LengthCase {
  std::string fields;
  std::int64_t value;
  FieldState state;
};

TEST(ParseContentLength, Table) {
  const std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
  const LengthCase cases[] = {
      {"Content-Length: 900\r\n", 900, FieldState::kValue},
      {"Content-length: 900\r\n", 900, FieldState::kValue},
      {"content-length: 900\r\n", 900, FieldState::kValue},
      {"CONTENT-LENGTH: 900\r\n", 900, FieldState::kValue},
      {"Content-Length:900\r\n", 900, FieldState::kValue},
      {"Content-Length: \t 900 \t\r\n", 900, FieldState::kValue},
      {"Content-Length: 0\r\n", 0, FieldState::kValue},
      {"Content-Length: 007\r\n", 7, FieldState::kValue},
      {"Content-Length: 9223372036854775807\r\n", kMax64, FieldState::kValue},
      {"Server: a\r\nContent-Length: 5\r\nX: b\r\n", 5, FieldState::kValue},
      {"Content-Length: 5\r\nContent-Length: 5\r\n", 5, FieldState::kValue},
      {"", -1, FieldState::kAbsent},
      {"Content-Length:\r\n", -1, FieldState::kMalformed},
      {"Content-Length: \t \r\n", -1, FieldState::kMalformed},
      {"Content-Length: 12abc\r\n", -1, FieldState::kMalformed},
      {"Content-Length: -1\r\n", -1, FieldState::kMalformed},
      {"Content-Length: +5\r\n", -1, FieldState::kMalformed},
      {"Content-Length: 1 2\r\n", -1, FieldState::kMalformed},
      {"Content-Length: 0x10\r\n", -1, FieldState::kMalformed},
      {"Content-Length: 5, 5\r\n", -1, FieldState::kMalformed},
      {"Content-Length: 9223372036854775808\r\n", -1, FieldState::kTooLarge},
      {"Content-Length: 99999999999999999999999\r\n", -1, FieldState::kTooLarge},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", -1, FieldState::kConflict},
      {"Content-Length: 5\r\nContent-Length: x\r\n", -1, FieldState::kConflict},
      {"Content-Length : 5\r\n", -1, FieldState::kAbsent},
      {"X-Content-Length: 5\r\n", -1, FieldState::kAbsent},
      {"Content-Length-X: 5\r\n", -1, FieldState::kAbsent},
      {"X: Content-Length: 5\r\n", -1, FieldState::kAbsent},
      // After the blank line everything is body.
      {"\r\nContent-Length: 5\r\n", -1, FieldState::kAbsent},
      {"Content-Length: 5\r\n\r\nContent-Length: 6\r\n", 5, FieldState::kValue},
  };
  for (const LengthCase& c : cases) {
    const std::string header = Header(c.fields);
    EXPECT_EQ(ParseContentLength(header.data(), header.size()), c.value) << c.fields;
    EXPECT_EQ(ReadContentLength(header).state, c.state) << c.fields;
  }
  EXPECT_EQ(ParseContentLength(nullptr, 10), -1);
}

TEST(ParseContentLength, StopsAtTheGivenLength) {
  const std::string header = Header("Content-Length: 123\r\n");
  // Cut inside the digits: only what was given is read.
  const std::size_t cut = header.find("123") + 2;
  EXPECT_EQ(ParseContentLength(header.data(), cut), 12);
  EXPECT_EQ(ParseContentLength(header.data(), header.find("Content")), -1);
}

// ---- Judging a complete header ----

struct JudgeCase {
  std::string header;
  std::int32_t offset;
  Status result;
  std::int64_t contentLength;
  std::int32_t expectedTotal;
};

TEST(JudgeResponseHeader, Table) {
  const std::string range = "Content-Range: bytes 300-899/900\r\n";
  const auto h = [](const char* statusLine, const std::string& fields) {
    return std::string(statusLine) + "\r\n" + fields + "\r\n";
  };
  const JudgeCase cases[] = {
      {h("HTTP/1.1 200 OK", "Content-Length: 900\r\n"), 0, kOk, 900, 900},
      {h("HTTP/1.1 200 OK", ""), 0, kOk, -1, 0},
      {h("HTTP/1.1 200 OK", "Content-Length: 12abc\r\n"), 0, kOk, -1, 0},
      {h("HTTP/1.1 200 OK", "Content-Length: 0\r\n"), 0, kOk, 0, 0},
      {h("HTTP/1.1 204 No Content", ""), 0, kOk, -1, 0},
      {h("HTTP/1.1 200 OK", "Content-Length: 900\r\n"), -5, kOk, 900, 900},
      {h("HTTP/1.1 404 Not Found", "Content-Length: 9\r\n"), 0, kHttpNotFound, -1, 0},
      {h("HTTP/1.1 404 Not Found", ""), 300, kHttpNotFound, -1, 0},
      {h("HTTP/1.1 500 Oops", "Content-Length: 9\r\n"), 0, kHttpRefused, -1, 0},
      {h("HTTP/1.1 302 Found", "Location: /x\r\n"), 0, kHttpRefused, -1, 0},
      {h("HTTP/1.1 304 Not Modified", ""), 0, kHttpRefused, -1, 0},
      {h("HTTP/1.1 100 Continue", ""), 0, kHttpRefused, -1, 0},
      {h("HTTP/1.1 403 Forbidden", ""), 0, kHttpRefused, -1, 0},
      {h("garbage", ""), 0, kBadResponseHeader, -1, 0},
      {h("HTTP/1.1 200 OK", "Content-Length: 5\r\nContent-Length: 6\r\n"), 0, kBadResponseHeader,
       -1, 0},
      {h("HTTP/1.1 200 OK", "Content-Length: 99999999999999999999\r\n"), 0, kBadResponseHeader, -1,
       0},
      // Chunk framing would land in the file; identity is no coding at all.
      {h("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n"), 0, kBadResponseHeader, -1, 0},
      {h("HTTP/1.1 200 OK", "Transfer-Encoding: gzip, chunked\r\n"), 0, kBadResponseHeader, -1, 0},
      {h("HTTP/1.1 200 OK", "transfer-encoding: Identity\r\nContent-Length: 9\r\n"), 0, kOk, 9, 9},
      // Counts are signed 32-bit.
      {h("HTTP/1.1 200 OK", "Content-Length: 2147483647\r\n"), 0, kOk, 2147483647, 2147483647},
      {h("HTTP/1.1 200 OK", "Content-Length: 2147483648\r\n"), 0, kBadResponseHeader, -1, 0},
      // A part of the file for a request of the whole file.
      {h("HTTP/1.1 206 Partial", range + "Content-Length: 600\r\n"), 0, kHttpRefused, -1, 0},
      // Resuming at 300.
      {h("HTTP/1.1 206 Partial", range + "Content-Length: 600\r\n"), 300, kOk, 600, 900},
      {h("HTTP/1.1 206 Partial", range), 300, kOk, 600, 900},
      {h("HTTP/1.1 206 Partial", "content-range:  BYTES 300-899/900 \r\n"), 300, kOk, 600, 900},
      // A range cut short, or of an unknown total, would be committed as the whole file.
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-599/900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-899/*\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 200 OK", "Content-Length: 900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Length: 600\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 0-599/900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", range + "Content-Length: 500\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-299/900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-899/800\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: items 300-899/900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes300-899/900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-899\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes */900\r\n"), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", range + range), 300, kHttpRefused, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-2147483647/2147483648\r\n"), 300,
       kBadResponseHeader, -1, 0},
      {h("HTTP/1.1 206 Partial", "Content-Range: bytes 300-2147483646/2147483647\r\n"), 300, kOk,
       2147483347, 2147483647},
  };
  for (const JudgeCase& c : cases) {
    BodyFraming framing;
    const Status result = JudgeResponseHeader(c.header, c.offset, framing);
    EXPECT_EQ(result, c.result) << c.header << "offset " << c.offset;
    if (c.result == kOk && result == kOk) {
      EXPECT_EQ(framing.contentLength, c.contentLength) << c.header;
      EXPECT_EQ(framing.expectedTotal, c.expectedTotal) << c.header;
    }
  }
}

TEST(ReadValidator, TheStrongETagElseAnOldEnoughLastModified) {
  const std::string date = "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT\r\n";
  const auto sent = [](const char* at) {
    return "Date: Tue, 08 Dec 2026 " + std::string(at) + " GMT\r\n";
  };
  const struct {
    std::string fields;
    std::string validator;
  } cases[] = {
      {"ETag: \"v1\"\r\n" + date, "\"v1\""},
      {"etag:  \"v1\" \r\n", "\"v1\""},
      // A weak ETag vouches for nothing, and the date does not stand in while there is an ETag.
      {"ETag: W/\"v1\"\r\n" + date + sent("12:00:00"), ""},
      // A date counts only 60 s and more before the response's own Date.
      {date + sent("10:01:00"), "Tue, 08 Dec 2026 10:00:00 GMT"},
      {date + sent("10:00:59"), ""},
      {date, ""},
      {date + "Date: Tuesday, 08-Dec-26 12:00:00 GMT\r\n", ""},
      {"Last-Modified: Tue, 08 Dec 2026 10:00:00 UTC\r\n" + sent("12:00:00"), ""},
      {"ETag: \"v1\"\r\nETag: \"v2\"\r\n", ""},
      {"ETag: \"" + std::string(300, 'v') + "\"\r\n", ""},
      {"Content-Length: 9\r\n", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadValidator("HTTP/1.1 200 OK\r\n" + c.fields + "\r\n"), c.validator) << c.fields;
  }
}

TEST(KeepsConnection, KeptAliveAnswersWithALengthOnly) {
  const struct {
    const char* header;
    bool kept;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", true},
      {"HTTP/1.1 200 OK\r\nConnection: Keep-Alive, Close\r\nContent-Length: 9\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nConnection: close\r\n"
       "Content-Length: 9\r\n\r\n",
       false},
      {"HTTP/1.0 200 OK\r\nConnection:  keep-alive \r\nContent-Length: 9\r\n\r\n", true},
      {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n", false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\nContent-Length: 8\r\n\r\n", false},
      {"HTTP/2 200 OK\r\nContent-Length: 9\r\n\r\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(KeepsConnection(c.header), c.kept) << c.header;
}

// ---- Collecting the header across chunks ----

const std::string kHeader =
    "HTTP/1.1 200 OK\r\nServer: t\r\nContent-Length: 11\r\nX-Note: \r\n in\r\n\r\n";
const std::string kBody = "hello\r\n\r\nwo";

struct Collected {
  Status result = kOk;
  std::string header;
  std::string body;
};

// Feeds `bytes` in pieces cut at `cuts` and gathers what the collector hands back as body.
Collected Feed(const std::string& bytes, const std::vector<std::size_t>& cuts) {
  Collected out;
  ResponseHeaderCollector collector;
  std::size_t begin = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(bytes.size());
  for (std::size_t end : ends) {
    const char* piece = bytes.data() + begin;
    const std::size_t length = end - begin;
    begin = end;
    if (collector.complete()) {
      out.body.append(piece, length);
      continue;
    }
    std::size_t bodyStart = 0;
    out.result = collector.Append(piece, length, bodyStart);
    if (out.result != kOk) break;
    EXPECT_LE(bodyStart, length);
    if (collector.complete()) out.body.append(piece + bodyStart, length - bodyStart);
  }
  if (collector.complete()) out.header = std::string(collector.text());
  return out;
}

TEST(ResponseHeaderCollector, EverySplitGivesTheSameHeaderAndBody) {
  const std::string response = kHeader + kBody;
  for (std::size_t cut = 0; cut <= response.size(); ++cut) {
    const Collected c = Feed(response, {cut});
    EXPECT_EQ(c.result, kOk) << "cut " << cut;
    EXPECT_EQ(c.header, kHeader) << "cut " << cut;
    EXPECT_EQ(c.body, kBody) << "cut " << cut;
  }
  for (std::size_t a = 0; a <= response.size(); ++a) {
    for (std::size_t b = a; b <= response.size(); ++b) {
      const Collected c = Feed(response, {a, b});
      ASSERT_EQ(c.header, kHeader) << a << " " << b;
      ASSERT_EQ(c.body, kBody) << a << " " << b;
    }
  }
}

TEST(ResponseHeaderCollector, ByteByByte) {
  const std::string response = kHeader + kBody;
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < response.size(); ++i) cuts.push_back(i);
  const Collected c = Feed(response, cuts);
  EXPECT_EQ(c.header, kHeader);
  EXPECT_EQ(c.body, kBody);
}

TEST(ResponseHeaderCollector, IncompleteUntilTheBlankLine) {
  ResponseHeaderCollector collector;
  std::size_t bodyStart = 99;
  const std::string part = "HTTP/1.1 200 OK\r\nA: b\r\n\r";
  EXPECT_EQ(collector.Append(part.data(), part.size(), bodyStart), kOk);
  EXPECT_FALSE(collector.complete());
  EXPECT_EQ(bodyStart, part.size());
  EXPECT_EQ(collector.Append("\n", 1, bodyStart), kOk);
  EXPECT_TRUE(collector.complete());
  EXPECT_EQ(bodyStart, 1u);
}

// A header of `size` bytes, the blank line included, fed in 4096-byte chunks plus `extra` body.
Collected LongHeader(std::size_t size, const std::string& extra) {
  std::string header = "HTTP/1.1 200 OK\r\nX: ";
  header.append(size - header.size() - 4, 'a');
  header += "\r\n\r\n";
  const std::string response = header + extra;
  std::vector<std::size_t> cuts;
  for (std::size_t at = 4096; at < response.size(); at += 4096) cuts.push_back(at);
  return Feed(response, cuts);
}

TEST(ResponseHeaderCollector, SixtyFourKibibyteBound) {
  const Collected atBound = LongHeader(kMaxResponseHeaderBytes, "body");
  EXPECT_EQ(atBound.result, kOk);
  EXPECT_EQ(atBound.header.size(), kMaxResponseHeaderBytes);
  EXPECT_EQ(atBound.body, "body");

  EXPECT_EQ(LongHeader(kMaxResponseHeaderBytes + 1, "body").result, kBadResponseHeader);

  // No blank line at all: refused once the bound is reached, not later.
  ResponseHeaderCollector collector;
  const std::string chunk(4096, 'x');
  std::size_t fed = 0;
  std::size_t bodyStart = 0;
  Status result = kOk;
  while (result == kOk && fed < 2 * kMaxResponseHeaderBytes) {
    result = collector.Append(chunk.data(), chunk.size(), bodyStart);
    fed += chunk.size();
  }
  EXPECT_EQ(result, kBadResponseHeader);
  EXPECT_EQ(fed, kMaxResponseHeaderBytes);
  EXPECT_LE(collector.text().size(), kMaxResponseHeaderBytes);
}

}  // namespace
}  // namespace rz

namespace rz {
namespace {

// What a 407 offers, however the proxy spells and packs its challenges.
TEST(ReadProxyOffer, Table) {
  struct Row {
    const char* fields;
    const char* named;
    bool negotiate, ntlm, basic;
    const char* ntlmToken;
  };
  const Row rows[] = {
      {"Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic realm=\"a, b\"\r\n", "NTLM, Basic",
       false, true, true, ""},
      {"proxy-authenticate: ntlm TlRMTVNTUAACAAAA\r\n", "ntlm", false, true, false,
       "TlRMTVNTUAACAAAA"},
      {"Proxy-Authenticate: Negotiate, NTLM, Digest realm=\"x\", nonce=\"y\", qop=auth\r\n",
       "Negotiate, NTLM, Digest", true, true, false, ""},
      {"Proxy-Authenticate: NTLM a b\r\nProxy-Authenticate: NTLM\r\n", "NTLM", false, true, false,
       ""},
      {"WWW-Authenticate: NTLM\r\n", "none", false, false, false, ""},
      {"Proxy-Authenticate: realm=x, =, \"NTLM\"\r\n", "none", false, false, false, ""},
  };
  for (const Row& row : rows) {
    const ProxyOffer offer =
        ReadProxyOffer(std::string("HTTP/1.1 407 Auth\r\n") + row.fields + "\r\nNTLM body");
    EXPECT_EQ(offer.Named(), row.named) << row.fields;
    EXPECT_EQ(offer.negotiate, row.negotiate) << row.fields;
    EXPECT_EQ(offer.ntlm, row.ntlm) << row.fields;
    EXPECT_EQ(offer.basic, row.basic) << row.fields;
    EXPECT_EQ(offer.ntlmToken, row.ntlmToken) << row.fields;
  }
}

}  // namespace
}  // namespace rz
