// The library's own lines in the platform's debug output: one per failure, naming the stage, what
// it concerned, the status and its meaning and the platform's reason; one per milestone (a fetch
// starts, a fetch resumes, the call ends). Nothing is written per chunk beyond the receiver's
// progress line, and on Linux nothing at all unless RAZARA_DEBUG is set.
//
// A URL is shown without its user-info, its control characters as %XX. Every line starts with
// "RazaRa: ", so that a reader can tell them from the progress lines:
//   RazaRa: downloads go direct (no proxy set)
//   RazaRa: fetch http://h/a.mp4 -> a.mp4
//   RazaRa: fetch http://h/a.mp4 -> a.mp4 resumed from byte 4096
//   RazaRa: setup script http://h/p.pac cannot be had: the server answered 404; downloads go
//           direct (no proxy set)                                           [one line]
//   RazaRa: route http://h/a.mp4 through proxy 10.0.0.1:3128 failed: -1004 (connection failed;
//           errno 111: Connection refused); trying the next                 [one line]
//   RazaRa: redirect 301 http://h/a.mp4 -> https://cdn.h/a.mp4
//   RazaRa: download https://h/a.mp4 -> a.mp4 failed: -1031 (TLS certificate not trusted;
//           OpenSSL verify error 20: unable to get local issuer certificate)   [one line]
//   RazaRa: download http://h/a.mp4 -> a.mp4 failed: -808 (server answered 404)
//   RazaRa: download http://127.0.0.1:1/a.mp4 -> a.mp4 failed: -1004 (connection failed;
//           errno 111: Connection refused)                               [one line]
//   RazaRa: download http://h/a.mp4 -> a.mp4 failed: -809 (server refused the response;
//           through proxy 10.0.0.1:3128, which answered 407)                [one line]
//   RazaRa: download http://h/a.mp4 -> a.mp4 failed: -815 (proxy setting cannot be used;
//           http_proxy: unsupported scheme socks5)                       [one line]
//   RazaRa: download http://h/a%0D%0AX:y/b.mp4 failed: the URL holds a control character (0x0D
//           at byte 10); nothing was sent                                   [one line]
//   RazaRa: query http://h/AdService.asmx failed: exchange failed (curl: ...)
//   RazaRa: commit /opt/host/Tavrin/RazaRa/a.mp4 failed: cannot take its name (errno 16:
//           Device or resource busy)                                 [one line]
//   RazaRa: save /opt/host/Tavrin/RazaRa/FileList.xml failed: cannot be written (errno 28: ...)
//   RazaRa: prune /opt/host/Tavrin/RazaRa/old.mp4 removed (52428800 bytes)
//   RazaRa: prune C:\Host\Tavrin\RazaRa\shown.mp4 failed: cannot be removed (Win32 error 32:
//           The process cannot access the file ...)                        [one line]
//   RazaRa: prune total: 1 file removed, 52428800 bytes freed; 1 file left
//   RazaRa: result 2 (a listed file could not be downloaded)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cache/unlisted_files.h"
#include "download/pass_routes.h"
#include "download/proxy_handshake.h"
#include "download/route.h"
#include "download/status_codes.h"
#include "platform/auto_proxy.h"
#include "platform/system_proxy.h"

namespace rz::diag {

// The prefix of every line; a reader tells milestone and failure lines from progress by it.
inline constexpr std::string_view kLinePrefix = "RazaRa: ";

// A fetch of `url` into the cache file `name` begins. Forgets any platform reason left over.
void FetchStarting(std::string_view url, std::string_view name);
// The fetch goes on from `offset` bytes already in the cache.
void FetchResumed(std::string_view url, std::string_view name, std::int64_t offset);

// Once per download pass: how downloads reach their servers, by the fixed settings and, when it is
// on, the automatic configuration.
void RoutesChosen(const platform::SystemProxySettings& fixed,
                  const platform::AutoProxySettings& automatic);
// Once per pass for each kind at most: what the automatic configuration could not do and where
// downloads go instead by the `fixed` settings, e.g. "setup script http://h/p.pac cannot be had:
// the server answered 404; downloads go direct (no proxy set)".
void ScriptFailed(const ScriptNotice& notice, const platform::SystemProxySettings& fixed);
// A request for `url` could not connect through `via` ("proxy h:3128", "direct"), and the next of
// the script's routes is tried.
void RouteFailed(std::string_view url, std::string_view via, Status status);
// A request for the fetch was answered with redirect `status` from `from` to `to`.
void Redirected(int status, std::string_view from, std::string_view to);

// The fetch failed with an engine status (a code of the table, or a platform code passed on).
// Through a proxy, `proxy` names it ("host:port") and `proxyStatus` is the HTTP status it
// answered with, 0 when it answered none. `unusable`, when set, says which proxy setting (or
// script's entry) could not be used, and why. `auth`, when set, says what the proxy's 407 asked
// for and why the request did not get through: "which answered 407 asking for NTLM, Basic; it
// refused the NTLM credentials".
void DownloadFailed(std::string_view url, std::string_view name, Status status,
                    std::string_view proxy = {}, int proxyStatus = 0,
                    const Unusable* unusable = nullptr, const AuthFailure* auth = nullptr);

// An entry failed before any fetch: `entry` is the list entry as given, `why` says what is wrong.
void EntryRefused(std::string_view entry, std::string_view why);
// A fetched file did not take its name at `path` (the cache folder's, for a whole batch).
void CommitFailed(const std::string& path, const std::string& why);

void QueryFailed(std::string_view serviceUrl, std::string_view why);
void SaveFailed(std::string_view path, std::string_view why);

// What the removal of unlisted files in the cache folder `dir` did: one line per file removed,
// with its size, or left, with the system's reason; one for a folder that could not be read or
// flushed; and a total.
void Pruned(const std::string& dir, const PruneOutcome& outcome);

// An exception ended `stage` ("query", "download", "save" or "prune"); `what` is its own text.
void StageThrew(std::string_view stage, std::string_view what);

// The words of some of those lines, held to the letter by their tests.
//
// What the fixed settings make of downloads: "direct (no proxy set)", "http through proxy
// 10.0.0.1:3128 (http_proxy); direct for localhost,.lan (no_proxy)" or "https nowhere:
// https_proxy cannot be used (unsupported scheme https)".
std::string DescribeRoutes(const platform::SystemProxySettings& fixed);
// The same after the automatic configuration, when it is on: "as setup script http://h/p.pac
// answers, else direct (no proxy set)".
std::string DescribeRoutes(const platform::SystemProxySettings& fixed,
                           const platform::AutoProxySettings& automatic);
// Why a route goes nowhere: "http_proxy: unsupported scheme socks5", or "setup script
// http://h/p.pac answered \"SOCKS h:1080\", which downloads cannot use (a socks proxy)".
std::string DescribeUnusable(const Unusable& unusable);
// ScriptFailed's line without its prefix.
std::string DescribeScriptNotice(const ScriptNotice& notice,
                                 const platform::SystemProxySettings& fixed);

// A call begins: forgets any platform reason an earlier call left on this thread. No line.
void CallStarting();
// The call returns `result`.
void CallEnded(int result);

}  // namespace rz::diag
