// A real HTTP proxy that demands NTLM: Debian's squid, started as the test's own process on
// 127.0.0.1 on a free port with a throw-away configuration, its NTLM handshakes answered by
// ntlm_check_helper (tests/support/ntlm_check_helper.cpp), which accepts the NTLMv2 response of one
// user and password. Plain requests and CONNECT to any port go through for authenticated clients,
// to loopback targets only. A Windows program under Wine can use it too: the Linux test process
// owns it. Linux only; the Windows build compiles none of it.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rztest {

class TempDir;

class SquidServer {
 public:
  // One line of the access log.
  struct Entry {
    std::uint16_t clientPort = 0;  // the client's end of the TCP connection
    int status = 0;                // 407 for each handshake step; 0 when nothing was answered
    std::string user;              // the authenticated user, "-" for none
  };

  // True when squid and the helper are installed and built.
  static bool Available();

  // Starts squid demanding NTLM from `user` and waits (up to 10 s) until it listens. The user
  // and password may not hold white space, quotes or '#'.
  SquidServer(const std::string& user, const std::string& password);
  // Stops squid and removes its folder.
  ~SquidServer();
  SquidServer(const SquidServer&) = delete;
  SquidServer& operator=(const SquidServer&) = delete;

  // False once squid exited, then with its last words in Failure().
  bool running() const;
  std::uint16_t port() const { return port_; }
  // Why the proxy is not running, with whatever it wrote, for test messages.
  std::string Failure() const;
  // The access log so far: one line per request, the handshake's 407s included, written when
  // the request completes (a CONNECT when its tunnel closes), as
  //   <time> <client port> <method> <url> <status> <user>
  std::string Log() const;
  // squid's own log, with the helper's verdicts ("ntlm_check_helper: AF ...", "... NA ...").
  std::string CacheLog() const;

  // squid writes a request's line just after the response went out, so a client that has its
  // answer may look too early: it waits for the lines it expects first (WaitFor...).
  std::vector<Entry> Entries() const;
  // Requests that went through as an authenticated user.
  int AuthenticatedRequests() const;
  // True once the access log holds `count` authenticated requests; false when `limit` passed
  // first.
  bool WaitForAuthenticated(int count,
                            std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  bool Start(const std::string& user, const std::string& password);

  std::unique_ptr<TempDir> dir_;
  std::string service_;  // squid's -n
  std::uint16_t port_ = 0;
  mutable pid_t pid_ = -1;
  mutable std::string failure_;
};

}  // namespace rztest

#endif  // _WIN32
