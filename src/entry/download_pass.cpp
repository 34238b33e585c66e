// The pass that fetches every listed ad file missing from the cache folder, one after another.
#include "entry/download_pass.h"

#include <string>
#include <string_view>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/kept_part.h"
#include "download/http_downloader.h"
#include "download/route.h"
#include "entry/cache_paths.h"
#include "entry/diagnostics.h"
#include "platform/file_system.h"
#include "platform/system_proxy.h"
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

// Where the requests of one fetch go and what they ask for.
struct Endpoint {
  std::string host;  // the URL's host and port, for the direct form
  std::int32_t port = 80;
  std::string target;  // the direct form's request target
  Route route;
  std::string absoluteUrl;  // the proxy form's request target
  int proxyStatus = 0;      // the HTTP status of the proxy's last refusal
};

// One request for the file into the staged file, from `offset` on, straight to the server or
// through the proxy. Every step runs in order and a failed one ends the attempt with its status;
// the connection is always closed.
Status Attempt(Endpoint& to, const std::string& stagedPath, bool canStage, KeptPart& part,
               std::int32_t offset) {
  const bool proxied = to.route.kind == RouteKind::kProxyForm;
  HttpDownloader downloader(proxied ? to.route.proxy.host.c_str() : to.host.c_str(),
                            proxied ? to.route.proxy.port : to.port, stagedPath.c_str());
  if (proxied) {
    downloader.proxyTargetUrl = to.absoluteUrl.c_str();
    if (to.route.proxy.hasCredentials) {
      downloader.proxyUser = to.route.proxy.user.c_str();
      downloader.proxyPassword = to.route.proxy.password.c_str();
    }
  }
  if (offset > 0) downloader.ifRange = part.validator().c_str();
  if (canStage) {
    part.Begin(offset);
    downloader.headerCallback = &KeptPart::OnHeader;
    downloader.headerContext = &part;
  }
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there.
  Status status = downloader.Connect();
  if (status >= 0) status = downloader.SendRequest(to.target.c_str(), offset);
  if (status == kOk && !canStage) status = kFileOpenFailed;
  if (status == kOk) status = downloader.ReceiveToFile(nullptr, stagedPath.c_str(), offset);
  const Status closed = downloader.Disconnect();
  if (proxied && status != kOk) to.proxyStatus = downloader.responseStatus;
  return status == kOk ? closed : status;
}

// Asks the endpoint for the file into the staged file of `fileName`, then hands it to the cache's
// next commit. Bytes a failed fetch kept are continued when the server vouches for them, else the
// file is fetched whole. A continuation the server refuses (a changed file, a server that ignores
// ranges) costs one more request for the whole file, never a failed entry and never a file joined
// from two versions. A fetch that fails after body bytes arrived keeps them for the next refresh;
// any other failure leaves nothing staged.
Status Fetch(CacheFolder& cache, Endpoint& to, const std::string& requestUrl,
             const std::string& fileName, const std::string& localPath) {
  std::string stagedPath;
  // Without the folder's lock nothing may be written; the request still goes out, and the fetch
  // fails where its file would have been opened, as it does when the cache folder is missing.
  const bool canStage = cache.locked() && cache.StagedPath(fileName, stagedPath);
  KeptPart part(stagedPath, requestUrl);
  const std::int32_t offset = canStage ? part.ResumeOffset() : 0;
  Status status = kOk;
  if (offset > 0) {
    diag::FetchResumed(requestUrl, fileName, offset);
    status = Attempt(to, stagedPath, true, part, offset);
    // An answer that refused the continuation touched nothing. An unreadable one counts as a
    // refusal too, or a server that answers ranges badly would fail the entry forever. Anything
    // else may have failed half-way through the body, whose bytes are kept for the next try.
    const bool refused = !part.accepted() && (status == kHttpRefused || status == kHttpNotFound ||
                                              status == kBadResponseHeader);
    if (status != kOk && !refused) {
      part.KeepOrDiscard();
      return status;
    }
  }
  if (offset <= 0 || status != kOk) {
    status = Attempt(to, stagedPath, canStage, part, 0);
    if (status != kOk) {
      if (canStage) part.KeepOrDiscard();
      return status;
    }
  }
  part.Finished();
  // A fetch that cannot be committed is a file that could not be written.
  return cache.Staged(fileName, stagedPath, localPath, part.promisedTotal()) ? kOk
                                                                             : kFileWriteFailed;
}

// The text after the URL's last '/': the name the entry's file is cached under.
std::string FileNameOf(const std::string& requestUrl) {
  return requestUrl.substr(requestUrl.rfind('/') + 1);
}

// One failure line for an entry that fails before any fetch, and the pass's false.
bool Refused(const std::string& entry, std::string_view why) {
  diag::EntryRefused(entry, why);
  return false;
}

// The absolute URL a proxy is asked for: the request URL, its spaces made '+' as the direct form
// makes them in the path.
std::string AbsoluteUrl(std::string url) {
  for (char& c : url) {
    if (c == ' ') c = '+';
  }
  return url;
}

// Settles one entry: true when its file is present, or fetched and staged for the pass's commit.
bool SettleEntry(CacheFolder& cache, const platform::SystemProxySettings& proxies,
                 const std::string& entry) {
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
  const std::string fileName = FileNameOf(requestUrl);
  if (!CacheFolder::IsUsableName(fileName) || cache.IsShortNameOfOwnFile(fileName)) {
    return Refused(entry,
                   "the file name is only dots, one the cache keeps for itself, or not a plain "
                   "file name on this system");
  }

  // The staged path must fit as well; a name that leaves no room for it is refused like a name
  // that does not fit at all.
  std::string localPath;
  std::string stagedPath;
  if (!cache.FinalPath(fileName, localPath) || !cache.StagedPath(fileName, stagedPath)) {
    return Refused(entry, "the local path does not fit 259 bytes");
  }
  if (cache.IsSettled(fileName, localPath)) return true;

  Endpoint to;
  to.host = parts.host;
  // An IPv6 literal is written in brackets in the Host line, and a cracker that reports it
  // without them gets them back here.
  if (to.host.find(':') != std::string::npos && to.host[0] != '[') to.host = "[" + to.host + "]";
  to.port = parts.port;
  to.target = RequestTarget(requestUrl, parts);
  to.route = RouteFor(proxies, "http", to.host);
  to.absoluteUrl = AbsoluteUrl(requestUrl);

  diag::FetchStarting(requestUrl, fileName);
  const Status fetched = Fetch(cache, to, requestUrl, fileName, localPath);
  if (fetched != kOk) {
    const bool proxied = to.route.kind != RouteKind::kDirect;
    diag::DownloadFailed(requestUrl, fileName, fetched, proxied ? to.route.proxy.Name() : "",
                         to.proxyStatus);
  }
  return fetched == kOk;
}

}  // namespace

bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache) {
  // Read once, so that every entry of one pass takes the same route.
  const platform::SystemProxySettings proxies = platform::ReadSystemProxySettings();
  diag::RoutesChosen(DescribeRoutes(proxies));
  bool ok = true;
  for (const std::string& entry : list) {
    ok = SettleEntry(cache, proxies, entry);
    if (!ok) break;
  }
  // Files fetched before a failing entry stay cached.
  const bool committed = cache.Commit();
  // Kept data serves only names the list still holds, and none once every listed file is in
  // place: whatever a pass ends with, staging never grows beyond one list's worth.
  std::vector<std::string> listed;
  if (!ok || !committed) {
    listed.reserve(list.size());
    for (const std::string& entry : list) listed.push_back(FileNameOf(RequestUrl(entry)));
  }
  cache.PruneKeptParts(listed);
  if (!committed) {
    return Refused(cache.dir(), "fetched files cannot be flushed to disk or take their names");
  }
  return ok;
}

}  // namespace rz
