// nginx as a test fixture: a temporary prefix, a generated configuration, a child process.
#ifndef _WIN32

#include "support/nginx_server.h"

#include "support/files.h"
#include "support/script_server.h"
#include "support/server_process.h"
#include "support/test_socket.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace rztest {

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr int kStartAttempts = 3;

void WriteText(const std::string& path, const std::string& text) {
  if (!rztest::WriteFile(path, text)) throw std::runtime_error("cannot write " + path);
}

void MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create " + path);
  }
  chmod(path.c_str(), 0755);  // whatever the umask, nginx must read it
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

std::string Config(const std::string& prefix, const std::string& docRoot, std::uint16_t port,
                   const std::string& serverBlockExtra, const std::string& httpBlockExtra) {
  std::ostringstream c;
  // One process in the foreground: the child we started is nginx itself, so stopping and
  // reaping it needs no pid file, and it runs as whoever runs the tests.
  c << "daemon off;\n"
    << "master_process off;\n"
    << "worker_processes 1;\n"
    << "pid " << prefix << "/nginx.pid;\n"
    << "error_log " << prefix << "/logs/error.log info;\n"
    << "events { worker_connections 64; }\n"
    << "http {\n"
    << "  log_format rz '\"$request\" $status $body_bytes_sent \"$http_range\"';\n"
    << "  access_log " << prefix << "/logs/access.log rz;\n"
    << "  client_body_temp_path " << prefix << "/tmp/body;\n"
    << "  proxy_temp_path " << prefix << "/tmp/proxy;\n"
    << "  fastcgi_temp_path " << prefix << "/tmp/fastcgi;\n"
    << "  uwsgi_temp_path " << prefix << "/tmp/uwsgi;\n"
    << "  scgi_temp_path " << prefix << "/tmp/scgi;\n"
    << "  default_type application/octet-stream;\n"
    << "  sendfile on;\n"
    << "  keepalive_timeout 5s;\n"
    << "  server {\n"
    << "    listen 127.0.0.1:" << port << ";\n"
    << "    server_name localhost;\n"
    << "    root " << docRoot << ";\n"
    << serverBlockExtra << "\n"
    << "  }\n"
    << httpBlockExtra << "\n"
    << "}\n";
  return c.str();
}

}  // namespace

bool NginxServer::Available() { return access(kNginx, X_OK) == 0; }

NginxServer::NginxServer(const std::string& serverBlockExtra, const std::string& httpBlockExtra) {
  std::string templ = "/tmp/rz-nginx-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  prefix_ = templ;
  docRoot_ = prefix_ + "/docroot";
  MakeDir(prefix_);
  MakeDir(docRoot_);
  MakeDir(prefix_ + "/logs");
  MakeDir(prefix_ + "/tmp");
  // The free port is found by binding port 0 and releasing it; another process may take it in
  // between, so a start that fails is tried again on a new port.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (Start(serverBlockExtra, httpBlockExtra)) return;
  }
  const std::string log = ErrorLog();
  nftw(prefix_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  throw std::runtime_error("nginx did not start: " + log);
}

NginxServer::~NginxServer() {
  Stop();
  nftw(prefix_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool NginxServer::Start(const std::string& serverBlockExtra, const std::string& httpBlockExtra) {
  port_ = UnusedLoopbackPort();
  const std::string conf = prefix_ + "/nginx.conf";
  WriteText(conf, Config(prefix_, docRoot_, port_, serverBlockExtra, httpBlockExtra));

  const std::string errorLog = prefix_ + "/logs/error.log";
  pid_ = SpawnServer({kNginx, "-p", prefix_, "-c", conf, "-e", errorLog}, environ,
                     prefix_ + "/logs/stderr.log");
  return WaitUntilAnswering(pid_, port_, kStartLimit);
}

void NginxServer::Stop() { StopServer(pid_, kStopLimit); }

std::string NginxServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void NginxServer::WriteFile(const std::string& relativePath, const std::string& content) const {
  std::string path = docRoot_;
  std::size_t from = 0;
  while (true) {
    const std::size_t slash = relativePath.find('/', from);
    if (slash == std::string::npos) break;
    if (slash > from) {
      path += "/" + relativePath.substr(from, slash - from);
      MakeDir(path);
    }
    from = slash + 1;
  }
  path += "/" + relativePath.substr(from);
  WriteText(path, content);
  chmod(path.c_str(), 0644);
}

std::vector<std::string> NginxServer::AccessLogLines() const {
  std::istringstream text(ReadFile(prefix_ + "/logs/access.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string NginxServer::ErrorLog() const {
  return ReadFile(prefix_ + "/logs/error.log") + ReadFile(prefix_ + "/logs/stderr.log");
}

}  // namespace rztest

#endif  // _WIN32
