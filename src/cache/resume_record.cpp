// The resume record: its text form, and its atomic replacement.
#include "cache/resume_record.h"

#include <cstdio>
#include <limits>
#include <memory>

#include "platform/file_system.h"

namespace rz {
namespace {

// Records of version 1 named no URL: they no longer parse, so their kept bytes are fetched again
// once.
constexpr std::string_view kMagic = "rovirezevade-resume 2";
// Far more than any record takes; a larger file is not one.
constexpr std::size_t kMaxRecordBytes = 2048;
constexpr std::size_t kMaxTextBytes = 256;
// A URL is an entry of at most 259 bytes with its scheme in front.
constexpr std::size_t kMaxUrlBytes = 1024;

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Takes the next line (without its '\n') off `text`; false when no '\n' ends it.
bool TakeLine(std::string_view& text, std::string_view& line) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  line = text.substr(0, end);
  text.remove_prefix(end + 1);
  return true;
}

// The value of a line "<key> <value>" of at most `maxBytes`, without control characters; false
// for another key. Bytes above 0x7F are taken only when `anyByte` (a URL may hold UTF-8).
bool TakeValue(std::string_view& text, std::string_view key, std::string_view& value,
               std::size_t maxBytes = kMaxTextBytes, bool anyByte = false) {
  std::string_view line;
  if (!TakeLine(text, line) || line.substr(0, key.size()) != key) return false;
  line.remove_prefix(key.size());
  if (line.empty() || line.front() != ' ') return false;
  value = line.substr(1);
  if (value.size() > maxBytes) return false;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && !anyByte)) return false;
  }
  return true;
}

// A plain decimal within 0..2^31-1, the range of the engine's counts, as std::to_string writes
// it: no leading zero.
bool TakeCount(std::string_view& text, std::string_view key, std::int64_t& count) {
  std::string_view value;
  if (!TakeValue(text, key, value) || value.empty() || value.size() > 10 ||
      (value.size() > 1 && value.front() == '0')) {
    return false;
  }
  std::int64_t result = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result > std::numeric_limits<std::int32_t>::max()) return false;
  count = result;
  return true;
}

}  // namespace

std::string FormatResumeRecord(const ResumeRecord& record) {
  std::string text(kMagic);
  text.append("\nurl ").append(record.url);
  text.append("\nvalidator ").append(record.validator);
  text.append("\ntotal ").append(std::to_string(record.total));
  text.append("\nkept ").append(std::to_string(record.kept));
  text.append("\nboot ").append(record.boot.empty() ? "-" : record.boot).append("\n");
  return text;
}

bool ParseResumeRecord(std::string_view text, ResumeRecord& record) {
  std::string_view magic;
  std::string_view url;
  std::string_view validator;
  std::string_view boot;
  ResumeRecord parsed;
  if (!TakeLine(text, magic) || magic != kMagic ||
      !TakeValue(text, "url", url, kMaxUrlBytes, true) || url.empty() ||
      !TakeValue(text, "validator", validator) || validator.empty() ||
      !TakeCount(text, "total", parsed.total) || !TakeCount(text, "kept", parsed.kept) ||
      !TakeValue(text, "boot", boot) || boot.empty() || !text.empty()) {
    return false;
  }
  if (parsed.total <= 0 || parsed.kept > parsed.total) return false;
  parsed.url = std::string(url);
  parsed.validator = std::string(validator);
  if (boot != "-") parsed.boot = std::string(boot);
  record = std::move(parsed);
  return true;
}

bool ReadResumeRecord(const std::string& path, ResumeRecord& record) {
  const File file(platform::OpenFile(path.c_str(), "rb"), &std::fclose);
  if (!file) return false;
  char buffer[kMaxRecordBytes + 1];
  const std::size_t read = std::fread(buffer, 1, sizeof buffer, file.get());
  if (read > kMaxRecordBytes) return false;
  return ParseResumeRecord(std::string_view(buffer, read), record);
}

bool WriteResumeRecord(const std::string& path, const ResumeRecord& record) {
  const std::string temp = path + ".tmp";
  const std::string text = FormatResumeRecord(record);
  bool ok = false;
  {
    const File file(platform::OpenFile(temp.c_str(), "wb"), &std::fclose);
    ok = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
         std::fflush(file.get()) == 0;
  }
  // The text is on disk before the name points at it: a power cut cannot leave an empty record
  // under the final name (an empty one would only be discarded, but a synced one is kept).
  ok = ok && platform::SyncFiles({temp}) && platform::ReplaceFile(temp.c_str(), path.c_str());
  if (!ok) platform::RemoveFile(temp.c_str());
  return ok;
}

}  // namespace rz
