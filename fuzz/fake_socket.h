// A scripted in-memory stand-in for MySocket, linked in place of my_socket.cpp: each Receive
// hands out the next scripted chunk, then the scripted ending.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "download/status_codes.h"

namespace rzfuzz {

struct ReceiveScript {
  std::vector<std::string_view> chunks;       // delivered one per Receive, in order
  rz::Status ending = rz::kConnectionClosed;  // what Receive reports once they run out
};

// The script the next connections read; the caller keeps the bytes alive.
void SetReceiveScript(const ReceiveScript& script);

}  // namespace rzfuzz
