// The routes of one download pass. With automatic configuration (a setup script, named or
// detected) each URL goes as the script answers, and the fixed settings serve only where no script
// can be had or it gives no answer, as on Windows; the fixed proxy's exceptions apply to the fixed
// proxy alone. Without it, every URL takes the fixed settings' one route, as before.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "download/proxy_challenge.h"
#include "download/route.h"
#include "download/wire_url.h"
#include "platform/auto_proxy.h"
#include "platform/system_proxy.h"

namespace rz {

// What the automatic configuration could not do; the fixed settings serve such URLs instead.
struct ScriptNotice {
  enum class Kind {
    kNoScript,  // no script can be had in this pass
    kNoAnswer,  // the script gave no answer for `url`
  };
  Kind kind = Kind::kNoScript;
  std::string why;     // the platform's reason (ScriptReply::text)
  std::string script;  // kNoAnswer: the script, "setup script http://h/p.pac"
  std::string url;     // kNoAnswer: the URL it was asked about, without user-info
};

class PassRoutes {
 public:
  // Asks the call's script about `url`, whose host is `host` (platform::ProxyScript::Ask).
  using AskScript =
      std::function<platform::ScriptReply(const std::string& url, const std::string& host)>;
  // Told the first time in the pass that no script can be had, and the first time the script
  // gives no answer for a URL; the script's address in it goes without its user-info. It may be
  // called from any fetch's thread, one call at a time or several at once.
  using OnNotice = std::function<void(const ScriptNotice& notice)>;

  PassRoutes(platform::SystemProxySettings fixed, platform::AutoProxySettings automatic,
             AskScript ask, OnNotice notice);

  // The routes for a request of `wire`, to be tried in order; never empty. A script's answer serves
  // every later URL of the same scheme, host and port (unless keepAnswers is off), and the script
  // is asked for just that origin, its host in lower case. A proxy that could not be reached in
  // this pass goes after the answer's other routes. Where no script or no answer can be had, the
  // fixed settings' one route, after the notice when it is the first such.
  std::vector<Route> For(const WireUrl& wire);

  // `proxy` could not be connected to.
  void Unreachable(const ProxyServer& proxy);

  // `proxy` answered 407 with `offer`, which asks for a handshake: later requests through it in
  // this pass begin with one instead of asking without.
  void AsksForHandshake(const ProxyServer& proxy, const ProxyOffer& offer);
  // What `proxy` asked for when it did in this pass.
  std::optional<ProxyOffer> HandshakeOf(const ProxyServer& proxy);

 private:
  std::string Shown(std::string text) const;

  const platform::SystemProxySettings fixed_;
  const platform::AutoProxySettings automatic_;
  const AskScript ask_;
  const OnNotice notice_;
  std::mutex mutex_;                                      // guards what follows
  std::condition_variable asked_;                         // an origin's question has ended
  std::set<std::string> asking_;                          // origins whose question is out
  std::map<std::string, platform::ScriptReply> answers_;  // by "scheme://host:port"
  std::set<std::string> unreachable_;                     // ProxyServer::Name()
  std::map<std::string, ProxyOffer> handshakes_;          // by ProxyServer::Name()
  bool toldNoScript_ = false;
  bool toldNoAnswer_ = false;
};

}  // namespace rz
