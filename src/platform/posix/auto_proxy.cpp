// Linux has no automatic configuration to read: a PAC file is a browser's, and the proxy
// variables are what every other program here follows.
#include "platform/auto_proxy.h"

namespace rz::platform {

struct ProxyScript::State {};

AutoProxySettings ReadAutoProxySettings() { return AutoProxySettings(); }

ProxyScript::ProxyScript(const AutoProxySettings&) {}
ProxyScript::~ProxyScript() = default;

ScriptReply ProxyScript::Ask(const std::string&, const std::string&) {
  ScriptReply reply;
  reply.text = "no setup script is read on this system";
  return reply;
}

}  // namespace rz::platform
