// Connecting to a server that has several addresses, in the manner of RFC 8305 ("Happy
// Eyeballs"): the addresses are tried in the resolver's order, a new attempt starts beside the
// running ones whenever none has connected for 250 ms (or at once when one fails), and the first
// to connect wins. A dead first address then costs a quarter of a second, not the system's
// connect time-out.
#pragma once

#include <cstdint>
#include <vector>

#include "download/status_codes.h"
#include "platform/address_lookup.h"
#include "platform/socket.h"

namespace rz {

// Called before every socket wait; kStoppedByCallback (-813) aborts the wait.
using PollCallback = std::int32_t (*)();

struct ConnectPlan {
  PollCallback pollCallback = nullptr;   // called before every wait; -813 stops connecting
  std::int32_t budgetMicros = 30000000;  // for all attempts together, counted by the clock
  std::int32_t staggerMicros = 250000;   // between the starts of two attempts
  std::int32_t sliceMicros = 100000;     // the longest single wait
};

// Connects to the first of `addresses` that answers. kOk with the connected (blocking) socket in
// `connected`; kConnectFailed when every attempt failed; kTimedOut when the budget ran out first;
// kStoppedByCallback; or a positive platform code: of a failed wait, or of the socket creation
// when no attempt could even be made (then also in `createError`). Every socket but the winner is
// closed before it returns.
Status ConnectFirst(const std::vector<platform::SocketAddress>& addresses, const ConnectPlan& plan,
                    platform::SocketHandle& connected, int& createError);

}  // namespace rz
