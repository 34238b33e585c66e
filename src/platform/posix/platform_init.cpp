// libcurl and libxml2 set themselves up on first use; a thread needs nothing beforehand.
#include "platform/platform_init.h"

namespace rz::platform {

void InitThreadForPlatformObjects() {}

}  // namespace rz::platform
