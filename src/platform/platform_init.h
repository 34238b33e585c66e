// Per-thread start-up of the platform objects the query and save stages use.
#pragma once

namespace rz::platform {

// Windows: CoInitialize(nullptr) on the calling thread; the outcome is not examined and COM is
// never uninitialised, so the thread stays initialised after the call. Elsewhere: nothing.
void InitThreadForPlatformObjects();

}  // namespace rz::platform
