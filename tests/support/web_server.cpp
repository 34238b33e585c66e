// One row per server: its program, configuration and arguments, with @DIR@ (the private folder)
// and @PORT@ filled in. Starting, waiting for and stopping are the same for all of them.
#ifndef _WIN32

#include "support/web_server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/script_server.h"
#include "support/server_process.h"
#include "support/test_socket.h"

extern char** environ;

namespace rztest {
namespace {

struct Row {
  const char* name;
  const char* program;
  const char* config;             // written to @DIR@/server.conf; null when it takes none
  std::vector<std::string> args;  // after the program's name
  std::vector<std::string> env;   // NAME=value, in place of the test's own
};

// In WebServerKind's order. Servers that drop their privileges when started as root (Apache to
// www-data, h2o to nobody) still read the docroot: every folder on the way is 755.
const Row& RowOf(WebServerKind kind) {
  static const Row rows[] = {
      {"nginx",
       "/usr/sbin/nginx",
       "daemon off; master_process off; pid @DIR@/server.pid; error_log @DIR@/error.log;\n"
       "events {}\n"
       "http { access_log off; client_body_temp_path @DIR@/tmp; proxy_temp_path @DIR@/tmp;\n"
       "  fastcgi_temp_path @DIR@/tmp; uwsgi_temp_path @DIR@/tmp; scgi_temp_path @DIR@/tmp;\n"
       "  server { listen 127.0.0.1:@PORT@; root @DIR@/docroot; } }\n",
       {"-p", "@DIR@", "-c", "@DIR@/server.conf", "-e", "@DIR@/error.log"},
       {}},
      {"apache2",
       "/usr/sbin/apache2",
       "ServerRoot @DIR@\nListen 127.0.0.1:@PORT@\nServerName 127.0.0.1\n"
       "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
       "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
       "User www-data\nGroup www-data\nPidFile @DIR@/server.pid\nErrorLog @DIR@/error.log\n"
       "DocumentRoot @DIR@/docroot\n",
       {"-f", "@DIR@/server.conf", "-DFOREGROUND"},
       {}},
      // Caddy keeps state under the home and XDG folders.
      {"caddy",
       "/usr/bin/caddy",
       nullptr,
       {"file-server", "--root", "@DIR@/docroot", "--listen", "127.0.0.1:@PORT@"},
       {"HOME=@DIR@/home", "XDG_CONFIG_HOME=@DIR@/home", "XDG_DATA_HOME=@DIR@/home"}},
      {"lighttpd",
       "/usr/sbin/lighttpd",
       "server.document-root = \"@DIR@/docroot\"\nserver.bind = \"127.0.0.1\"\n"
       "server.port = @PORT@\nserver.errorlog = \"@DIR@/error.log\"\n",
       {"-D", "-f", "@DIR@/server.conf"},
       {}},
      // No pid-file: h2o writes it after dropping to nobody, who cannot write here.
      {"h2o",
       "/usr/bin/h2o",
       "listen:\n  host: 127.0.0.1\n  port: @PORT@\nerror-log: @DIR@/error.log\n"
       "hosts:\n  default:\n    paths:\n      /:\n        file.dir: @DIR@/docroot\n",
       {"-c", "@DIR@/server.conf"},
       {}},
      {"busybox_httpd",
       "/usr/bin/busybox",
       nullptr,
       {"httpd", "-f", "-p", "127.0.0.1:@PORT@", "-h", "@DIR@/docroot"},
       {}},
      {"apache2_tls",
       "/usr/sbin/apache2",
       "ServerRoot @DIR@\nListen 127.0.0.1:@PORT@\nServerName localhost\n"
       "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
       "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
       "LoadModule ssl_module /usr/lib/apache2/modules/mod_ssl.so\n"
       "User www-data\nGroup www-data\nPidFile @DIR@/server.pid\nErrorLog @DIR@/error.log\n"
       "DocumentRoot @DIR@/docroot\nSSLEngine on\nSSLProtocol TLSv1.2\n"
       "SSLCertificateFile @CERTS@/good.crt\nSSLCertificateKeyFile @CERTS@/good.key\n"
       "SSLCACertificateFile @CERTS@/ca.crt\n<Location />\n  SSLVerifyClient "
       "optional\n</Location>\n",
       {"-f", "@DIR@/server.conf", "-DFOREGROUND"},
       {}},
  };
  return rows[static_cast<int>(kind)];
}

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr int kStartAttempts = 3;

void ReplaceAll(std::string& text, const std::string& mark, const std::string& value) {
  for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
    text.replace(at, mark.size(), value);
    at += value.size();
  }
}

std::string Filled(std::string text, const std::string& dir, std::uint16_t port,
                   const std::string& certDir = {}) {
  ReplaceAll(text, "@DIR@", dir);
  ReplaceAll(text, "@PORT@", std::to_string(port));
  ReplaceAll(text, "@CERTS@", certDir);
  return text;
}

void WriteText(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
  out.close();
  chmod(path.c_str(), mode);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create " + path);
  }
  chmod(path.c_str(), 0755);  // whatever the umask
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

const char* WebServer::Name(WebServerKind kind) { return RowOf(kind).name; }

bool WebServer::Available(WebServerKind kind) { return access(RowOf(kind).program, X_OK) == 0; }

WebServer::WebServer(WebServerKind kind, std::string certDir)
    : kind_(kind), certDir_(std::move(certDir)) {
  std::string templ = "/tmp/rz-web-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  for (const char* sub : {"", "/docroot", "/home", "/tmp"}) MakeDir(dir_ + sub);
  // The free port is found by binding port 0 and releasing it; another process may take it in
  // between, so a start that fails is tried again on a new port.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (Start()) return;
  }
  const std::string logs = Logs();
  nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  throw std::runtime_error(std::string(Name(kind)) + " did not start:\n" + logs);
}

WebServer::~WebServer() {
  Stop();
  nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool WebServer::Start() {
  const Row& row = RowOf(kind_);
  port_ = UnusedLoopbackPort();
  if (row.config != nullptr)
    WriteText(dir_ + "/server.conf", Filled(row.config, dir_, port_, certDir_), 0644);

  std::vector<std::string> args = {row.program};
  for (const auto& arg : row.args) args.push_back(Filled(arg, dir_, port_));
  std::vector<std::string> env;
  for (const auto& entry : row.env) env.push_back(Filled(entry, dir_, port_));
  for (char** e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (const auto& entry : row.env) {
      const std::size_t name = entry.find('=') + 1;
      replaced = replaced || std::strncmp(*e, entry.c_str(), name) == 0;
    }
    if (!replaced) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_ = SpawnServer(args, envp.data(), dir_ + "/output.log");
  return WaitUntilAnswering(pid_, port_, kStartLimit);
}

void WebServer::Stop() { StopServer(pid_, kStopLimit); }

std::string WebServer::BaseUrl() const {
  return (kind_ == WebServerKind::kApacheTls ? "https://localhost:" : "http://127.0.0.1:") +
         std::to_string(port_);
}

void WebServer::WriteFile(const std::string& name, const std::string& content) const {
  WriteText(dir_ + "/docroot/" + name, content, 0644);
}

std::string WebServer::Logs() const {
  return ReadText(dir_ + "/output.log") + ReadText(dir_ + "/error.log");
}

}  // namespace rztest

#endif  // _WIN32
