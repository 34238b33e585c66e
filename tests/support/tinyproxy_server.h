// A real HTTP proxy for tests of the proxy form: Debian's tinyproxy, started as the test's own
// process on 127.0.0.1 on a free port, with Basic credentials and a throw-away configuration.
// Linux only; the Windows build compiles none of it.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <string>

namespace rztest {

class TinyproxyServer {
 public:
  static bool Available();

  // Starts the proxy with one Basic user and waits (up to 5 s) until it accepts connections.
  TinyproxyServer(const std::string& user, const std::string& password);
  // Stops the proxy and removes its configuration and log.
  ~TinyproxyServer();
  TinyproxyServer(const TinyproxyServer&) = delete;
  TinyproxyServer& operator=(const TinyproxyServer&) = delete;

  bool running() const { return running_; }
  std::uint16_t port() const { return port_; }
  // Why the proxy is not running, with whatever it wrote, for test messages.
  std::string Failure() const;
  // The proxy's log so far.
  std::string Log() const;

 private:
  std::string dir_;
  std::uint16_t port_ = 0;
  long pid_ = -1;
  bool running_ = false;
  std::string failure_;
};

}  // namespace rztest

#endif  // _WIN32
