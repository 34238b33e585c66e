// System libraries loaded at run time rather than imported: WinHTTP's resolver functions exist
// from Windows 8 on, jsproxy.dll has no import library, and the DLL's imports stay as they were.
// Each library is loaded on first use, from the system folder by its full path (never a copy
// planted beside the host), and kept for the process: its own threads may run on after a call.
// Its functions are looked up once, as typed pointers; a pointer is null when the library or the
// function is missing.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace rz::platform::win32 {

struct WinHttpFunctions {
  decltype(&WinHttpCloseHandle) WinHttpCloseHandle = nullptr;
  decltype(&WinHttpGetIEProxyConfigForCurrentUser) WinHttpGetIEProxyConfigForCurrentUser = nullptr;
  decltype(&WinHttpDetectAutoProxyConfigUrl) WinHttpDetectAutoProxyConfigUrl = nullptr;
  decltype(&WinHttpOpen) WinHttpOpen = nullptr;
  decltype(&WinHttpSetStatusCallback) WinHttpSetStatusCallback = nullptr;
  decltype(&WinHttpSetTimeouts) WinHttpSetTimeouts = nullptr;
  decltype(&WinHttpCreateProxyResolver) WinHttpCreateProxyResolver = nullptr;
  decltype(&WinHttpGetProxyForUrlEx) WinHttpGetProxyForUrlEx = nullptr;
  decltype(&WinHttpGetProxyResult) WinHttpGetProxyResult = nullptr;
  decltype(&WinHttpFreeProxyResult) WinHttpFreeProxyResult = nullptr;
};

// winhttp.dll's functions.
const WinHttpFunctions& WinHttp();

// wininet.h's AUTO_PROXY_SCRIPT_BUFFER, spelt out here because wininet.h and winhttp.h cannot be
// included together.
struct ProxyScriptBuffer {
  DWORD dwStructSize;
  LPSTR lpszScriptBuffer;
  DWORD dwScriptBufferSize;
};

// jsproxy.dll's exports, as wininet.h types them (pfnInternet...).
using InitializeAutoProxyDll = BOOL(CALLBACK*)(DWORD version, LPSTR downloadedFile, LPSTR mime,
                                               void* helpers, ProxyScriptBuffer* script);
using DeInitializeAutoProxyDll = BOOL(CALLBACK*)(LPSTR mime, DWORD reserved);
using GetProxyInfo = BOOL(CALLBACK*)(LPCSTR url, DWORD urlLength, LPSTR hostName,
                                     DWORD hostNameLength, LPSTR* proxy, LPDWORD proxyLength);

struct JsProxyFunctions {
  InitializeAutoProxyDll InternetInitializeAutoProxyDll = nullptr;
  DeInitializeAutoProxyDll InternetDeInitializeAutoProxyDll = nullptr;
  GetProxyInfo InternetGetProxyInfo = nullptr;
};

// jsproxy.dll's functions.
const JsProxyFunctions& JsProxy();

}  // namespace rz::platform::win32
