// WinHTTP's part of automatic configuration: the settings as WinHTTP reads them (with the
// registry's EnableAutoproxyResultCache beside them), detection, and the system's proxy resolver,
// which runs the script in WinHTTP's own service (never in the host's process), keeps it between
// calls and gives every entry of an answer with its kind. Wine 8 has no such resolver
// (WinHttpCreateProxyResolver answers 12178); its WinHttpGetProxyForUrl keeps only the first proxy
// of an answer and takes SOCKS for none, which would lose the failover and send a SOCKS answer
// direct, so it is not used at all.
#include "platform/auto_proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <exception>
#include <memory>
#include <string>

#include "platform/win32/com_util.h"
#include "platform/win32/last_error.h"
#include "platform/win32/proxy_script_engines.h"
#include "platform/win32/system_libraries.h"

namespace rz::platform::win32 {
namespace {

// The download engine's budget for connecting, sending and each wait for data.
constexpr DWORD kBudgetMillis = 30000;
// One question, detection and the script's fetch included: detection's own waits (DHCP, then
// DNS) come before the fetch's.
constexpr DWORD kWholeQuestionMillis = 60000;
// How long a cancelled question may take to say so.
constexpr DWORD kCancelMillis = 5000;

// A string WinHTTP allocated for the caller, freed with GlobalFree.
class GlobalText {
 public:
  explicit GlobalText(LPWSTR text) : text_(text) {}
  ~GlobalText() {
    if (text_ != nullptr) ::GlobalFree(text_);
  }
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;
  // UTF-8; empty when there is none or it does not convert.
  std::string Utf8() const {
    try {
      return text_ == nullptr ? std::string() : ToUtf8(text_);
    } catch (const std::exception&) {
      return std::string();
    }
  }

 private:
  LPWSTR text_;
};

// One WinHTTP handle, closed on every path.
class Handle {
 public:
  explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }
  HINTERNET* out() { return &handle_; }
  void Close() {
    if (handle_ != nullptr) WinHttp().WinHttpCloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HINTERNET handle_;
};

// Where the resolver's one asynchronous answer lands. The callback touches it before it sets the
// event and never after, so it may go once the event is set.
struct Completion {
  HANDLE done = nullptr;
  DWORD status = 0;
  DWORD error = 0;
};

void CALLBACK OnResolved(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  auto* completion = reinterpret_cast<Completion*>(context);
  if (completion == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR && info != nullptr) {
    completion->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
  }
  completion->status = status;
  ::SetEvent(completion->done);
}

// One entry of the resolver's answer as a script would have written it.
std::string EntryText(const WINHTTP_PROXY_RESULT_ENTRY& entry) {
  if (!entry.fProxy || entry.fBypass) return "DIRECT";
  std::string host;
  try {
    host = entry.pwszProxy == nullptr ? std::string() : ToUtf8(entry.pwszProxy);
  } catch (const std::exception&) {
  }
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const char* kind = entry.ProxyScheme == INTERNET_SCHEME_HTTP    ? "PROXY "
                     : entry.ProxyScheme == INTERNET_SCHEME_HTTPS ? "HTTPS "
                     : entry.ProxyScheme == INTERNET_SCHEME_SOCKS ? "SOCKS "
                                                                  : "UNKNOWN ";
  return kind + host + ":" + std::to_string(entry.ProxyPort);
}

// WinHttpGetIEProxyConfigForCurrentUser: "Automatically detect settings" and the setup script's
// address; false when the settings cannot be read.
bool ReadConnectionSettings(bool& detect, std::string& scriptUrl) {
  const auto read = WinHttp().WinHttpGetIEProxyConfigForCurrentUser;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (read == nullptr || !read(&config)) return false;
  const GlobalText url(config.lpszAutoConfigUrl);
  const GlobalText proxy(config.lpszProxy);
  const GlobalText bypass(config.lpszProxyBypass);
  detect = config.fAutoDetect != FALSE;
  scriptUrl = url.Utf8();
  return true;
}

// EnableAutoproxyResultCache: 0 in either place makes a script answer each URL afresh.
bool KeepAnswers() {
  for (const char* key :
       {"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"}) {
    DWORD value = 1;
    DWORD size = sizeof value;
    if (::RegGetValueA(HKEY_CURRENT_USER, key, "EnableAutoproxyResultCache", RRF_RT_REG_DWORD,
                       nullptr, &value, &size) == ERROR_SUCCESS &&
        value == 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string DetectScriptUrl(std::string& why) {
  const auto detect = WinHttp().WinHttpDetectAutoProxyConfigUrl;
  LPWSTR found = nullptr;
  if (detect == nullptr) {
    why = "automatic detection is not available";
  } else if (!detect(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &found)) {
    const DWORD error = ::GetLastError();
    why = error == ERROR_WINHTTP_AUTODETECTION_FAILED
              ? "automatic detection found no setup script"
              : "automatic detection failed (" + SystemErrorText(error) + ")";
  }
  const std::string url = GlobalText(found).Utf8();
  if (url.empty() && why.empty()) why = "automatic detection found no setup script";
  return url;
}

SystemResolver::SystemResolver() {
  const WinHttpFunctions& winhttp = WinHttp();
  if (winhttp.WinHttpOpen == nullptr || winhttp.WinHttpSetStatusCallback == nullptr ||
      winhttp.WinHttpCreateProxyResolver == nullptr || winhttp.WinHttpGetProxyForUrlEx == nullptr ||
      winhttp.WinHttpGetProxyResult == nullptr || winhttp.WinHttpFreeProxyResult == nullptr) {
    return;
  }
  Handle session(winhttp.WinHttpOpen(L"RazaRa", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (session.get() == nullptr ||
      winhttp.WinHttpSetStatusCallback(
          session.get(), OnResolved,
          WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    return;
  }
  // The script's fetch in the resolver takes the session's limits: the download engine's 30 s for
  // connecting, sending and each wait for data.
  if (winhttp.WinHttpSetTimeouts != nullptr) {
    winhttp.WinHttpSetTimeouts(session.get(), kBudgetMillis, kBudgetMillis, kBudgetMillis,
                               kBudgetMillis);
  }
  // A system that has the functions but not the service behind them (Wine) fails here.
  Handle probe;
  if (winhttp.WinHttpCreateProxyResolver(session.get(), probe.out()) != ERROR_SUCCESS) return;
  session_ = session.get();
  *session.out() = nullptr;
}

SystemResolver::~SystemResolver() { const Handle session(static_cast<HINTERNET>(session_)); }

DWORD SystemResolver::Ask(const std::string& url, bool detect, const std::string& scriptUrl,
                          std::string& answer) {
  const WinHttpFunctions& winhttp = WinHttp();
  Handle resolver;
  DWORD error =
      winhttp.WinHttpCreateProxyResolver(static_cast<HINTERNET>(session_), resolver.out());
  if (error != ERROR_SUCCESS) return error;
  std::wstring wideUrl;
  std::wstring wideScript;
  try {
    wideUrl = FromUtf8(url);
    wideScript = FromUtf8(scriptUrl);
  } catch (const std::exception&) {
    return ERROR_WINHTTP_INVALID_URL;
  }
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!wideScript.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = wideScript.c_str();
  }
  auto completion = std::make_unique<Completion>();
  completion->done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (completion->done == nullptr) return ::GetLastError();
  error = winhttp.WinHttpGetProxyForUrlEx(resolver.get(), wideUrl.c_str(), &options,
                                          reinterpret_cast<DWORD_PTR>(completion.get()));
  if (error != ERROR_IO_PENDING) {
    ::CloseHandle(completion->done);
    return error == ERROR_SUCCESS ? ERROR_WINHTTP_INTERNAL_ERROR : error;
  }
  // The session's limits bound each wait of the script's fetch; this bounds the whole question,
  // detection included. A question past it is cancelled by closing its handle; should the
  // callback still not have come after that, the completion is left to it rather than freed
  // under it.
  if (::WaitForSingleObject(completion->done, kWholeQuestionMillis) != WAIT_OBJECT_0) {
    resolver.Close();
    if (::WaitForSingleObject(completion->done, kCancelMillis) != WAIT_OBJECT_0) {
      completion.release();
      return ERROR_WINHTTP_TIMEOUT;
    }
    ::CloseHandle(completion->done);
    return ERROR_WINHTTP_TIMEOUT;
  }
  ::CloseHandle(completion->done);
  if (completion->status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE) {
    return completion->error != 0 ? completion->error : ERROR_WINHTTP_INTERNAL_ERROR;
  }
  WINHTTP_PROXY_RESULT result{};
  error = winhttp.WinHttpGetProxyResult(resolver.get(), &result);
  if (error != ERROR_SUCCESS) return error;
  answer.clear();
  for (DWORD i = 0; i < result.cEntries && result.pEntries != nullptr; ++i) {
    answer += (i == 0 ? "" : "; ") + EntryText(result.pEntries[i]);
  }
  winhttp.WinHttpFreeProxyResult(&result);
  return ERROR_SUCCESS;
}

}  // namespace rz::platform::win32

namespace rz::platform {

AutoProxySettings ReadAutoProxySettings() {
  AutoProxySettings settings;
  if (!win32::ReadConnectionSettings(settings.detect, settings.scriptUrl)) {
    return AutoProxySettings();
  }
  settings.keepAnswers = win32::KeepAnswers();
  return settings;
}

}  // namespace rz::platform
