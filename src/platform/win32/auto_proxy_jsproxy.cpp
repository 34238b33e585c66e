// Where the system has no proxy resolver of its own: the script is fetched once with WinINet and
// run by jsproxy.dll, which hands back its answer as the script wrote it (every entry, SOCKS ones
// included). jsproxy holds one script for the whole process; a mutex guards it, and each question
// loads its own script again when another was loaded since (two calls at once in one process).
#include <windows.h>
#include <wininet.h>

#include <array>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/win32/auto_proxy_parts.h"

namespace rz::platform::win32 {
namespace {

// A script is a few kilobytes; a reply larger than this is not one.
constexpr std::size_t kMaxScriptBytes = 1024 * 1024;
// For connecting, sending and each wait for data, as the download engine's budgets are.
constexpr DWORD kTimeoutMillis = 30000;

// One WinINet handle, closed on every path.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) ::InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

bool StartsWithIgnoreCase(const std::string& text, const char* prefix) {
  const std::size_t length = std::strlen(prefix);
  return text.size() >= length && ::_strnicmp(text.c_str(), prefix, length) == 0;
}

template <typename FunctionPointer>
FunctionPointer JsProxy(const char* name) {
  return As<FunctionPointer>(SystemFunction(L"jsproxy.dll", name));
}

// jsproxy's one script, and whose it is.
std::mutex& EngineMutex() {
  static std::mutex mutex;
  return mutex;
}
const ScriptEngine* loadedEngine = nullptr;

void UnloadLocked() {
  const auto unload =
      JsProxy<pfnInternetDeInitializeAutoProxyDll>("InternetDeInitializeAutoProxyDll");
  if (unload != nullptr) unload(nullptr, 0);
  loadedEngine = nullptr;
}

}  // namespace

bool FetchScript(const std::string& url, std::string& text, std::string& why) {
  if (!StartsWithIgnoreCase(url, "http://") && !StartsWithIgnoreCase(url, "https://")) {
    why = "only http and https setup scripts are fetched";
    return false;
  }
  // Direct: the script says where the proxy is, so it cannot be fetched through one.
  const InternetHandle session(
      ::InternetOpenA("RazaRa", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (session.get() == nullptr) {
    why = SystemErrorText(::GetLastError());
    return false;
  }
  for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD millis = kTimeoutMillis;
    ::InternetSetOptionA(session.get(), option, &millis, sizeof millis);
  }
  const InternetHandle request(
      ::InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0,
                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                             INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTH,
                         0));
  if (request.get() == nullptr) {
    why = SystemErrorText(::GetLastError());
    return false;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr)) {
    why = "the answer has no HTTP status";
    return false;
  }
  if (status != 200) {
    why = "the server answered " + std::to_string(status);
    return false;
  }
  std::array<char, 16384> buffer{};
  std::string received;
  for (;;) {
    DWORD read = 0;
    if (!::InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                            &read)) {
      why = SystemErrorText(::GetLastError());
      return false;
    }
    if (read == 0) break;
    if (received.size() + read > kMaxScriptBytes) {
      why = "larger than 1 MiB";
      return false;
    }
    received.append(buffer.data(), read);
  }
  text.swap(received);
  return true;
}

ScriptEngine::~ScriptEngine() {
  const std::lock_guard<std::mutex> lock(EngineMutex());
  if (loadedEngine == this) UnloadLocked();
}

bool ScriptEngine::Load(std::string text, std::string& why) {
  text_.swap(text);
  const std::lock_guard<std::mutex> lock(EngineMutex());
  return LoadedLocked(why);
}

bool ScriptEngine::LoadedLocked(std::string& why) {
  if (loadedEngine == this) return true;
  const auto load = JsProxy<pfnInternetInitializeAutoProxyDll>("InternetInitializeAutoProxyDll");
  if (load == nullptr) {
    why = "jsproxy.dll, which runs setup scripts, is not available";
    return false;
  }
  if (loadedEngine != nullptr) UnloadLocked();
  AUTO_PROXY_SCRIPT_BUFFER script{};
  script.dwStructSize = sizeof script;
  script.lpszScriptBuffer = text_.data();
  script.dwScriptBufferSize = static_cast<DWORD>(text_.size() + 1);  // with its NUL
  char mime[] = "application/x-ns-proxy-autoconfig";
  if (!load(0, nullptr, mime, nullptr, &script)) {
    why = "jsproxy.dll does not take it (" + SystemErrorText(::GetLastError()) + ")";
    return false;
  }
  loadedEngine = this;
  return true;
}

bool ScriptEngine::Run(const std::string& url, const std::string& host, std::string& answer,
                       std::string& why) {
  const auto run = JsProxy<pfnInternetGetProxyInfo>("InternetGetProxyInfo");
  const std::lock_guard<std::mutex> lock(EngineMutex());
  if (run == nullptr || !LoadedLocked(why)) {
    if (why.empty()) why = "jsproxy.dll, which runs setup scripts, is not available";
    return false;
  }
  std::string hostName = host;
  LPSTR proxy = nullptr;
  DWORD length = 0;
  if (!run(url.c_str(), static_cast<DWORD>(url.size() + 1), hostName.data(),
           static_cast<DWORD>(hostName.size() + 1), &proxy, &length) ||
      proxy == nullptr) {
    const DWORD error = ::GetLastError();
    why = "the script failed or answered no text";
    if (error != ERROR_SUCCESS) why += " (" + SystemErrorText(error) + ")";
    return false;
  }
  answer.assign(proxy, ::strnlen(proxy, length));
  ::GlobalFree(proxy);
  return true;
}

}  // namespace rz::platform::win32
