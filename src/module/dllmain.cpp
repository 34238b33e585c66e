// Module start-up and tear-down. The library keeps no global state, so there is nothing to set
// up or release here; the thread notifications are switched off because nothing needs them.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
