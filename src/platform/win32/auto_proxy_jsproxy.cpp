// Where the system has no proxy resolver of its own: the script, fetched once (script_fetch.cpp),
// is run by jsproxy.dll, which hands back its answer as the script wrote it (every entry, SOCKS
// ones included).
//
// jsproxy holds one script for the whole process, and each call that asks a script has its own
// worker thread, so two calls at once reach it from two threads. The engine's lock is the only
// thing between them; it serialises no call's questions, which its worker already runs one at a
// time. Each question loads its own script again when another call's was loaded since.
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/win32/last_error.h"
#include "platform/win32/proxy_script_engines.h"
#include "platform/win32/system_libraries.h"

namespace rz::platform::win32 {
namespace {

// jsproxy's one script, and whose it is.
std::mutex& EngineMutex() {
  static std::mutex mutex;
  return mutex;
}
const ScriptEngine* loadedEngine = nullptr;

void UnloadLocked() {
  const auto unload = JsProxy().InternetDeInitializeAutoProxyDll;
  if (unload != nullptr) unload(nullptr, 0);
  loadedEngine = nullptr;
}

}  // namespace

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
  const auto load = JsProxy().InternetInitializeAutoProxyDll;
  if (load == nullptr) {
    why = "jsproxy.dll, which runs setup scripts, is not available";
    return false;
  }
  if (loadedEngine != nullptr) UnloadLocked();
  ProxyScriptBuffer script{};
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
  const auto run = JsProxy().InternetGetProxyInfo;
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
