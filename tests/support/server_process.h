// A server program that a test starts on loopback as its own child: spawned with only standard
// input (/dev/null), output and error (appended to a log) open, so that no socket the test holds
// is kept open by another process; waited for until it answers on its port; stopped with
// SIGTERM, then SIGKILL. Linux only; the Windows build compiles none of it.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace rztest {

// Starts `args` (args[0] is the program's path) with the environment `envp` (null-terminated).
// Throws std::runtime_error when it cannot be started.
pid_t SpawnServer(const std::vector<std::string>& args, char* const* envp,
                  const std::string& logPath);

// True once `port` takes a connection. False when the server exited first (most likely because
// the port was taken) or `limit` passed (then it is stopped); `pid` is then -1.
bool WaitUntilAnswering(pid_t& pid, std::uint16_t port, std::chrono::milliseconds limit);

// SIGTERM, then SIGKILL once `limit` passed, and the child reaped; `pid` becomes -1.
void StopServer(pid_t& pid, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace rztest

#endif  // _WIN32
