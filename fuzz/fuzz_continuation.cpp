// Validators and ranges: whether a response continues kept bytes (JudgeResponseHeader for the
// kept length, then ContinuesRecord against the record). Input: three lines, the record's
// validator, the kept length and the record's total (decimal), then the header (cut at its first
// blank line, or given one). Byte 0 of the header picks the mode:
//   '!'  the header is "HTTP/1.1 206", then the rest of the input as field lines with every line
//        naming a field that decides a continuation taken out, then the record's own
//        Content-Range and ETag: it must be accepted whatever those other lines hold;
//   else the header as given: it may be accepted only when, read independently, it is a 206
//        with one Content-Range "bytes <kept>-<total-1>/<total>" of the record's total and the
//        record's strong validator (its one ETag, or with no ETag its one Last-Modified at least
//        60 s before its one Date).
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "cache/kept_part.h"
#include "download/response_header.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

bool TakeLine(std::string_view& text, std::string_view& line) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

// A decimal of 1 to 10 digits, else -1.
std::int64_t Number(std::string_view text) {
  if (text.empty() || text.size() > 10) return -1;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The header's field lines (between the status line and the blank line) as name and value, the
// value without the blanks around it.
std::vector<std::pair<std::string, std::string_view>> Fields(std::string_view header) {
  std::vector<std::pair<std::string, std::string_view>> fields;
  std::size_t at = header.find("\r\n");
  while (at != std::string_view::npos) {
    at += 2;
    const std::size_t end = header.find("\r\n", at);
    if (end == std::string_view::npos || end == at) break;
    const std::string_view line = header.substr(at, end - at);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      fields.emplace_back(Lower(line.substr(0, colon)), value);
    }
    at = end;
  }
  return fields;
}

std::vector<std::string_view> ValuesOf(
    const std::vector<std::pair<std::string, std::string_view>>& fields, const char* name) {
  std::vector<std::string_view> values;
  for (const auto& field : fields) {
    if (field.first == name) values.push_back(field.second);
  }
  return values;
}

// "bytes F-L/C" with any case of the unit, blanks after it and leading zeros in the numbers.
bool RangeIs(std::string_view value, std::int64_t first, std::int64_t last, std::int64_t total) {
  if (value.size() < 6 || Lower(value.substr(0, 5)) != "bytes" ||
      (value[5] != ' ' && value[5] != '\t')) {
    return false;
  }
  value.remove_prefix(5);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  const auto take = [&value](char stop, std::int64_t expected) {
    const std::size_t end = stop == '\0' ? value.size() : value.find(stop);
    if (end == std::string_view::npos) return false;
    std::string_view digits = value.substr(0, end);
    value.remove_prefix(end == value.size() ? end : end + 1);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    return digits == std::to_string(expected);
  };
  return take('-', first) && take('/', last) && take('\0', total);
}

// Seconds since 1970 of an IMF-fixdate, by the C library.
bool Seconds(std::string_view text, std::int64_t& seconds) {
  const std::string date(text);
  struct tm parts = {};
  const char* end = strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (end == nullptr || *end != '\0') return false;
  seconds = static_cast<std::int64_t>(timegm(&parts));
  return true;
}

void CheckAccepted(std::string_view header, const rz::ResumeRecord& record, std::int64_t kept) {
  const std::string_view statusLine = header.substr(0, header.find("\r\n"));
  const std::size_t space = statusLine.find(' ');
  Check(statusLine.substr(0, 5) == "HTTP/" && space != std::string_view::npos &&
            statusLine.find_first_not_of(' ', space) != std::string_view::npos &&
            statusLine.substr(statusLine.find_first_not_of(' ', space), 3) == "206",
        "a continuation is a 206");
  const auto fields = Fields(header);
  const auto ranges = ValuesOf(fields, "content-range");
  Check(ranges.size() == 1 && RangeIs(ranges[0], kept, record.total - 1, record.total),
        "one Content-Range from the kept length to the record's last byte");
  Check(!record.validator.empty() && record.validator.substr(0, 2) != "W/",
        "the record's validator is strong");
  const auto etags = ValuesOf(fields, "etag");
  if (!etags.empty()) {
    Check(etags.size() == 1 && etags[0] == record.validator, "the one ETag is the record's");
    return;
  }
  const auto modified = ValuesOf(fields, "last-modified");
  const auto dates = ValuesOf(fields, "date");
  std::int64_t modifiedAt = 0;
  std::int64_t sentAt = 0;
  Check(modified.size() == 1 && modified[0] == record.validator && dates.size() == 1 &&
            Seconds(modified[0], modifiedAt) && Seconds(dates[0], sentAt) &&
            sentAt - modifiedAt >= 60,
        "without an ETag, the one Last-Modified is the record's and 60 s before the one Date");
}

// Whether a field line may take part in the verdict (it is then left out of the noise).
bool Decides(std::string_view line) {
  const std::string name = Lower(line.substr(0, line.find(':')));
  for (const char* field : {"content-", "transfer-", "etag", "last-modified", "date"}) {
    if (name.find(field) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view validator;
  std::string_view keptText;
  std::string_view totalText;
  if (!TakeLine(input, validator) || !TakeLine(input, keptText) || !TakeLine(input, totalText)) {
    return 0;
  }
  const std::int64_t kept = Number(keptText);
  const std::int64_t total = Number(totalText);
  if (kept < 1 || total <= kept || total > std::numeric_limits<std::int32_t>::max()) return 0;
  const rz::ResumeRecord record{"http://h/a", std::string(validator), total, kept, ""};
  const auto offset = static_cast<std::int32_t>(kept);

  std::string header;
  const bool noise = !input.empty() && input.front() == '!';
  if (noise) {
    // Only a strong validator of the kind a record holds can be asked for.
    if (validator.empty() || validator.size() > rz::kMaxValidatorBytes ||
        validator.substr(0, 2) == "W/" ||
        validator.find_first_of("\r\n\t") != std::string_view::npos ||
        validator.find_first_not_of(" ") == std::string_view::npos || validator.front() == ' ' ||
        validator.back() == ' ') {
      return 0;
    }
    for (const char c : validator) {
      if (c < ' ' || c > '~') return 0;
    }
    header = "HTTP/1.1 206 Partial Content\r\n";
    std::string_view rest = input.substr(1);
    while (!rest.empty()) {
      const std::size_t end = rest.find("\r\n");
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
      if (!line.empty() && !Decides(line)) header.append(line).append("\r\n");
    }
    header += "Content-Range: bytes " + std::to_string(kept) + "-" + std::to_string(total - 1) +
              "/" + std::to_string(total) + "\r\nETag: " + std::string(validator) + "\r\n\r\n";
    if (header.find("\r\n\r\n") != header.size() - 4) return 0;
  } else {
    const std::size_t blank = input.find("\r\n\r\n");
    header = blank == std::string_view::npos ? std::string(input) + "\r\n\r\n"
                                             : std::string(input.substr(0, blank + 4));
  }

  rz::BodyFraming framing;
  const bool accepted = rz::JudgeResponseHeader(header, offset, framing) == rz::kOk &&
                        rz::ContinuesRecord(record, framing.total, framing.validator);
  if (noise) {
    Check(accepted, "the record's own range and ETag continue it, whatever else the header holds");
  } else if (accepted) {
    CheckAccepted(header, record, kept);
    Check(framing.contentLength == total - kept && framing.expectedTotal == total,
          "the body is the rest of the file");
  }
  return 0;
}
