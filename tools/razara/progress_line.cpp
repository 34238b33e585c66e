#include "progress_line.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

namespace razara {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kLinePrefix = "RazaRa: ";
constexpr std::string_view kFetchPrefix = "RazaRa: fetch ";
constexpr std::string_view kArrow = " -> ";
constexpr std::string_view kResumed = " resumed from byte ";
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

// The size of the file a fetch is writing: its part file while it runs, or the file itself.
// -1 when neither can be read (a name that is no UTF-8, for one).
std::int64_t BytesSoFar(const std::string& cacheDir, const std::string& name) {
  for (const char* suffix : {".part", ""}) {
    try {
      std::error_code error;
      const auto size = fs::file_size(fs::u8path(cacheDir + name + suffix), error);
      if (!error) return static_cast<std::int64_t>(size);
    } catch (...) {
    }
  }
  return -1;
}

std::string Bytes(double count) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (count >= 1024 && unit < 3) {
    count /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", count, units[unit]);
  return text;
}

bool IsPercentage(std::string_view line) {
  return line.size() >= 2 && line.size() <= 4 && line.back() == '%' &&
         line.find_first_not_of("0123456789") == line.size() - 1;
}

}  // namespace

bool IsLibraryLine(std::string_view line) {
  // The fixed text for a response of unknown length is the one line with "3842b" in it, in any
  // of its encodings.
  return line.substr(0, kLinePrefix.size()) == kLinePrefix || IsPercentage(line) ||
         line.find("3842b") != std::string_view::npos;
}

ProgressLine::ProgressLine(std::FILE* out, std::string cacheDir, bool draw)
    : out_(out), cacheDir_(std::move(cacheDir)), draw_(draw) {}

void ProgressLine::Feed(std::string_view line) {
  if (!draw_) return;
  if (line.substr(0, kFetchPrefix.size()) == kFetchPrefix) {
    const auto arrow = line.find(kArrow);
    if (arrow == std::string_view::npos) return;
    std::string_view name = line.substr(arrow + kArrow.size());
    const auto resumed = name.find(kResumed);
    if (resumed != std::string_view::npos) {
      resumedFrom_ = std::atoll(std::string(name.substr(resumed + kResumed.size())).c_str());
      return;  // the same file goes on
    }
    name_ = std::string(name);
    percent_ = -1;
    resumedFrom_ = 0;
    started_ = std::chrono::steady_clock::now();
    Draw(true);
    return;
  }
  if (name_.empty() || line.empty()) return;
  if (IsPercentage(line)) {
    percent_ = std::atoi(std::string(line).c_str());
    Draw(false);
  } else if (IsLibraryLine(line) && line.substr(0, kLinePrefix.size()) != kLinePrefix) {
    percent_ = -1;  // the fixed text for a response of unknown length
    Draw(false);
  }
}

void ProgressLine::Draw(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - drawn_ < kRedrawEvery) return;
  drawn_ = now;
  const std::int64_t bytes = BytesSoFar(cacheDir_, name_);
  const double seconds = std::chrono::duration<double>(now - started_).count();
  std::string text = name_ + "  " + (bytes >= 0 ? Bytes(static_cast<double>(bytes)) : "?");
  text += percent_ >= 0 ? "  " + std::to_string(percent_) + "%" : "  ?%";
  if (bytes > resumedFrom_ && seconds > 0.05) {
    text += "  " + Bytes(static_cast<double>(bytes - resumedFrom_) / seconds) + "/s";
  }
  // Padding, not an escape sequence, wipes what a longer line left: any console understands it.
  const std::size_t width = text.size();
  if (width < shown_) text.append(shown_ - width, ' ');
  shown_ = width;
  std::fprintf(out_, "\r%s", text.c_str());
  std::fflush(out_);
}

void ProgressLine::Clear() {
  if (!draw_ || shown_ == 0) return;
  std::fprintf(out_, "\r%s\r", std::string(shown_, ' ').c_str());
  std::fflush(out_);
  shown_ = 0;
}

}  // namespace razara
