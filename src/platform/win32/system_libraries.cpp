#include "platform/win32/system_libraries.h"

#include <array>
#include <string>

namespace rz::platform::win32 {
namespace {

// `file` from the system folder, by its full path; null when it cannot be loaded. Never freed.
HMODULE LoadSystemLibrary(const wchar_t* file) {
  std::array<wchar_t, MAX_PATH> folder{};
  const UINT length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
  if (length == 0 || length >= folder.size()) return nullptr;
  return ::LoadLibraryW((std::wstring(folder.data(), length) + L"\\" + file).c_str());
}

// `pointer` set to the function `name` of `module`, as the type it has; null when either is
// missing.
template <typename FunctionPointer>
void Find(HMODULE module, const char* name, FunctionPointer& pointer) {
  const FARPROC address = module == nullptr ? nullptr : ::GetProcAddress(module, name);
  pointer = reinterpret_cast<FunctionPointer>(reinterpret_cast<void (*)()>(address));
}

WinHttpFunctions LoadWinHttp() {
  const HMODULE module = LoadSystemLibrary(L"winhttp.dll");
  WinHttpFunctions f;
  Find(module, "WinHttpCloseHandle", f.WinHttpCloseHandle);
  Find(module, "WinHttpGetIEProxyConfigForCurrentUser", f.WinHttpGetIEProxyConfigForCurrentUser);
  Find(module, "WinHttpDetectAutoProxyConfigUrl", f.WinHttpDetectAutoProxyConfigUrl);
  Find(module, "WinHttpOpen", f.WinHttpOpen);
  Find(module, "WinHttpSetStatusCallback", f.WinHttpSetStatusCallback);
  Find(module, "WinHttpSetTimeouts", f.WinHttpSetTimeouts);
  Find(module, "WinHttpCreateProxyResolver", f.WinHttpCreateProxyResolver);
  Find(module, "WinHttpGetProxyForUrlEx", f.WinHttpGetProxyForUrlEx);
  Find(module, "WinHttpGetProxyResult", f.WinHttpGetProxyResult);
  Find(module, "WinHttpFreeProxyResult", f.WinHttpFreeProxyResult);
  return f;
}

JsProxyFunctions LoadJsProxy() {
  const HMODULE module = LoadSystemLibrary(L"jsproxy.dll");
  JsProxyFunctions f;
  Find(module, "InternetInitializeAutoProxyDll", f.InternetInitializeAutoProxyDll);
  Find(module, "InternetDeInitializeAutoProxyDll", f.InternetDeInitializeAutoProxyDll);
  Find(module, "InternetGetProxyInfo", f.InternetGetProxyInfo);
  return f;
}

}  // namespace

const WinHttpFunctions& WinHttp() {
  static const WinHttpFunctions functions = LoadWinHttp();
  return functions;
}

const JsProxyFunctions& JsProxy() {
  static const JsProxyFunctions functions = LoadJsProxy();
  return functions;
}

}  // namespace rz::platform::win32
