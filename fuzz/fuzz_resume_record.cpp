// The resume record read back from disk after a crash: KeptPart::ResumeOffset over a staged file
// and a record file with arbitrary bytes, in a folder under /dev/shm. Input:
//   bytes 0-1  the staged file's size (little-endian; 0: no staged file)
//   byte 2     n, then n bytes: the entry's URL
//   rest       the record file's bytes, with "$BOOT" standing for this boot's identity
// Checked: the record's text reads back only when it is exactly what FormatResumeRecord writes
// for what was read; a continuation only from a record naming the entry's URL, at the staged
// length, below the record's total and, from another boot, at exactly the synced length; after
// one the record names this boot; and without one, neither the staged data nor the record is
// left.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cache/kept_part.h"
#include "cache/resume_record.h"
#include "platform/boot_identity.h"

namespace {

// A folder of its own, in memory where the machine has /dev/shm; removed at exit.
struct Folder {
  std::string path;
  Folder() {
    for (const char* dir : {"/dev/shm", "/tmp"}) {
      path = std::string(dir) + "/rz-fuzz-resume-XXXXXX";
      if (mkdtemp(path.data()) != nullptr) return;
    }
    std::abort();
  }
  ~Folder() {
    for (const char* name : {"/e.part", "/e.rec", "/e.rec.tmp"}) unlink((path + name).c_str());
    rmdir(path.c_str());
  }
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

void Write(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
            std::fclose(file) == 0,
        "the harness writes its files");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Folder folder;
  static const std::string boot = rz::platform::BootIdentity();
  if (size < 3 || size < 3u + data[2]) return 0;
  const std::int64_t staged = data[0] | data[1] << 8;
  const std::string url(reinterpret_cast<const char*>(data + 3), data[2]);
  std::string text(reinterpret_cast<const char*>(data + 3 + data[2]), size - 3 - data[2]);
  for (std::size_t at = text.find("$BOOT"); at != std::string::npos; at = text.find("$BOOT", at)) {
    text.replace(at, 5, boot);
    at += boot.size();
  }

  const std::string stagedPath = folder.path + "/e.part";
  const std::string recordPath = folder.path + "/e.rec";
  unlink(stagedPath.c_str());
  if (staged > 0) {
    Write(stagedPath, "");
    Check(truncate(stagedPath.c_str(), staged) == 0, "the harness sizes the staged file");
  }
  Write(recordPath, text);

  rz::ResumeRecord parsed{"unchanged", "unchanged", 7, 7, "unchanged"};
  const bool readable = rz::ParseResumeRecord(text, parsed);
  if (readable) {
    Check(rz::FormatResumeRecord(parsed) == text, "a record reads back only as it was written");
    Check(!parsed.url.empty() && parsed.total > 0 && parsed.kept <= parsed.total,
          "a record's numbers");
  } else {
    Check(parsed.url == "unchanged" && parsed.total == 7, "nothing read from a refused record");
  }

  rz::KeptPart kept(stagedPath, url);
  const std::int32_t offset = kept.ResumeOffset();
  if (offset == 0) {
    Check(!Exists(stagedPath) && !Exists(recordPath), "nothing kept without a continuation");
    return 0;
  }
  Check(readable && text.size() <= 2048, "a continuation only from a readable record");
  Check(parsed.url == url, "a continuation only for the URL the record names");
  Check(offset == staged && offset < parsed.total, "from the staged length, below the total");
  const bool sameBoot = !boot.empty() && parsed.boot == boot;
  Check(sameBoot || offset == parsed.kept, "after a restart, only the synced length");
  Check(kept.validator() == parsed.validator, "the record's validator for If-Range");
  rz::ResumeRecord now;
  Check(rz::ReadResumeRecord(recordPath, now) && now.url == parsed.url &&
            now.validator == parsed.validator && now.total == parsed.total &&
            now.kept == parsed.kept && now.boot == boot,
        "the record now names this boot");
  return 0;
}
