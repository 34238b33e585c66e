// The HTTP response header as the receiver reads it: collected across chunks, then judged as a
// whole. Pure logic over bytes, no I/O, so every rule can be driven byte by byte from tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/status_codes.h"

namespace rz {

// Bound on the header, status line to blank line inclusive. A server that talks longer than this
// without ending its header is not answering a GET for a file.
inline constexpr std::size_t kMaxResponseHeaderBytes = 64 * 1024;

// Collects header bytes chunk by chunk until the blank line ("\r\n\r\n"), which may straddle any
// number of chunks.
class ResponseHeaderCollector {
 public:
  // Takes the next chunk. Returns kOk, or kBadResponseHeader once the bound is passed without a
  // blank line. When this chunk completes the header, `bodyStart` receives the index in `data`
  // of the first byte after the blank line (possibly `length`); otherwise it receives `length`.
  // Must not be called again once complete() is true.
  Status Append(const char* data, std::size_t length, std::size_t& bodyStart);

  bool complete() const { return complete_; }
  // The bytes collected so far; once complete, exactly the header including the blank line.
  std::string_view text() const { return text_; }

 private:
  std::string text_;
  bool complete_ = false;
};

// The three-digit code of a status line "HTTP/<digits>[.<digits>] <3 digits>[ reason]", read from
// the start of `header`. kOk with `status` set, or kBadResponseHeader.
Status ParseStatusLine(std::string_view header, int& status);

// What a header says about one numeric field that must be unique.
enum class FieldState {
  kAbsent,     // no such field
  kValue,      // present once (or repeated with the same value), a plain non-negative decimal
  kMalformed,  // present, but not a plain non-negative decimal
  kTooLarge,   // a plain decimal that does not fit 63 bits
  kConflict,   // present more than once with different values
};

struct ContentLengthField {
  FieldState state = FieldState::kAbsent;
  std::int64_t value = -1;  // set for kValue only
};

// The Content-Length field of a complete header (the blank line and anything after it are not
// searched). The name is matched case-insensitively; blanks and tabs around the value are skipped.
ContentLengthField ReadContentLength(std::string_view header);

// The Content-Length value of a complete response header (never the body): the value when
// ReadContentLength finds one (kValue), -1 otherwise, and for a null header.
std::int64_t ParseContentLength(const char* header, std::size_t length);

// The first-byte, last-byte and complete-length of a "Content-Range: bytes F-L/C" field
// (C may be "*", then completeLength is -1). valid is false when the field is absent, repeated,
// or not of that form with F <= L (and L < C when C is known).
struct ContentRangeField {
  bool valid = false;
  std::int64_t first = -1;
  std::int64_t last = -1;
  std::int64_t completeLength = -1;
};
ContentRangeField ReadContentRange(std::string_view header);

// Whether a complete header lets the client send another request on its connection once the body
// has ended: an HTTP/1.1 answer without a "close" token in its Connection fields, or an HTTP/1.0
// answer with a "keep-alive" token there; and in either case a Content-Length (kValue), since
// only a known length ends a body without the server's close.
bool KeepsConnection(std::string_view header);

// Whether a status is a redirect that is followed with a GET: 301, 302, 303, 307 or 308.
bool IsFollowedRedirect(int status);
// The one Location field of a complete header, blanks around it trimmed; empty when it is absent
// or repeated. Its bytes stay as sent: the fetch encodes those outside ASCII, and refuses a hop
// with a control character as what it is.
std::string ReadLocation(std::string_view header);

// The values of every `name` field of a complete header (any case), blanks around each trimmed, in
// the order sent; views into `header`.
std::vector<std::string_view> FieldValues(std::string_view header, std::string_view name);

// Bound on a validator worth keeping: longer ones are not resumed from.
inline constexpr std::size_t kMaxValidatorBytes = 256;

// The strong validator that ties kept bytes to the version of the file they came from, as a
// client may use it in If-Range: the one ETag unless it is weak ("W/..."); without any ETag, the
// one Last-Modified date when it is at least 60 s before the response's Date (both IMF-fixdate).
// Empty otherwise (a weak or repeated ETag, a recent or unreadable date, a missing Date, a value
// too long or with control characters): such a response is never continued.
std::string ReadValidator(std::string_view header);

// How the body of an accepted response is delimited, and what identifies the file it belongs to.
struct BodyFraming {
  int status = 0;
  std::int64_t contentLength = -1;  // -1: the body ends when the server closes the connection
  std::int32_t expectedTotal = 0;   // contentLength + resume offset, 0 when the length is unknown
  std::int64_t total = -1;          // the whole file's length; -1 when unknown
  std::string validator;            // ReadValidator of the header
};

// Judges a complete header for a request made with `offset` (a Range request when above 0):
//   no readable status line, conflicting Content-Length fields, a length that 32-bit counts
//   cannot hold together with the offset, or a transfer coding other than identity
//                                                        -> kBadResponseHeader
//   404                                                  -> kHttpNotFound
//   any other status outside 2xx; 206 to a plain request -> kHttpRefused
//   offset above 0: anything but 206 with a Content-Range that starts at the offset, ends at
//   the last byte of a known total and agrees with the Content-Length
//                                                        -> kHttpRefused
// Otherwise kOk with `framing` filled in. A 206 without Content-Length takes its length from the
// range.
Status JudgeResponseHeader(std::string_view header, std::int32_t offset, BodyFraming& framing);

}  // namespace rz
