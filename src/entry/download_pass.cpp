// The pass that fetches every listed ad file missing from the cache folder, one after another.
#include "entry/download_pass.h"

#include <string>

#include "cache/cache_folder.h"
#include "cache/kept_part.h"
#include "download/http_downloader.h"
#include "entry/cache_paths.h"
#include "platform/debug_output.h"
#include "platform/file_system.h"
#include "platform/url_crack.h"

namespace rz {
namespace {

// The entry as a request URL: backslashes become slashes, and "http://" goes in front unless the
// text holds it somewhere.
std::string RequestUrl(const std::string& entry) {
  std::string url = entry;
  for (char& c : url) {
    if (c == '\\') c = '/';
  }
  if (url.find("http://") == std::string::npos) url.insert(0, "http://");
  return url;
}

// One request for `requestUrl` from host:port into the staged file, from `offset` on. Every step
// runs in order and a failed one ends the attempt; the connection is always closed.
bool Attempt(const std::string& host, std::int32_t port, const std::string& requestUrl,
             const std::string& stagedPath, bool canStage, KeptPart& part, std::int32_t offset,
             Status& status) {
  HttpDownloader downloader(host.c_str(), port, stagedPath.c_str());
  if (offset > 0) downloader.ifRange = part.validator().c_str();
  if (canStage) {
    part.Begin(offset);
    downloader.headerCallback = &KeptPart::OnHeader;
    downloader.headerContext = &part;
  }
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there.
  const Status connected = downloader.Connect();
  status = connected < 0 ? connected : downloader.SendRequest(requestUrl.c_str(), offset);
  if (status == kOk && !canStage) status = kFileOpenFailed;
  if (status == kOk) status = downloader.ReceiveToFile(nullptr, stagedPath.c_str(), offset);
  const Status closed = downloader.Disconnect();
  return status == kOk && closed == kOk;
}

// Fetches `requestUrl` into its staged file: continues the bytes a failed fetch kept, when the
// server vouches for them, else fetches the file whole. A continuation the server refuses (a
// changed file, a server that ignores ranges) costs one more request for the whole file, never a
// failed entry and never a file joined from two versions. A fetch that fails after body bytes
// arrived keeps them for the next refresh; any other failure leaves nothing staged.
bool Fetch(CacheFolder& cache, const std::string& host, std::int32_t port,
           const std::string& requestUrl, const std::string& fileName,
           const std::string& localPath) {
  std::string stagedPath;
  // Without the folder's lock nothing may be written; the request still goes out, and the fetch
  // fails where its file would have been opened, as it does when the cache folder is missing.
  const bool canStage = cache.locked() && cache.StagedPath(fileName, stagedPath);
  KeptPart part(stagedPath);
  Status status = kOk;
  const std::int32_t offset = canStage ? part.ResumeOffset() : 0;
  if (offset > 0) {
    platform::DebugOutput("resuming " + fileName + " from byte " + std::to_string(offset));
    if (Attempt(host, port, requestUrl, stagedPath, true, part, offset, status)) {
      part.Finished();
      return cache.Staged(fileName, stagedPath, localPath);
    }
    // An answer that refused the continuation touched nothing. An unreadable one counts as a
    // refusal too, or a server that answers ranges badly would fail the entry forever. Anything
    // else may have failed half-way through the body, whose bytes are kept for the next try.
    const bool refused = !part.accepted() && (status == kHttpRefused || status == kHttpNotFound ||
                                              status == kBadResponseHeader);
    if (!refused) {
      part.KeepOrDiscard();
      return false;
    }
    platform::DebugOutput("continuation refused: fetching " + fileName + " whole");
  }
  if (!Attempt(host, port, requestUrl, stagedPath, canStage, part, 0, status)) {
    if (canStage) part.KeepOrDiscard();
    return false;
  }
  part.Finished();
  return cache.Staged(fileName, stagedPath, localPath);
}

// Settles one entry: true when its file is present, fetched, or staged for the pass's commit.
bool SettleEntry(CacheFolder& cache, const std::string& entry) {
  const std::string requestUrl = RequestUrl(entry);

  platform::CrackedUrl parts;
  if (!platform::CrackUrl(requestUrl, parts)) return false;
  if (parts.host.empty() || parts.host.size() > kMaxPathBytes) return false;

  // The file name is everything after the last '/' from the host on, query text included.
  const std::size_t slash = requestUrl.rfind('/');
  if (slash == std::string::npos || slash < parts.hostOffset) return false;
  const std::string fileName = requestUrl.substr(slash + 1);
  if (!CacheFolder::IsUsableName(fileName)) return false;

  // The staged path must fit as well; a name that leaves no room for it is refused like a name
  // that does not fit at all.
  std::string localPath;
  std::string stagedPath;
  if (!cache.FinalPath(fileName, localPath) || !cache.StagedPath(fileName, stagedPath)) {
    return false;
  }
  if (cache.IsSettled(fileName, localPath)) return true;
  return Fetch(cache, parts.host, parts.port, requestUrl, fileName, localPath);
}

}  // namespace

bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache) {
  bool ok = true;
  for (const std::string& entry : list) {
    ok = SettleEntry(cache, entry);
    if (!ok) break;
  }
  // Files fetched before a failing entry stay cached.
  ok = cache.Commit() && ok;
  if (ok) cache.PruneKeptParts();
  return ok;
}

}  // namespace rz
