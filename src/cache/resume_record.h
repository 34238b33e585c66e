// The record that ties the partial data kept for one entry to the response it came from, so that
// a later fetch continues it only from the same version of the same file.
//
// It is a small text file beside the staged data, replaced in one step. A record that is missing
// or does not read back exactly as written means the kept bytes are thrown away: an unreadable
// record can never lead to a continuation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rz {

struct ResumeRecord {
  std::string url;         // the URL the bytes were asked from; only that URL continues them
  std::string validator;   // the response's strong validator (ReadValidator)
  std::int64_t total = 0;  // the whole file's length
  std::int64_t kept = 0;   // bytes of the staged data that were synced when the record was written
  std::string boot;        // the machine's boot identity then; empty when unknown
};

// The record as text, and back. ParseResumeRecord is false for anything FormatResumeRecord cannot
// have written: another first line, a missing or extra line, a number out of range, kept bytes
// beyond the total.
std::string FormatResumeRecord(const ResumeRecord& record);
bool ParseResumeRecord(std::string_view text, ResumeRecord& record);

// Reads the record at `path`; false when it is absent or unreadable.
bool ReadResumeRecord(const std::string& path, ResumeRecord& record);

// Replaces the record at `path` in one step: written to `path` + ".tmp", synced, then moved over
// it, so that a crash leaves the old record, the new one, or none, never a mix.
bool WriteResumeRecord(const std::string& path, const ResumeRecord& record);

}  // namespace rz
