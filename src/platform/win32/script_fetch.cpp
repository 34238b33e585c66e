// Fetching a setup script where the system has no resolver of its own, with WinINet and direct:
// the script says where the proxy is, so it cannot be fetched through one.
//
// A script server that accepts and never answers, or trickles, must not hold the call, and every
// other question of the call waits behind the fetch on the call's worker. So one budget bounds the
// whole fetch, redirects included, and every wait is limited to what is left of it. The limits go
// on each request handle: WinINet under Wine ignores limits set on the session for a request's own
// waits.
//
// Redirects are followed here rather than by WinINet, which would follow one from https to http:
// anyone on the path of the plain request could then write the script and choose the proxy of
// every download. A hop obeys the downloads' rules.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/url_crack.h"
#include "platform/win32/last_error.h"
#include "platform/win32/proxy_script_engines.h"

namespace rz::platform::win32 {
namespace {

// A script is a few kilobytes; a reply larger than this is not one.
constexpr std::size_t kMaxScriptBytes = 1024 * 1024;
// The download engine's budget for connecting, sending and each wait for data. It bounds the
// whole fetch too, since a script that takes longer than that to arrive is not worth waiting for.
constexpr DWORD kBudgetMillis = 30000;
constexpr int kMaxRedirects = 10;

using Clock = std::chrono::steady_clock;

// One WinINet handle, closed on every path.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ == nullptr) return;
    // No completion of an abandoned request may reach a callback after the fetch.
    ::InternetSetStatusCallbackA(handle_, nullptr);
    ::InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

// What one request shares with WinINet's callback: the session is asynchronous, since a call
// blocked in WinINet cannot be ended from outside (under Wine, closing the handle from another
// thread leaves a blocked HttpSendRequest blocked), while a wait for its completion can.
struct Pending {
  HANDLE done = nullptr;  // auto-reset, set by each completion
  DWORD error = ERROR_SUCCESS;
  DWORD available = 0;
  DWORD read = 0;
  std::array<char, 16384> buffer{};
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  if (status != INTERNET_STATUS_REQUEST_COMPLETE || context == 0) return;
  auto* pending = reinterpret_cast<Pending*>(context);
  pending->error =
      info == nullptr ? ERROR_SUCCESS : static_cast<INTERNET_ASYNC_RESULT*>(info)->dwError;
  ::SetEvent(pending->done);
}

// A request handle and its Pending. When a wait ran out, WinINet may still complete the call
// later, so the callback is taken off the handle and the Pending is left to it, never freed under
// it: a few kilobytes, at most once a call.
class Request {
 public:
  Request() : pending_(new Pending) {
    pending_->done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  ~Request() {
    if (handle_ != nullptr) {
      ::InternetSetStatusCallbackA(handle_, nullptr);
      ::InternetCloseHandle(handle_);
    }
    if (abandoned_) return;
    if (pending_->done != nullptr) ::CloseHandle(pending_->done);
    delete pending_;
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  bool Open(HINTERNET connection, const std::string& object, DWORD flags) {
    if (pending_->done == nullptr) return false;
    handle_ = ::HttpOpenRequestA(connection, "GET", object.c_str(), nullptr, nullptr, nullptr,
                                 flags, reinterpret_cast<DWORD_PTR>(pending_));
    return handle_ != nullptr;
  }
  HINTERNET get() const { return handle_; }
  Pending& pending() { return *pending_; }
  void Abandon() { abandoned_ = true; }

 private:
  Pending* pending_;
  HINTERNET handle_ = nullptr;
  bool abandoned_ = false;
};

const char* const kOverBudget = "no script within the 30 s budget";

bool StartsWithIgnoreCase(const std::string& text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  return text.size() >= length && ::_strnicmp(text.c_str(), prefix, length) == 0;
}

// What is left before `deadline`, in milliseconds; 0 when nothing is.
DWORD Left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, kBudgetMillis));
}

// Whether the WinINet call that answered `ok` ended well, waiting within the budget for it to
// complete where it went on in the background. False with `why`; a wait that ran out abandons the
// request to WinINet.
bool Completed(BOOL ok, Request& request, Clock::time_point deadline, std::string& why) {
  if (ok) return true;
  DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    const DWORD left = Left(deadline);
    if (left == 0 || ::WaitForSingleObject(request.pending().done, left) != WAIT_OBJECT_0) {
      request.Abandon();
      why = kOverBudget;
      return false;
    }
    error = request.pending().error;
    if (error == ERROR_SUCCESS) return true;
  }
  why = error == ERROR_INTERNET_TIMEOUT ? kOverBudget : SystemErrorText(error);
  return false;
}

// One script address taken apart for WinINet.
struct ScriptTarget {
  bool tls = false;
  std::string host;  // without an IPv6 literal's brackets
  INTERNET_PORT port = 0;
  std::string user;
  std::string password;
  std::string object;  // path and query, never a fragment
  std::string shown;   // the address without its user-info, for a line
};

bool TakeApart(const std::string& url, ScriptTarget& out, std::string& why) {
  const bool tls = StartsWithIgnoreCase(url, "https://");
  CrackedUrl parts;
  if (!tls && !StartsWithIgnoreCase(url, "http://")) {
    why = "only http and https setup scripts are fetched";
    return false;
  }
  if (!CrackUrl(url, parts) || parts.host.empty()) {
    why = "the address cannot be taken apart";
    return false;
  }
  const std::size_t authority = url.find("://") + 3;
  out.tls = tls;
  out.host = parts.host;
  if (out.host.front() == '[' && out.host.back() == ']') {
    out.host = out.host.substr(1, out.host.size() - 2);
  }
  out.port = parts.port != 0 ? static_cast<INTERNET_PORT>(parts.port)
             : tls           ? INTERNET_DEFAULT_HTTPS_PORT
                             : INTERNET_DEFAULT_HTTP_PORT;
  if (parts.hostOffset > authority) {
    const std::string userInfo = url.substr(authority, parts.hostOffset - authority - 1);
    const std::size_t colon = userInfo.find(':');
    out.user = userInfo.substr(0, colon);
    out.password = colon == std::string::npos ? std::string() : userInfo.substr(colon + 1);
  }
  out.object = url.substr(parts.pathOffset);
  out.object = out.object.substr(0, out.object.find('#'));
  if (out.object.empty() || out.object.front() != '/') out.object.insert(0, "/");
  out.shown = url.substr(0, authority) +
              url.substr(parts.hostOffset, parts.pathOffset - parts.hostOffset) + out.object;
  return true;
}

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// `relative` resolved against `base`, as a browser resolves a Location; empty when it cannot be.
std::string Resolved(const std::string& base, const std::string& relative) {
  std::string combined(base.size() + relative.size() + 64, '\0');
  DWORD length = static_cast<DWORD>(combined.size());
  if (!::InternetCombineUrlA(base.c_str(), relative.c_str(), combined.data(), &length,
                             ICU_NO_ENCODE)) {
    return std::string();
  }
  combined.resize(std::min<std::size_t>(length, combined.size()));
  return combined;
}

enum class Step { kScript, kRedirect, kFailed };

// One request of the fetch: the script in `text`, or a redirect's Location in `location`.
Step Exchange(HINTERNET session, const ScriptTarget& target, Clock::time_point deadline,
              std::string& text, std::string& location, std::string& why) {
  const InternetHandle connection(::InternetConnectA(
      session, target.host.c_str(), target.port,
      target.user.empty() ? nullptr : target.user.c_str(),
      target.user.empty() ? nullptr : target.password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
  Request request;
  if (connection.get() == nullptr ||
      !request.Open(connection.get(), target.object,
                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                        INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTH |
                        INTERNET_FLAG_NO_AUTO_REDIRECT | (target.tls ? INTERNET_FLAG_SECURE : 0))) {
    why = SystemErrorText(::GetLastError());
    return Step::kFailed;
  }
  // Each wait of WinINet's own is limited too, so that a request abandoned at the deadline ends
  // soon after it in the background.
  for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD millis = kBudgetMillis;
    ::InternetSetOptionA(request.get(), option, &millis, sizeof millis);
  }
  if (!Completed(::HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0), request, deadline,
                 why)) {
    return Step::kFailed;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr)) {
    why = "the answer has no HTTP status";
    return Step::kFailed;
  }
  if (IsRedirect(status)) {
    std::array<char, 4096> buffer{};
    size = static_cast<DWORD>(buffer.size());
    if (::HttpQueryInfoA(request.get(), HTTP_QUERY_LOCATION, buffer.data(), &size, nullptr)) {
      location.assign(buffer.data(), std::min<std::size_t>(size, buffer.size()));
      return Step::kRedirect;
    }
    why = "the server answered " + std::to_string(status) + " without a usable Location";
    return Step::kFailed;
  }
  if (status != 200) {
    why = "the server answered " + std::to_string(status);
    return Step::kFailed;
  }
  Pending& pending = request.pending();
  std::string received;
  for (;;) {
    // Only what has arrived is read, so that a trickle cannot hold a read until its buffer fills.
    pending.available = 0;
    if (!Completed(::InternetQueryDataAvailable(request.get(), &pending.available, 0, 0), request,
                   deadline, why)) {
      return Step::kFailed;
    }
    if (Left(deadline) == 0) {
      why = kOverBudget;
      return Step::kFailed;
    }
    if (pending.available == 0) {
      // A completion in the background leaves the count to a second, immediate question.
      if (!::InternetQueryDataAvailable(request.get(), &pending.available, 0, 0)) {
        why = SystemErrorText(::GetLastError());
        return Step::kFailed;
      }
      if (pending.available == 0) break;
    }
    pending.read = 0;
    if (!Completed(::InternetReadFile(
                       request.get(), pending.buffer.data(),
                       std::min(pending.available, static_cast<DWORD>(pending.buffer.size())),
                       &pending.read),
                   request, deadline, why)) {
      return Step::kFailed;
    }
    if (pending.read == 0) break;
    if (received.size() + pending.read > kMaxScriptBytes) {
      why = "larger than 1 MiB";
      return Step::kFailed;
    }
    received.append(pending.buffer.data(), pending.read);
  }
  text.swap(received);
  return Step::kScript;
}

}  // namespace

bool FetchScript(const std::string& url, std::string& text, std::string& why) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBudgetMillis);
  ScriptTarget target;
  if (!TakeApart(url, target, why)) return false;
  const InternetHandle session(
      ::InternetOpenA("RazaRa", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC));
  if (session.get() == nullptr ||
      ::InternetSetStatusCallbackA(session.get(), OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    why = SystemErrorText(::GetLastError());
    return false;
  }
  std::string current = url;
  for (int hops = 0;; ++hops) {
    std::string location;
    const Step step = Exchange(session.get(), target, deadline, text, location, why);
    if (step != Step::kRedirect) return step == Step::kScript;
    if (hops == kMaxRedirects) {
      why = "more than 10 redirects";
      return false;
    }
    const bool controlByte = std::any_of(location.begin(), location.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    const std::string next = controlByte ? std::string() : Resolved(current, location);
    ScriptTarget hop;
    std::string refused;
    if (next.empty()) {
      refused = "a redirect whose Location cannot be followed";
    } else if (!TakeApart(next, hop, refused)) {
      refused = "a redirect (" + refused + ")";
    } else if (target.tls && !hop.tls) {
      refused = "the redirect to " + hop.shown + " (from https to http)";
    }
    if (!refused.empty()) {
      why = "refused " + refused;
      return false;
    }
    current = next;
    target = hop;
  }
}

}  // namespace rz::platform::win32
