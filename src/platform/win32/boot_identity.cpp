// The boot identity on Windows: a random id kept in a volatile registry key of our own. Windows
// never writes a volatile key to disk, so it is gone after every restart and power cut whatever
// the clock says (a boot time read from the clock is not: a machine whose clock resets at power-on
// would get the same one after a crash, and unsynced bytes would be trusted). The key lives in the
// user's hive, so a log-off also ends it: that only costs bytes that were never synced.
#include "platform/boot_identity.h"

#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>

#include <cstdint>
#include <cstdio>

namespace rz::platform {
namespace {

constexpr wchar_t kParentPath[] = L"Software\\RovireZevaDe";
constexpr wchar_t kKeyPath[] = L"Software\\RovireZevaDe\\Boot";
constexpr wchar_t kValueName[] = L"Id";
constexpr DWORD kIdBytes = 16;

// An open registry key, closed on every path.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The parent key is made volatile too when we are the first to make it, so nothing of ours stays
// in the registry across a restart.
bool OpenVolatile(HKEY parent, const wchar_t* path, Key& key, DWORD& disposition) {
  return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_VOLATILE,
                         KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.out(),
                         &disposition) == ERROR_SUCCESS;
}

}  // namespace

std::string BootIdentity() {
  Key parent;
  Key key;
  DWORD disposition = 0;
  if (!OpenVolatile(HKEY_CURRENT_USER, kParentPath, parent, disposition) ||
      !OpenVolatile(HKEY_CURRENT_USER, kKeyPath, key, disposition)) {
    return {};
  }
  unsigned char id[kIdBytes] = {};
  if (disposition == REG_CREATED_NEW_KEY) {
    // The first call since the key vanished makes the id; a call that finds the key before the
    // value is set reads nothing and trusts only synced bytes.
    if (RtlGenRandom(id, kIdBytes) == FALSE ||
        RegSetValueExW(key.get(), kValueName, 0, REG_BINARY, id, kIdBytes) != ERROR_SUCCESS) {
      return {};
    }
  } else {
    DWORD type = 0;
    DWORD size = kIdBytes;
    if (RegQueryValueExW(key.get(), kValueName, nullptr, &type, id, &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size != kIdBytes) {
      return {};
    }
  }
  std::string text = "boot-";
  for (const unsigned char byte : id) {
    char hex[3] = {};
    std::snprintf(hex, sizeof hex, "%02x", byte);
    text += hex;
  }
  return text;
}

}  // namespace rz::platform
