#include "entry/diagnostics.h"

#include <string>

#include "download/ascii_text.h"
#include "download/wire_url.h"
#include "entry/results.h"
#include "platform/debug_output.h"
#include "platform/last_error.h"

namespace rz::diag {
namespace {

// A line stays well within what a debug-output reader takes in one message (4092 bytes);
// a longer URL is cut, with "..." to show it.
constexpr std::size_t kMaxLineBytes = 1024;
constexpr std::size_t kMaxPartBytes = 400;

void Append(std::string& line, std::string_view part) {
  if (part.size() <= kMaxPartBytes) {
    line.append(part);
    return;
  }
  line.append(part.substr(0, kMaxPartBytes - 3)).append("...");
}

void Emit(std::string& line) {
  if (line.size() > kMaxLineBytes) line.resize(kMaxLineBytes);
  platform::DebugOutput(line);
}

std::string Concerning(std::string_view stage, std::string_view what) {
  std::string line(kLinePrefix);
  line.append(stage).append(" ");
  Append(line, what);
  return line;
}

std::string Concerning(std::string_view stage, std::string_view url, std::string_view name) {
  std::string line = Concerning(stage, ShownUrl(url));
  line.append(" -> ");
  Append(line, name);
  return line;
}

// " failed: <why> (<platform reason>)", the reason only when one was noted.
void AppendFailure(std::string& line, std::string_view why) {
  line.append(" failed: ");
  Append(line, why);
  const std::string reason = platform::TakeLastError();
  if (!reason.empty()) {
    line.append(" (");
    Append(line, reason);
    line.append(")");
  }
}

// "<stage> <what> failed: <why> (<platform reason>)".
void StageFailed(std::string_view stage, std::string_view what, std::string_view why) {
  std::string line = Concerning(stage, what);
  AppendFailure(line, why);
  Emit(line);
}

std::string ProxyFaultWords(const ProxyCheck& check) {
  switch (check.fault) {
    case ProxyFault::kOk:
      return "usable";
    case ProxyFault::kEmpty:
      return "empty";
    case ProxyFault::kControlCharacter:
      return "it holds a control character";
    case ProxyFault::kUnsupportedScheme:
      return "unsupported scheme " + check.scheme;
    case ProxyFault::kUnreadableScheme:
      return "cannot be parsed";
    case ProxyFault::kUnencodedDelimiter:
      return "cannot be parsed: a '/', '?' or '#' in the user name or password must be "
             "percent-encoded";
    case ProxyFault::kUnencodedAt:
      return "cannot be parsed: an '@' in the user name or password must be percent-encoded";
    case ProxyFault::kLongCredentials:
      return "credentials longer than 16 KiB";
    case ProxyFault::kUnclosedIpv6:
      return "cannot be parsed: an IPv6 address without its ']'";
    case ProxyFault::kTextAfterIpv6:
      return "cannot be parsed: text after the IPv6 address";
    case ProxyFault::kNoHost:
      return "no host";
    case ProxyFault::kBadPort:
      return "bad port (not a number from 1 to 65535)";
  }
  return "unknown fault";
}

std::string EntryFaultWords(const Unusable& unusable) {
  switch (unusable.entryFault) {
    case EntryFault::kNone:
    case EntryFault::kProxyAddress:
      return ProxyFaultWords(unusable.proxy);
    case EntryFault::kNotHostAndPort:
      return "not a host and port";
    case EntryFault::kTextAfterDirect:
      return "text after DIRECT";
    case EntryFault::kSocks:
      return "a socks proxy";
    case EntryFault::kTlsProxy:
      return "a proxy spoken to over TLS";
    case EntryFault::kUnknownKeyword:
      return "not DIRECT or PROXY";
  }
  return "unknown fault";
}

const char* ResultMeaning(int result) {
  switch (result) {
    case kRefreshed:
      return "every listed file is present and FileList.xml was saved";
    case kQueryFailed:
      return "the query failed";
    case kDownloadFailed:
      return "a listed file could not be downloaded";
    case kSaveFailed:
      return "FileList.xml could not be saved";
    default:
      return "unknown result";
  }
}

}  // namespace

void FetchStarting(std::string_view url, std::string_view name) {
  platform::ForgetLastError();
  std::string line = Concerning("fetch", url, name);
  Emit(line);
}

void FetchResumed(std::string_view url, std::string_view name, std::int64_t offset) {
  std::string line = Concerning("fetch", url, name);
  line.append(" resumed from byte ").append(std::to_string(offset));
  Emit(line);
}

void RoutesChosen(const platform::SystemProxySettings& fixed,
                  const platform::AutoProxySettings& automatic) {
  std::string line(kLinePrefix);
  line.append("downloads go ");
  Append(line, DescribeRoutes(fixed, automatic));
  Emit(line);
}

void Redirected(int status, std::string_view from, std::string_view to) {
  std::string line = Concerning("redirect", std::to_string(status));
  line.append(" ");
  Append(line, ShownUrl(from));
  line.append(" -> ");
  Append(line, ShownUrl(to));
  Emit(line);
}

namespace {

// " failed: <status> (<meaning>; <platform reason>", the parenthesis left open.
void AppendStatus(std::string& line, Status status) {
  line.append(" failed: ")
      .append(std::to_string(status))
      .append(" (")
      .append(StatusMeaning(status));
  // A positive status is itself the platform's code; otherwise the reason noted where it failed.
  const std::string reason =
      status > 0 ? platform::SocketErrorText(status) : platform::TakeLastError();
  if (status > 0) platform::ForgetLastError();
  if (!reason.empty()) {
    line.append("; ");
    Append(line, reason);
  }
}

}  // namespace

void ScriptFailed(const ScriptNotice& notice, const platform::SystemProxySettings& fixed) {
  std::string line(kLinePrefix);
  Append(line, DescribeScriptNotice(notice, fixed));
  Emit(line);
}

void RouteFailed(std::string_view url, std::string_view via, Status status) {
  std::string line = Concerning("route", ShownUrl(url));
  line.append(via == "direct" ? " " : " through ").append(via);
  AppendStatus(line, status);
  line.append("); trying the next");
  Emit(line);
}

// Why a handshake with a proxy did not get the request through, e.g. "NTLM could not answer: SSPI
// 0x8009030C: The logon attempt failed".
static std::string DescribeAuthFailure(const AuthFailure& failure) {
  const std::string& scheme = failure.scheme;
  switch (failure.fault) {
    case AuthFault::kNone:
    case AuthFault::kNotSpoken:
      break;
    case AuthFault::kNeedsCredentials:
      return "it needs a user and password in the proxy setting on this system";
    case AuthFault::kSystemRefused:
      return scheme + " could not answer" +
             (failure.reason.empty() ? std::string() : ": " + failure.reason);
    case AuthFault::kBadChallenge:
      return "its " + scheme +
             " challenge could not be answered (missing, unreadable or one too many)";
    case AuthFault::kRefusedAfterLast:
      return "it refused the " + scheme + " credentials";
    case AuthFault::kClosedMidway:
      return "it closed the connection within the " + scheme + " handshake";
  }
  return "downloads answer none of these";
}

void DownloadFailed(std::string_view url, std::string_view name, Status status,
                    std::string_view proxy, int proxyStatus, const Unusable* unusable,
                    const AuthFailure* auth) {
  std::string line = Concerning("download", url, name);
  AppendStatus(line, status);
  if (!proxy.empty()) {
    line.append("; through proxy ");
    Append(line, proxy);
    if (proxyStatus != 0) line.append(", which answered ").append(std::to_string(proxyStatus));
    if (auth != nullptr) {
      line.append(" asking for ");
      Append(line, auth->offered);
      line.append("; ");
      Append(line, DescribeAuthFailure(*auth));
    }
  }
  if (unusable != nullptr) {
    line.append("; ");
    Append(line, DescribeUnusable(*unusable));
  }
  line.append(")");
  Emit(line);
}

void EntryRefused(std::string_view entry, std::string_view why) {
  StageFailed("download", ShownUrl(entry), why);
}

void CommitFailed(const std::string& path, const std::string& why) {
  StageFailed("commit", path, why);
}

void QueryFailed(std::string_view serviceUrl, std::string_view why) {
  StageFailed("query", serviceUrl.empty() ? "(no service URL)" : ShownUrl(serviceUrl), why);
}

void SaveFailed(std::string_view path, std::string_view why) { StageFailed("save", path, why); }

namespace {

std::string Files(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

}  // namespace

void Pruned(const std::string& dir, const PruneOutcome& outcome) {
  // A reason noted while listing or flushing belongs to that line alone.
  if (!outcome.listed) StageFailed("prune", dir, "the folder cannot be read to its end");
  std::size_t removed = 0;
  std::size_t left = 0;
  std::int64_t freed = 0;
  for (const UnlistedFile& file : outcome.files) {
    std::string line = Concerning("prune", dir + file.name);
    switch (file.fate) {
      case UnlistedFile::Fate::kRemoved:
        ++removed;
        freed += file.size;
        line.append(" removed (").append(std::to_string(file.size)).append(" bytes)");
        break;
      case UnlistedFile::Fate::kRefused:
        ++left;
        line.append(" failed: cannot be removed (");
        Append(line, platform::SystemErrorText(file.error));
        line.append(")");
        break;
      case UnlistedFile::Fate::kPathTooLong:
        ++left;
        line.append(" failed: its path does not fit 259 bytes");
        break;
    }
    Emit(line);
  }
  if (!outcome.flushed) StageFailed("prune", dir, "the removals cannot be flushed to disk");
  std::string line(kLinePrefix);
  line.append("prune total: ").append(Files(removed)).append(" removed, ");
  line.append(std::to_string(freed)).append(" bytes freed");
  if (left != 0) line.append("; ").append(Files(left)).append(" left");
  Emit(line);
}

void StageThrew(std::string_view stage, std::string_view what) {
  std::string line(kLinePrefix);
  line.append(stage).append(" failed: an exception ended the stage (");
  Append(line, what);
  line.append(")");
  Emit(line);
}

std::string DescribeRoutes(const platform::SystemProxySettings& fixed) {
  std::string line;
  const auto describe = [&](const char* scheme, const std::string& server,
                            const std::string& source) {
    if (server.empty()) return;
    if (!line.empty()) line += "; ";
    ProxyServer proxy;
    const ProxyCheck check = ParseProxyServer(server, fixed.defaultPort, proxy);
    if (check.fault != ProxyFault::kOk) {
      line += std::string(scheme) + " nowhere: " + source + " cannot be used (" +
              ProxyFaultWords(check) + ")";
      return;
    }
    line += std::string(scheme) + " through proxy " + proxy.Name();
    line += (proxy.hasCredentials ? " with credentials" : "") + std::string(" (") + source + ")";
  };
  describe("http", fixed.forHttp, fixed.httpSource);
  describe("https", fixed.forHttps, fixed.httpsSource);
  if (line.empty()) return "direct (no proxy set)";
  if (!Trimmed(fixed.bypass).empty()) {
    line += "; direct for " + fixed.bypass + " (" + fixed.bypassSource + ")";
  }
  return line;
}

std::string DescribeRoutes(const platform::SystemProxySettings& fixed,
                           const platform::AutoProxySettings& automatic) {
  if (!automatic.detect && automatic.scriptUrl.empty()) return DescribeRoutes(fixed);
  std::string script = automatic.detect ? "a detected setup script" : "";
  if (!automatic.scriptUrl.empty()) {
    script +=
        (script.empty() ? "setup script " : ", else setup script ") + ShownUrl(automatic.scriptUrl);
  }
  return "as " + script + " answers, else " + DescribeRoutes(fixed);
}

std::string DescribeUnusable(const Unusable& unusable) {
  if (unusable.entryFault == EntryFault::kNone) {
    return unusable.source + ": " + ProxyFaultWords(unusable.proxy);
  }
  return unusable.source + " answered \"" + unusable.entry + "\", which downloads cannot use (" +
         EntryFaultWords(unusable) + ")";
}

std::string DescribeScriptNotice(const ScriptNotice& notice,
                                 const platform::SystemProxySettings& fixed) {
  if (notice.kind == ScriptNotice::Kind::kNoScript) {
    return notice.why + "; downloads go " + DescribeRoutes(fixed);
  }
  return notice.script + " gave no answer for " + ShownUrl(notice.url) + " (" + notice.why +
         "); such URLs go " + DescribeRoutes(fixed);
}

void CallStarting() { platform::ForgetLastError(); }

void CallEnded(int result) {
  std::string line(kLinePrefix);
  line.append("result ").append(std::to_string(result)).append(" (").append(ResultMeaning(result));
  line.append(")");
  Emit(line);
}

}  // namespace rz::diag
