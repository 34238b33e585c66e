// The routes of one download pass. With automatic configuration (a setup script, named or
// detected) each URL goes as the script answers, and the fixed settings serve only where no script
// can be had or it gives no answer, as on Windows; the fixed proxy's exceptions apply to the fixed
// proxy alone. Without it, every URL takes the fixed settings' one route, as before.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "download/route.h"
#include "download/wire_url.h"
#include "platform/auto_proxy.h"
#include "platform/system_proxy.h"

namespace rz {

class PassRoutes {
 public:
  // Asks the call's script about `url`, whose host is `host` (platform::ProxyScript::Ask).
  using AskScript =
      std::function<platform::ScriptReply(const std::string& url, const std::string& host)>;

  PassRoutes(platform::SystemProxySettings fixed, platform::AutoProxySettings automatic,
             AskScript ask);

  // How downloads go, for the pass's first line: "direct (no proxy set)", or "as setup script
  // http://h/p.pac answers, else direct (no proxy set)".
  std::string Describe() const;

  // The routes for a request of `wire`, to be tried in order; never empty. A script's answer serves
  // every later URL of the same scheme, host and port (unless keepAnswers is off), and the script
  // is asked for just that origin, its host in lower case. A proxy that could not be reached in
  // this pass goes after the answer's other routes. The first time in the pass that no script
  // can be had, and the first time the script gives no answer for a URL, `notice` gets a line
  // saying so and where such URLs go instead; otherwise it is cleared.
  std::vector<Route> For(const WireUrl& wire, std::string& notice);

  // `proxy` could not be connected to.
  void Unreachable(const ProxyServer& proxy);

 private:
  std::string Shown(std::string text) const;

  const platform::SystemProxySettings fixed_;
  const platform::AutoProxySettings automatic_;
  const AskScript ask_;
  std::mutex mutex_;                                      // guards what follows
  std::condition_variable asked_;                         // an origin's question has ended
  std::set<std::string> asking_;                          // origins whose question is out
  std::map<std::string, platform::ScriptReply> answers_;  // by "scheme://host:port"
  std::set<std::string> unreachable_;                     // ProxyServer::Name()
  bool toldNoScript_ = false;
  bool toldNoAnswer_ = false;
};

}  // namespace rz
