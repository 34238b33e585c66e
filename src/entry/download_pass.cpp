// The pass that fetches every listed ad file missing from the cache folder, several at once.
#include "entry/download_pass.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/cache_paths.h"
#include "download/connection_pool.h"
#include "download/pass_routes.h"
#include "download/wire_url.h"
#include "entry/diagnostics.h"
#include "entry/fetch.h"
#include "entry/fetch_scheduler.h"
#include "platform/auto_proxy.h"
#include "platform/file_system.h"
#include "platform/system_proxy.h"

namespace rz {
namespace {

// Whether the entry's text starts with "https://", in any case.
bool IsHttps(const std::string& url) {
  static constexpr char kHttps[] = "https://";
  if (url.size() < sizeof kHttps - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kHttps; ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != kHttps[i]) return false;
  }
  return true;
}

// The entry as a request URL: backslashes become slashes, and "http://" goes in front unless the
// text holds it somewhere or starts with "https://".
std::string RequestUrl(const std::string& entry) {
  std::string url = entry;
  for (char& c : url) {
    if (c == '\\') c = '/';
  }
  if (!IsHttps(url) && url.find("http://") == std::string::npos) url.insert(0, "http://");
  return url;
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

// Settles one entry: true when its file is present, or fetched and staged for the pass's commit.
bool SettleEntry(CacheFolder& cache, PassRoutes& routes, ConnectionPool& pool,
                 const std::string& entry) {
  const std::string requestUrl = RequestUrl(entry);

  WireUrl parts;
  const Status taken = TakeApart(requestUrl, parts);
  const std::size_t at = ControlCharacterAt(entry);
  if (taken == kUnsafeUrl && at < entry.size()) {
    char code[8] = {};
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(entry[at]));
    return Refused(entry, "the URL holds a control character (" + std::string(code) + " at byte " +
                              std::to_string(at) + "); nothing was sent");
  }
  if (taken != kOk) return Refused(entry, "the URL cannot be split");
  if (parts.host.size() > kMaxPathBytes) return Refused(entry, "a host name longer than 259 bytes");

  // The file name is everything after the last '/' from the host on, query text included.
  const std::size_t slash = requestUrl.rfind('/');
  if (slash == std::string::npos || slash < parts.hostOffset) {
    return Refused(entry, "no file name after the last '/'");
  }
  const std::string fileName = FileNameOf(requestUrl);
  if (!CacheFolder::IsUsableName(fileName)) {
    return Refused(entry,
                   "the file name is only dots, one the cache keeps for itself, or not a plain "
                   "file name on this system");
  }
  const std::string aliased = cache.Aliases(fileName);
  if (!aliased.empty()) {
    return Refused(entry, "the file name is the short name of " + aliased +
                              ", another file in the cache folder");
  }

  // The staged path must fit as well; a name that leaves no room for it is refused like a name
  // that does not fit at all.
  std::string localPath;
  std::string stagedPath;
  if (!cache.FinalPath(fileName, localPath) || !cache.StagedPath(fileName, stagedPath)) {
    return Refused(entry, "the local path does not fit 259 bytes");
  }
  if (cache.IsSettled(fileName, localPath)) return true;

  diag::FetchStarting(requestUrl, fileName);
  ProxyUse proxy;
  const Status fetched = Fetch(cache, routes, pool, requestUrl, fileName, localPath, proxy);
  if (fetched != kOk) {
    diag::DownloadFailed(requestUrl, fileName, fetched, proxy.name, proxy.status,
                         proxy.unusable ? &*proxy.unusable : nullptr);
  }
  return fetched == kOk;
}

// The file-system key of the name SettleEntry caches an entry under: two entries that would write
// the same file are never fetched at once.
std::string NameKeyOf(const std::string& entry) {
  return platform::FileNameKey(FileNameOf(RequestUrl(entry)));
}

}  // namespace

bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache) {
  // Read once, so that every entry of one pass takes the same route. The script, when there is
  // one, is looked for and fetched only once a fetch needs a route.
  const platform::AutoProxySettings automatic = platform::ReadAutoProxySettings();
  platform::ProxyScript script(automatic);
  const platform::SystemProxySettings fixed = platform::ReadSystemProxySettings();
  PassRoutes routes(
      fixed, automatic,
      [&script](const std::string& url, const std::string& host) { return script.Ask(url, host); },
      [&fixed](const ScriptNotice& notice) { diag::ScriptFailed(notice, fixed); });
  diag::RoutesChosen(fixed, automatic);
  cache.OnLost(&diag::CommitFailed);
  bool ok = false;
  {
    // The pass's kept https connections, at most one idle per fetch in flight; every one is
    // closed when the fetches are over, before the commit.
    ConnectionPool pool(kFetchesInFlight);
    ok = FetchScheduler::Run(
        list.size(), cache, [&](std::size_t index) { return NameKeyOf(list[index]); },
        [&](std::size_t index) { return SettleEntry(cache, routes, pool, list[index]); });
  }
  // Files fetched before a failing entry, and by the fetches still in flight then, stay cached;
  // so does every other file of a batch in which one file could not take its name.
  const bool committed = cache.Commit();
  // Kept data serves only names the list still holds, and none once every listed file is in
  // place: whatever a pass ends with, staging never grows beyond one list's worth.
  std::vector<std::string> listed;
  if (!ok || !committed) {
    listed.reserve(list.size());
    for (const std::string& entry : list) listed.push_back(FileNameOf(RequestUrl(entry)));
  }
  cache.PruneKeptParts(listed);
  return ok && committed;
}

}  // namespace rz
