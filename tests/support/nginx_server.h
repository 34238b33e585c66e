// A real nginx on loopback, for Linux tests that want a full HTTP server rather than a scripted
// one: large files, ranges, keep-alive, errors. Runs /usr/sbin/nginx as a child process in a
// private temporary folder (configuration, docroot, logs) that is removed afterwards.
// Linux only; the Windows build compiles none of it.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rztest {

class NginxServer {
 public:
  // `serverBlockExtra` is pasted into the server block, after the defaults; use it to add
  // location blocks, e.g. "location = /broken { return 500; }". `httpBlockExtra` follows the
  // server block, for servers of its own (the TLS fixture's).
  // Throws std::runtime_error when nginx does not answer on its port within 5 s.
  explicit NginxServer(const std::string& serverBlockExtra = "",
                       const std::string& httpBlockExtra = "");
  // Stops nginx (SIGTERM, then SIGKILL after 5 s) and removes the folder.
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // True when /usr/sbin/nginx is installed; tests skip otherwise.
  static bool Available();

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT"
  std::string BaseUrl() const;
  // The folder served at "/", mode 755.
  const std::string& DocRoot() const { return docRoot_; }
  // Writes a file below the docroot (creating its folders), readable by nginx.
  void WriteFile(const std::string& relativePath, const std::string& content) const;

  // One line per completed request, in this format:
  //   "<request line>" <status> <body bytes sent> "<Range header or ->"
  // nginx writes the line when the request completes, so a request still running is absent.
  std::vector<std::string> AccessLogLines() const;
  std::string ErrorLog() const;

 private:
  bool Start(const std::string& serverBlockExtra, const std::string& httpBlockExtra);
  void Stop();

  std::string prefix_;
  std::string docRoot_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace rztest

#endif  // _WIN32
