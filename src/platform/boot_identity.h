// Which boot of the machine this is. Bytes a killed process wrote stay in the page cache and are
// read back whole within one boot; after a power cut only what was synced can be trusted.
#pragma once

#include <string>

namespace rz::platform {

// A text that stays the same for the whole time the machine is up and changes when it restarts;
// empty when it cannot be had. A value that changes without a restart only costs the bytes that
// were never synced.
std::string BootIdentity();

}  // namespace rz::platform
