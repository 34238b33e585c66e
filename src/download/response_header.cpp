#include "download/response_header.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "download/ascii_text.h"

namespace rz {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Reads a run of decimal digits at the start of `text` into `value` and drops it from `text`.
// kValue, kMalformed (no digit) or kTooLarge (more than 63 bits).
FieldState TakeDecimal(std::string_view& text, std::int64_t& value) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::size_t i = 0;
  std::int64_t result = 0;
  bool tooLarge = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const int digit = text[i] - '0';
    if (result > (kMax - digit) / 10) tooLarge = true;
    if (!tooLarge) result = result * 10 + digit;
  }
  if (i == 0) return FieldState::kMalformed;
  text.remove_prefix(i);
  if (tooLarge) return FieldState::kTooLarge;
  value = result;
  return FieldState::kValue;
}

// Calls visit(value) for every field line of the header whose name is `name` (any case). The
// status line is skipped and the walk stops at the blank line, so body bytes are never read.
template <typename Visit>
void ForEachField(std::string_view header, std::string_view name, Visit visit) {
  std::size_t pos = header.find(kLineEnd);
  if (pos == std::string_view::npos) return;
  pos += kLineEnd.size();
  while (pos < header.size()) {
    std::size_t end = header.find(kLineEnd, pos);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view line = header.substr(pos, end - pos);
    if (line.empty()) return;
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsIgnoreCase(line.substr(0, colon), name)) {
      visit(TrimBlanks(line.substr(colon + 1)));
    }
    pos = end + kLineEnd.size();
  }
}

}  // namespace

Status ResponseHeaderCollector::Append(const char* data, std::size_t length,
                                       std::size_t& bodyStart) {
  bodyStart = length;
  const std::size_t before = text_.size();
  const std::size_t take = std::min(length, kMaxResponseHeaderBytes - before);
  text_.append(data, take);
  // The blank line may have begun in an earlier chunk: look back three bytes.
  const std::size_t from = before >= kHeaderEnd.size() - 1 ? before - (kHeaderEnd.size() - 1) : 0;
  const std::size_t found = text_.find(kHeaderEnd, from);
  if (found != std::string::npos) {
    const std::size_t end = found + kHeaderEnd.size();
    text_.resize(end);
    complete_ = true;
    bodyStart = end - before;
    return kOk;
  }
  return text_.size() >= kMaxResponseHeaderBytes ? kBadResponseHeader : kOk;
}

Status ParseStatusLine(std::string_view header, int& status) {
  std::string_view line = header.substr(0, header.find(kLineEnd));
  constexpr std::string_view kName = "HTTP/";
  if (line.substr(0, kName.size()) != kName) return kBadResponseHeader;
  line.remove_prefix(kName.size());
  std::int64_t unused = 0;
  if (TakeDecimal(line, unused) == FieldState::kMalformed) return kBadResponseHeader;
  if (!line.empty() && line.front() == '.') {
    line.remove_prefix(1);
    if (TakeDecimal(line, unused) == FieldState::kMalformed) return kBadResponseHeader;
  }
  if (line.empty() || line.front() != ' ') return kBadResponseHeader;
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
    return kBadResponseHeader;
  }
  if (line.size() > 3 && !IsBlank(line[3])) return kBadResponseHeader;
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (code < 100) return kBadResponseHeader;
  status = code;
  return kOk;
}

ContentLengthField ReadContentLength(std::string_view header) {
  ContentLengthField result;
  ForEachField(header, "Content-Length", [&result](std::string_view value) {
    std::int64_t number = -1;
    FieldState state = TakeDecimal(value, number);
    if (state == FieldState::kValue && !value.empty()) state = FieldState::kMalformed;
    if (result.state == FieldState::kAbsent) {
      result.state = state;
      result.value = state == FieldState::kValue ? number : -1;
    } else if (!(result.state == FieldState::kValue && state == FieldState::kValue &&
                 result.value == number)) {
      // Two lengths that disagree (or cannot be compared) leave the body's end unknown.
      result.state = FieldState::kConflict;
      result.value = -1;
    }
  });
  return result;
}

std::int64_t ParseContentLength(const char* header, std::size_t length) {
  if (header == nullptr) return -1;
  const ContentLengthField field = ReadContentLength(std::string_view(header, length));
  return field.state == FieldState::kValue ? field.value : -1;
}

ContentRangeField ReadContentRange(std::string_view header) {
  ContentRangeField result;
  int seen = 0;
  ForEachField(header, "Content-Range", [&result, &seen](std::string_view value) {
    ++seen;
    constexpr std::string_view kUnit = "bytes";
    if (!EqualsIgnoreCase(value.substr(0, kUnit.size()), kUnit)) return;
    value.remove_prefix(kUnit.size());
    if (value.empty() || !IsBlank(value.front())) return;
    value = TrimBlanks(value);
    ContentRangeField range;
    if (TakeDecimal(value, range.first) != FieldState::kValue) return;
    if (value.empty() || value.front() != '-') return;
    value.remove_prefix(1);
    if (TakeDecimal(value, range.last) != FieldState::kValue) return;
    if (value.empty() || value.front() != '/') return;
    value.remove_prefix(1);
    if (value == "*") {
      range.completeLength = -1;
    } else if (TakeDecimal(value, range.completeLength) != FieldState::kValue || !value.empty()) {
      return;
    }
    if (range.last < range.first) return;
    if (range.completeLength >= 0 && range.last >= range.completeLength) return;
    range.valid = true;
    result = range;
  });
  if (seen != 1) return ContentRangeField{};
  return result;
}

namespace {

// A transfer coding (chunked, gzip, ...) frames the body in a way this HTTP/1.0 client never
// asked for; written as it arrives, the framing would end up in the file.
bool HasTransferCoding(std::string_view header) {
  bool coded = false;
  ForEachField(header, "Transfer-Encoding", [&coded](std::string_view value) {
    if (!EqualsIgnoreCase(value, "identity")) coded = true;
  });
  return coded;
}

// The one value of a field that must not be repeated; empty when absent or repeated.
std::string_view SingleValue(std::string_view header, std::string_view name) {
  std::string_view found;
  int seen = 0;
  ForEachField(header, name, [&found, &seen](std::string_view value) {
    ++seen;
    found = value;
  });
  return seen == 1 ? found : std::string_view();
}

// A date vouches for a version only this long before the response was made (RFC 9110 8.8.2.2).
constexpr std::int64_t kStrongDateSeconds = 60;

// Two digits at `at` of `text`, or -1.
int TwoDigits(std::string_view text, std::size_t at) {
  if (!IsDigit(text[at]) || !IsDigit(text[at + 1])) return -1;
  return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromEpoch(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = year / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Seconds since 1970 of an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), the one form a server
// must send. The obsolete forms are not read: a date that cannot be read vouches for nothing.
bool ParseHttpDate(std::string_view text, std::int64_t& seconds) {
  static constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT" ||
      std::find(std::begin(kDays), std::end(kDays), text.substr(0, 3)) == std::end(kDays)) {
    return false;
  }
  const auto month = std::find(std::begin(kMonths), std::end(kMonths), text.substr(8, 3));
  const int day = TwoDigits(text, 5);
  const int century = TwoDigits(text, 12);
  const int yearInCentury = TwoDigits(text, 14);
  const int hour = TwoDigits(text, 17);
  const int minute = TwoDigits(text, 20);
  const int second = TwoDigits(text, 23);
  if (month == std::end(kMonths) || day < 1 || day > 31 || century < 0 || yearInCentury < 0 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return false;
  }
  const std::int64_t days = DaysFromEpoch(century * 100 + yearInCentury,
                                          static_cast<int>(month - std::begin(kMonths)) + 1, day);
  seconds = ((days * 24 + hour) * 60 + minute) * 60 + second;
  return true;
}

bool IsPrintable(std::string_view text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

std::string ReadValidator(std::string_view header) {
  // A weak ETag never matches in If-Range; any ETag at all says the server tells versions apart by
  // it, so its Last-Modified does not stand in for one.
  int etags = 0;
  ForEachField(header, "ETag", [&etags](std::string_view) { ++etags; });
  if (etags > 0) {
    const std::string_view etag = SingleValue(header, "ETag");
    if (etag.empty() || etag.size() > kMaxValidatorBytes || !IsPrintable(etag) ||
        etag.substr(0, 2) == "W/") {
      return {};
    }
    return std::string(etag);
  }
  // A modification date vouches for one version only when it lies well before the moment the
  // response was made: a file changed twice within one second keeps its date.
  const std::string_view modified = SingleValue(header, "Last-Modified");
  std::int64_t modifiedAt = 0;
  std::int64_t sentAt = 0;
  if (modified.size() > kMaxValidatorBytes || !IsPrintable(modified) ||
      !ParseHttpDate(modified, modifiedAt) || !ParseHttpDate(SingleValue(header, "Date"), sentAt) ||
      sentAt - modifiedAt < kStrongDateSeconds) {
    return {};
  }
  return std::string(modified);
}

bool KeepsConnection(std::string_view header) {
  int status = 0;
  if (ParseStatusLine(header, status) != kOk) return false;
  if (ReadContentLength(header).state != FieldState::kValue) return false;
  const std::string_view version = header.substr(0, header.find(' '));
  bool keepAlive = false;
  bool close = false;
  ForEachField(header, "Connection", [&](std::string_view value) {
    while (!value.empty()) {
      const std::size_t comma = std::min(value.find(','), value.size());
      const std::string_view token = TrimBlanks(value.substr(0, comma));
      keepAlive = keepAlive || EqualsIgnoreCase(token, "keep-alive");
      close = close || EqualsIgnoreCase(token, "close");
      value.remove_prefix(std::min(comma + 1, value.size()));
    }
  });
  if (close) return false;
  if (version == "HTTP/1.1") return true;
  return version == "HTTP/1.0" && keepAlive;
}

bool IsFollowedRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::vector<std::string_view> FieldValues(std::string_view header, std::string_view name) {
  std::vector<std::string_view> values;
  ForEachField(header, name, [&](std::string_view value) { values.push_back(value); });
  return values;
}

std::string ReadLocation(std::string_view header) {
  return std::string(SingleValue(header, "Location"));
}

Status JudgeResponseHeader(std::string_view header, std::int32_t offset, BodyFraming& framing) {
  int status = 0;
  if (ParseStatusLine(header, status) != kOk) return kBadResponseHeader;
  if (status == 404) return kHttpNotFound;
  if (status < 200 || status > 299) return kHttpRefused;
  if (HasTransferCoding(header)) return kBadResponseHeader;

  const ContentLengthField field = ReadContentLength(header);
  if (field.state == FieldState::kConflict || field.state == FieldState::kTooLarge) {
    return kBadResponseHeader;
  }
  std::int64_t length = field.state == FieldState::kValue ? field.value : -1;
  std::int64_t total = length;

  if (offset > 0) {
    // Only the bytes from the offset on may land at the offset.
    if (status != 206) return kHttpRefused;
    const ContentRangeField range = ReadContentRange(header);
    // A range cut short would be committed as the whole file: it must run to the last byte.
    if (!range.valid || range.first != offset || range.completeLength < 0 ||
        range.last != range.completeLength - 1) {
      return kHttpRefused;
    }
    const std::int64_t rangeLength = range.last - range.first + 1;
    if (length >= 0 && length != rangeLength) return kHttpRefused;
    length = rangeLength;
    total = range.completeLength;
  } else if (status == 206) {
    // A part of the file, offered as if it were the whole.
    return kHttpRefused;
  }

  // Counts and the expected total are signed 32-bit.
  const std::int64_t base = offset > 0 ? offset : 0;
  if (length > std::numeric_limits<std::int32_t>::max() - base) return kBadResponseHeader;

  framing.status = status;
  framing.contentLength = length;
  framing.expectedTotal = length >= 0 ? static_cast<std::int32_t>(length + base) : 0;
  framing.total = total;
  framing.validator = ReadValidator(header);
  return kOk;
}

}  // namespace rz
