// The web servers ad operators run, from Debian's packages, on loopback: each one the test's own
// child process in the foreground, with a generated configuration in a private temporary folder
// (docroot, logs, state) that is removed afterwards. Linux only; the Windows build compiles none
// of it.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace rztest {

enum class WebServerKind { kNginx, kApache, kCaddy, kLighttpd, kH2o, kBusybox };

class WebServer {
 public:
  // Starts the server on a free port. Throws std::runtime_error, with what the server wrote, when
  // it does not answer there within 10 s.
  explicit WebServer(WebServerKind kind);
  // Stops it (SIGTERM, then SIGKILL after 5 s) and removes the folder.
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // "nginx", "apache2", ...: usable in test names.
  static const char* Name(WebServerKind kind);
  // True when the server's program is installed; tests skip otherwise.
  static bool Available(WebServerKind kind);

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT"
  std::string BaseUrl() const;
  // Writes a file at the top of the docroot, readable by a server that dropped its privileges.
  void WriteFile(const std::string& name, const std::string& content) const;
  // Its output and error log, for failure messages.
  std::string Logs() const;

 private:
  bool Start();
  void Stop();

  WebServerKind kind_;
  std::string dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace rztest

#endif  // _WIN32
