// The pass that fetches every listed ad file missing from the cache folder, one after another.
#include "entry/download_pass.h"

#include <string>

#include "download/http_downloader.h"
#include "cache/cache_folder.h"
#include "entry/cache_paths.h"
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

// What the request line asks for: the path with any query after it, "/" when the URL has no
// path. Servers must take the whole URL as well, yet several in common use refuse it or look for
// it as a path.
std::string RequestTarget(const std::string& requestUrl, const platform::CrackedUrl& parts) {
  std::string target = requestUrl.substr(parts.pathOffset);
  if (target.empty() || target[0] != '/') target.insert(0, "/");
  return target;
}

// Asks host:port for `target` and receives it into the staged file of `fileName`. Every step runs
// in order and a failed one ends the fetch; the connection is always closed and a failed fetch
// leaves nothing staged.
bool Fetch(CacheFolder& cache, const std::string& host, std::int32_t port,
           const std::string& target, const std::string& fileName, const std::string& localPath) {
  std::string stagedPath;
  // Without the folder's lock nothing may be written; the request still goes out, and the fetch
  // fails where its file would have been opened, as it does when the cache folder is missing.
  const bool canStage = cache.locked() && cache.StagedPath(fileName, stagedPath);
  HttpDownloader downloader(host.c_str(), port, stagedPath.c_str());
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there.
  bool ok = downloader.Connect() >= 0 && downloader.SendRequest(target.c_str(), 0) == kOk &&
            canStage && downloader.ReceiveToFile(nullptr, stagedPath.c_str(), 0) == kOk;
  const Status closed = downloader.Disconnect();
  ok = ok && closed == kOk;
  if (!ok) {
    if (canStage) platform::RemoveFile(stagedPath.c_str());
    return false;
  }
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
  return Fetch(cache, parts.host, parts.port, RequestTarget(requestUrl, parts), fileName,
               localPath);
}

}  // namespace

bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache) {
  bool ok = true;
  for (const std::string& entry : list) {
    ok = SettleEntry(cache, entry);
    if (!ok) break;
  }
  // Files fetched before a failing entry stay cached.
  return cache.Commit() && ok;
}

}  // namespace rz
