// The live progress line on a terminal: one line for the file being fetched, with its name, the
// bytes so far, the percentage and the rate, fed by the library's debug lines and redrawn in
// place at most ten times a second. Cleared before anything else is written and before the
// report.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace razara {

// True for the library's own debug lines: its "RazaRa: " lines and its progress texts. Anything
// else on stderr during the call (a dependency's complaint) is not the library's to hide.
bool IsLibraryLine(std::string_view line);

class ProgressLine {
 public:
  // Draws on `out` only when `draw`; the bytes so far are read from the file in `cacheDir`.
  ProgressLine(std::FILE* out, std::string cacheDir, bool draw);
  // One library line: a fetch milestone starts a new file, a percentage or the fixed text of a
  // response of unknown length moves it on; anything else is left alone.
  void Feed(std::string_view line);
  // Removes the live line.
  void Clear();

 private:
  void Draw(bool force);

  std::FILE* out_;
  std::string cacheDir_;
  bool draw_;
  std::string name_;  // empty: no fetch yet
  int percent_ = -1;  // -1: unknown
  std::int64_t resumedFrom_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point drawn_;
  std::size_t shown_ = 0;  // columns of the line now on screen
};

}  // namespace razara
