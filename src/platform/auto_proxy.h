// Automatic proxy configuration: "Automatically detect settings" (WPAD) and "Use setup script" in
// the current user's Internet Settings on Windows, and the means to ask such a script which way a
// URL goes. Judging the answer is download/'s. Linux reads no setup script: there the proxy
// variables (platform/system_proxy.h) are all there is, and every setting here is off.
#pragma once

#include <memory>
#include <string>

namespace rz::platform {

struct AutoProxySettings {
  bool detect = false;      // look for a setup script on the network
  std::string scriptUrl;    // the setup script's address; empty when none is named
  bool keepAnswers = true;  // one answer per host and scheme serves the rest of the call
};

// Windows: the per-connection settings as WinHTTP reads them
// (WinHttpGetIEProxyConfigForCurrentUser), and EnableAutoproxyResultCache = 0 turning keepAnswers
// off, as it does for WinINet.
AutoProxySettings ReadAutoProxySettings();

struct ScriptReply {
  enum class Kind {
    kAnswer,    // `text` is the script's answer, "PROXY a:3128; DIRECT"
    kNoScript,  // no script can be had in this call; `text` says why
    kNoAnswer,  // the script gave no answer for this URL; `text` says why
  };
  Kind kind = Kind::kNoScript;
  std::string text;
  std::string source;  // kAnswer: the script that answered, "setup script http://h/p.pac"
};

// One call's automatic configuration. Detection runs at most once and a script is fetched at most
// once, on the first Ask; when no script can be had, every later Ask says so at once. Ask may be
// called from several threads; each question waits for the one before it.
class ProxyScript {
 public:
  explicit ProxyScript(const AutoProxySettings& settings);
  ~ProxyScript();
  ProxyScript(const ProxyScript&) = delete;
  ProxyScript& operator=(const ProxyScript&) = delete;

  // What the script says for `url` (absolute, without user-info), whose host is `host`.
  ScriptReply Ask(const std::string& url, const std::string& host);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace rz::platform
