// COM on the calling thread, for the request and document objects.
#include <windows.h>
#include <objbase.h>

#include "platform/platform_init.h"

namespace rz::platform {

void InitThreadForPlatformObjects() {
  // S_FALSE (already initialised) and RPC_E_CHANGED_MODE (initialised multi-threaded by the host)
  // both leave COM usable; neither is an error worth stopping for. It is never uninitialised: the
  // host's thread may rely on it after we return.
  static_cast<void>(CoInitialize(nullptr));
}

}  // namespace rz::platform
