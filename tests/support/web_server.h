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

// kApacheTls: Apache over TLS 1.2 alone, with the certificate and key good.crt and good.key and
// the CA ca.crt of a folder (TlsFileServer's), asking each request for an optional client
// certificate, which makes it renegotiate after the request as a per-folder setting does.
enum class WebServerKind { kNginx, kApache, kCaddy, kLighttpd, kH2o, kBusybox, kApacheTls };

class WebServer {
 public:
  // Starts the server on a free port. Throws std::runtime_error, with what the server wrote, when
  // it does not answer there within 10 s.
  explicit WebServer(WebServerKind kind, std::string certDir = {});
  // Stops it (SIGTERM, then SIGKILL after 5 s) and removes the folder.
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // "nginx", "apache2", ...: usable in test names.
  static const char* Name(WebServerKind kind);
  // True when the server's program is installed; tests skip otherwise.
  static bool Available(WebServerKind kind);

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT"; "https://localhost:PORT" for kApacheTls
  std::string BaseUrl() const;
  // Writes a file at the top of the docroot, readable by a server that dropped its privileges.
  void WriteFile(const std::string& name, const std::string& content) const;
  // Its output and error log, for failure messages.
  std::string Logs() const;

 private:
  bool Start();
  void Stop();

  WebServerKind kind_;
  std::string certDir_;
  std::string dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace rztest

#endif  // _WIN32
