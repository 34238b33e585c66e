// The partial data one fetch keeps in staging when it fails after body bytes were written, and the
// checks that let a later fetch continue it only from the same version of the file.
//
// The staged data is "<name>.part" and its record "<name>.rec". The record is written as soon as
// the response header has been accepted and before any body byte, so even a host killed in the
// middle of the body leaves bytes that say where they came from. Kept bytes without a readable
// record, or that a record does not vouch for, are thrown away.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cache/resume_record.h"
#include "download/status_codes.h"

namespace rz {

// Whether a response to a continuation, judged by JudgeResponseHeader for the kept length, may
// continue the bytes `record` vouches for: only one promising the record's total and carrying the
// record's strong validator comes from the version they came from.
bool ContinuesRecord(const ResumeRecord& record, std::int64_t total, std::string_view validator);

class KeptPart {
 public:
  // Smaller files are not kept: fetched again whole, they cost less than the record's sync.
  static constexpr std::int64_t kMinKeptTotal = 64 * 1024;

  // `stagedPath` is the entry's staged data as `cache` names it; the record lies beside it.
  // `url` is what the entry is asked from: kept bytes are continued only from that same URL.
  KeptPart(std::string stagedPath, std::string url);

  // The byte to continue from, with validator() for the If-Range line; 0 when nothing usable is
  // kept, and then whatever was staged is gone.
  std::int32_t ResumeOffset();
  const std::string& validator() const { return record_.validator; }

  // Starts one attempt at `offset` (0: the whole file).
  void Begin(std::int32_t offset);
  // For HttpDownloader::headerCallback, with this object as its context. On a continuation it
  // refuses a response whose total differs from the record's or that does not carry the record's
  // validator; on a whole fetch it writes the record when the response can be resumed from.
  static Status OnHeader(void* context, std::int64_t total, std::string_view validator);
  // Whether the last attempt's response header was accepted (body bytes may have followed).
  bool accepted() const { return accepted_; }
  // The whole file's length the last accepted response promised; -1 when it promised none (a
  // body that ends at the server's close).
  std::int64_t promisedTotal() const { return promised_; }

  // After a failed attempt: keeps what the record vouches for, synced, and records its length;
  // throws everything away when there is no record or nothing to continue from.
  void KeepOrDiscard();
  // Removes the staged data and its record.
  void Discard();
  // After a whole body arrived: the record has served its purpose.
  void Finished();

 private:
  Status Check(std::int64_t total, std::string_view validator);

  std::string stagedPath_;
  std::string recordPath_;
  std::string url_;
  ResumeRecord record_;
  bool recorded_ = false;    // record_ is on disk and describes the staged data
  bool clean_ = false;       // neither the staged data nor the record exists since a discard
  bool recordGone_ = false;  // no record exists since a discard or Finished
  bool accepted_ = false;
  std::int32_t offset_ = 0;
  std::int64_t promised_ = -1;
};

}  // namespace rz
