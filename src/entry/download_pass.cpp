// The pass that fetches every listed ad file missing from the cache folder, one after another.
#include "entry/download_pass.h"

#include <string>
#include <string_view>

#include "download/http_downloader.h"
#include "entry/cache_paths.h"
#include "entry/diagnostics.h"
#include "platform/file_system.h"
#include "platform/url_crack.h"

namespace rz {
namespace {

// A fetch writes here first and is renamed over the final name only once it is complete, so a
// file under its final name is always whole.
constexpr char kPartSuffix[] = ".part";

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

// Fetches `requestUrl` from host:port into partPath, then moves it to localPath. Every step runs
// in order and a failed one ends the fetch with its status; the connection is always closed and
// the part file never survives a failure.
Status Fetch(const std::string& host, std::int32_t port, const std::string& requestUrl,
             const std::string& partPath, const std::string& localPath) {
  HttpDownloader downloader(host.c_str(), port, partPath.c_str());
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there.
  Status status = downloader.Connect();
  if (status >= 0) status = downloader.SendRequest(requestUrl.c_str(), 0);
  if (status == kOk) status = downloader.ReceiveToFile(nullptr, partPath.c_str(), 0);
  const Status closed = downloader.Disconnect();
  if (status == kOk) status = closed;
  // A part file that cannot take its final name is a file that could not be written.
  if (status == kOk && !platform::ReplaceFile(partPath.c_str(), localPath.c_str())) {
    status = kFileWriteFailed;
  }
  if (status != kOk) platform::RemoveFile(partPath.c_str());
  return status;
}

// One failure line for an entry that fails before any fetch, and the pass's false.
bool Refused(const std::string& entry, std::string_view why) {
  diag::EntryRefused(entry, why);
  return false;
}

// Settles one entry, its file named in `cacheDir`: true when the file is present afterwards.
bool SettleEntry(const std::string& cacheDir, const std::string& entry) {
  const std::string requestUrl = RequestUrl(entry);

  platform::CrackedUrl parts;
  if (!platform::CrackUrl(requestUrl, parts)) return Refused(entry, "the URL cannot be split");
  if (parts.host.empty() || parts.host.size() > kMaxPathBytes) {
    return Refused(entry, "no host name, or one longer than 259 bytes");
  }

  // The file name is everything after the last '/' from the host on, query text included.
  const std::size_t slash = requestUrl.rfind('/');
  if (slash == std::string::npos || slash < parts.hostOffset) {
    return Refused(entry, "no file name after the last '/'");
  }
  const std::string fileName = requestUrl.substr(slash + 1);
  // "." and ".." name the cache folder and its parent, never a file (and Windows drops trailing
  // dots, so any run of dots does): such an entry would pass as present with no ad behind it.
  if (fileName.find_first_not_of('.') == std::string::npos) {
    return Refused(entry, "the file name after the last '/' is only dots");
  }

  std::string localPath;
  if (!CachedFilePathIn(cacheDir, fileName, localPath)) {
    return Refused(entry, "the local path does not fit 259 bytes");
  }
  // The part file must fit as well; a name that leaves no room for it is refused like a name
  // that does not fit at all.
  const std::string partPath = localPath + kPartSuffix;
  if (partPath.size() > kMaxPathBytes) {
    return Refused(entry, "the local path does not fit 259 bytes");
  }

  // An empty regular file is what a failed fetch of older versions used to leave behind, never a
  // usable ad; it is fetched again. Anything else of that name counts as present.
  if (platform::ProbePath(localPath.c_str()) == platform::PathState::kPresent) return true;

  diag::FetchStarting(requestUrl, fileName);
  const Status fetched =
      Fetch(parts.host, parts.port, RequestTarget(requestUrl, parts), partPath, localPath);
  if (fetched != kOk) diag::DownloadFailed(requestUrl, fileName, fetched);
  return fetched == kOk;
}

}  // namespace

bool DownloadMissingAds(const AdUrlList& list, const std::string& cacheDir) {
  if (list.empty()) return true;
  // Without a folder no entry could be settled, so the pass fails at the first entry either way
  // and nothing is fetched.
  if (cacheDir.empty()) {
    diag::EntryRefused(list.front(), "the cache folder's path cannot be found or does not fit");
    return false;
  }
  for (const std::string& entry : list) {
    if (!SettleEntry(cacheDir, entry)) return false;
  }
  return true;
}

}  // namespace rz
