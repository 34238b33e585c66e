// The engines that answer a setup script's questions on Windows, one file each:
//   auto_proxy_winhttp.cpp  WinHTTP: detection, and the system's own resolver (Windows 8 and
//                           later), which runs the script outside this process and keeps it
//                           between calls;
//   script_fetch.cpp        where that resolver is missing (Windows 7, Wine): the script's fetch,
//                           once, with WinINet;
//   auto_proxy_jsproxy.cpp  and its run in jsproxy.dll, which gives its raw answer.
// auto_proxy.cpp decides between them and keeps the call's state; com_worker.cpp runs them.
#pragma once

#include <windows.h>

#include <string>

namespace rz::platform::win32 {

// WinHttpDetectAutoProxyConfigUrl over DHCP and DNS: the address of the script found, or empty
// with `why` saying what happened.
std::string DetectScriptUrl(std::string& why);

// The system's proxy resolver. One question at a time.
class SystemResolver {
 public:
  SystemResolver();
  ~SystemResolver();
  SystemResolver(const SystemResolver&) = delete;
  SystemResolver& operator=(const SystemResolver&) = delete;

  // Whether this system has one that works.
  bool available() const { return session_ != nullptr; }
  // The answer for `url` in a script's own words ("PROXY a:3128; SOCKS b:1080; DIRECT"), from a
  // detected script or the one at `scriptUrl`: 0, or WinHTTP's error.
  DWORD Ask(const std::string& url, bool detect, const std::string& scriptUrl, std::string& answer);

 private:
  void* session_ = nullptr;
};

// A script's text, fetched once with WinINet, direct (never through a proxy), http and https only,
// within a budget of 30 s for the whole fetch and following at most 10 redirects, never one from
// https to http; false with `why`.
bool FetchScript(const std::string& url, std::string& text, std::string& why);

// A script run by jsproxy.dll. jsproxy holds one script for the whole process, under one lock, so
// each question loads this one again when another was loaded since.
class ScriptEngine {
 public:
  ScriptEngine() = default;
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  bool Load(std::string text, std::string& why);
  // The script's answer for `url`; false with `why` when it gives none.
  bool Run(const std::string& url, const std::string& host, std::string& answer, std::string& why);

 private:
  bool LoadedLocked(std::string& why);
  std::string text_;
};

}  // namespace rz::platform::win32
