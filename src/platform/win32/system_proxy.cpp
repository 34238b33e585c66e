// The current user's Internet Settings, read from the registry where the Internet Options dialog
// writes them: ProxyEnable, ProxyServer ("host:port", or per scheme "http=host:port;https=...")
// and ProxyOverride. The values are read directly rather than through WinHTTP, whose reader takes
// them from a binary blob that not every system keeps in step with them.
#include <windows.h>

#include <string>

#include "platform/system_proxy.h"

namespace rz::platform {
namespace {

constexpr char kKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr DWORD kMaxValueBytes = 4096;

// An open registry key, closed on every path.
class Key {
 public:
  Key() { opened_ = ::RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key_) == 0; }
  ~Key() {
    if (opened_) ::RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  bool Number(const char* name, DWORD& value) const {
    DWORD type = 0;
    DWORD size = sizeof value;
    return opened_ &&
           ::RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
               0 &&
           type == REG_DWORD;
  }

  std::string Text(const char* name) const {
    char buffer[kMaxValueBytes + 1] = {};
    DWORD type = 0;
    DWORD size = kMaxValueBytes;
    if (!opened_ ||
        ::RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            0 ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxValueBytes) {
      return std::string();
    }
    return std::string(buffer);  // the buffer ends in a NUL whatever the value held
  }

 private:
  HKEY key_ = nullptr;
  bool opened_ = false;
};

}  // namespace

SystemProxySettings ReadSystemProxySettings() {
  SystemProxySettings settings;
  settings.overrideList = true;
  settings.defaultPort = 80;
  const Key key;
  DWORD enabled = 0;
  if (!key.Number("ProxyEnable", enabled) || enabled == 0) return settings;
  const std::string server = key.Text("ProxyServer");
  settings.forHttp = ProxyServerFor(server, "http");
  settings.forHttps = ProxyServerFor(server, "https");
  settings.bypass = key.Text("ProxyOverride");
  settings.httpSource = settings.httpsSource = "Internet Settings ProxyServer";
  settings.bypassSource = "Internet Settings ProxyOverride";
  return settings;
}

}  // namespace rz::platform
