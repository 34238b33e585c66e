// The pass that fetches every listed ad file missing from the cache folder, several at once.
#include "entry/download_pass.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/cache_paths.h"
#include "download/ascii_text.h"
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

// The entry as a request URL: backslashes become slashes, and "http://" goes in front unless the
// text starts with "http://" or "https://" in any case, or holds "http://" somewhere.
std::string RequestUrl(const std::string& entry) {
  std::string url = entry;
  std::string scheme;
  for (char& c : url) {
    if (c == '\\') c = '/';
    if (scheme.size() < 8) scheme.push_back(AsciiLower(c));
  }
  if (scheme.rfind("http://", 0) != 0 && scheme != "https://" &&
      url.find("http://") == std::string::npos) {
    url.insert(0, "http://");
  }
  return url;
}

// One list entry, worked out once for the pass: the URL it is asked from and the name its file
// is cached under, the text after the URL's last '/'.
struct Entry {
  explicit Entry(const std::string& listed)
      : text(listed),
        requestUrl(RequestUrl(listed)),
        fileName(requestUrl.substr(requestUrl.rfind('/') + 1)) {}
  const std::string& text;
  std::string requestUrl;
  std::string fileName;
};

// One failure line for an entry that fails before any fetch, and the pass's false.
bool Refused(const std::string& entry, std::string_view why) {
  diag::EntryRefused(entry, why);
  return false;
}

// Settles one entry: true when its file is present, or fetched and staged for the pass's commit.
bool SettleEntry(const FetchPass& pass, const Entry& listed) {
  const std::string& entry = listed.text;
  const std::string& requestUrl = listed.requestUrl;
  CacheFolder& cache = pass.cache;

  WireUrl parts;
  const Status taken = TakeApart(requestUrl, parts);
  // Where the control character lies is looked for only to say so.
  const std::size_t at = taken == kUnsafeUrl ? ControlCharacterAt(entry) : std::string::npos;
  if (at < entry.size()) {
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
  const std::string& fileName = listed.fileName;
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
  const FetchOutcome fetched = Fetch(pass, {requestUrl, fileName, localPath});
  if (fetched.status != kOk) {
    const ProxyUse& proxy = fetched.proxy;
    diag::DownloadFailed(requestUrl, fileName, fetched.status, proxy.name, proxy.status,
                         proxy.unusable ? &*proxy.unusable : nullptr,
                         proxy.auth ? &*proxy.auth : nullptr);
  }
  return fetched.status == kOk;
}

}  // namespace

std::string CachedNameOf(const std::string& entry) { return Entry(entry).fileName; }

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
  std::vector<Entry> entries(list.begin(), list.end());
  bool ok = false;
  {
    // The pass's kept https connections, at most one idle per fetch in flight; every one is
    // closed when the fetches are over, before the commit.
    ConnectionPool pool(kFetchesInFlight);
    const FetchPass pass{cache, routes, pool};
    // Two entries that would write the same file, by the file system's key of their names, are
    // never fetched at once.
    ok = FetchScheduler::Run(
        entries.size(), cache,
        [&](std::size_t index) { return platform::FileNameKey(entries[index].fileName); },
        [&](std::size_t index) { return SettleEntry(pass, entries[index]); });
  }
  // Files fetched before a failing entry, and by the fetches still in flight then, stay cached;
  // so does every other file of a batch in which one file could not take its name.
  const bool committed = cache.Commit();
  // Kept data serves only names the list still holds, and none once every listed file is in
  // place: whatever a pass ends with, staging never grows beyond one list's worth.
  std::vector<std::string> listed;
  if (!ok || !committed) {
    listed.reserve(entries.size());
    for (const Entry& entry : entries) listed.push_back(entry.fileName);
  }
  cache.PruneKeptParts(listed);
  return ok && committed;
}

}  // namespace rz
