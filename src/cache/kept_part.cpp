// Kept partial data: what is kept, what vouches for it, and when it is thrown away.
#include "cache/kept_part.h"

#include <utility>

#include "platform/boot_identity.h"
#include "platform/file_system.h"

namespace rz {
namespace {

constexpr char kPartSuffix[] = ".part";
constexpr char kRecordSuffix[] = ".rec";

std::string RecordPathOf(const std::string& stagedPath) {
  const std::string suffix = kPartSuffix;
  if (stagedPath.size() < suffix.size()) return {};
  return stagedPath.substr(0, stagedPath.size() - suffix.size()) + kRecordSuffix;
}

}  // namespace

bool ContinuesRecord(const ResumeRecord& record, std::int64_t total, std::string_view validator) {
  // A 206 without the validator may be a range of a file changed since.
  return total == record.total && !validator.empty() && validator == record.validator;
}

KeptPart::KeptPart(std::string stagedPath, std::string url)
    : stagedPath_(std::move(stagedPath)),
      recordPath_(RecordPathOf(stagedPath_)),
      url_(std::move(url)) {}

std::int32_t KeptPart::ResumeOffset() {
  recorded_ = false;
  const std::int64_t size = platform::FileSize(stagedPath_.c_str());
  if (recordPath_.empty() || size <= 0 || !ReadResumeRecord(recordPath_, record_) ||
      record_.url != url_) {
    Discard();
    return 0;
  }
  // Within one boot, what a killed process wrote is read back whole. After a restart only the
  // synced length is sure, and an unsynced tail past it may hold anything: then only a file of
  // exactly that length is continued.
  const bool sameBoot = !record_.boot.empty() && record_.boot == platform::BootIdentity();
  const bool vouched = sameBoot ? size >= record_.kept : size == record_.kept;
  // A staged file of the whole length leaves no range to ask for (a server would answer 416), and
  // one that ended just before its commit cannot be told from one cut short: fetched whole.
  if (!vouched || size >= record_.total) {
    Discard();
    return 0;
  }
  // The record keeps vouching for the synced length only, so the kept bytes need no sync here.
  // After a restart it is moved to this boot, so that a kill during the continuation does not
  // cost the bytes it brought.
  if (!sameBoot) {
    record_.boot = platform::BootIdentity();
    if (!WriteResumeRecord(recordPath_, record_)) {
      Discard();
      return 0;
    }
  }
  recorded_ = true;
  return static_cast<std::int32_t>(size);
}

void KeptPart::Begin(std::int32_t offset) {
  offset_ = offset;
  accepted_ = false;
  promised_ = -1;
  if (offset <= 0) {
    // A whole fetch starts afresh: nothing of an older record may describe its bytes.
    Discard();
  }
  // The attempt writes the staged data from here on.
  clean_ = false;
}

Status KeptPart::OnHeader(void* context, std::int64_t total, std::string_view validator) {
  return static_cast<KeptPart*>(context)->Check(total, validator);
}

Status KeptPart::Check(std::int64_t total, std::string_view validator) {
  if (offset_ > 0) {
    // The continuation must come from the version the kept bytes came from.
    if (!ContinuesRecord(record_, total, validator)) return kHttpRefused;
  } else if (!validator.empty() && total >= kMinKeptTotal) {
    record_ = ResumeRecord{url_, std::string(validator), total, 0, platform::BootIdentity()};
    recordGone_ = false;
    recorded_ = WriteResumeRecord(recordPath_, record_);
  }
  accepted_ = true;
  promised_ = total;
  return kOk;
}

void KeptPart::KeepOrDiscard() {
  const std::int64_t size = platform::FileSize(stagedPath_.c_str());
  if (!recorded_ || size <= 0 || size >= record_.total) {
    Discard();
    return;
  }
  // The bytes are synced before the record claims them, so the record holds after a power cut.
  record_.kept = size;
  record_.boot = platform::BootIdentity();
  recordGone_ = false;
  if (!platform::SyncFiles({stagedPath_}) || !WriteResumeRecord(recordPath_, record_)) Discard();
}

void KeptPart::Discard() {
  recorded_ = false;
  // Nothing was written since the last discard: a fresh entry's fetch costs no removals of names
  // that are not there, each of which would take the staging folder's lock.
  if (clean_) return;
  // The record goes first: staged bytes without a record are never continued.
  bool hadRecord = false;
  const bool recordRemoved = platform::RemoveFile(recordPath_.c_str(), &hadRecord);
  const bool stagedRemoved = platform::RemoveFile(stagedPath_.c_str());
  clean_ = recordRemoved && stagedRemoved;
  recordGone_ = recordRemoved;
  // A removal that a power cut could take back would bring an old record back beside the bytes
  // of a newer fetch; the folder is synced, which is rare enough to cost nothing.
  const std::size_t slash = recordPath_.find_last_of("/\\");
  if (hadRecord && slash != std::string::npos) {
    platform::SyncFolder(recordPath_.substr(0, slash).c_str());
  }
}

void KeptPart::Finished() {
  if (!recordGone_) recordGone_ = platform::RemoveFile(recordPath_.c_str());
  recorded_ = false;
}

}  // namespace rz
