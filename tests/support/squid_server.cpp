#ifndef _WIN32

#include "support/squid_server.h"

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/files.h"
#include "support/script_server.h"
#include "support/server_process.h"

extern char** environ;

namespace rztest {
namespace {

constexpr const char* kSquid = "/usr/sbin/squid";
constexpr const char* kHelper = RZ_NTLM_CHECK_HELPER;  // set by tests/CMakeLists.txt
// squid started as root runs as this user, and so do its helpers.
constexpr const char* kSquidUser = "proxy";
constexpr const char* kSharedMemory = "/dev/shm";

// Whether a socket listens on 127.0.0.1:port, from the kernel's table of TCP sockets.
bool Listening(std::uint16_t port) {
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(port));
  std::istringstream table(ReadFile("/proc/net/tcp"));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    if (fields >> slot >> address >> remote >> state && address == local && state == "0A") {
      return true;
    }
  }
  return false;
}

// The user and password go on the helper's command line, which squid splits at white space.
std::string Config(const std::string& dir, std::uint16_t port, const std::string& user,
                   const std::string& password) {
  const std::string helper = dir + "/ntlm_check_helper " + user + " " + password;
  std::ostringstream c;
  c << "http_port 127.0.0.1:" << port << "\n"
    << "visible_hostname rz-test-squid\n"
    << "cache_effective_user " << kSquidUser << "\n"
    << "pid_filename " << dir << "/squid.pid\n"
    << "cache_log " << dir << "/cache.log\n"
    << "logformat rz %ts.%03tu %>p %rm %ru %>Hs %un\n"
    << "access_log stdio:" << dir << "/access.log logformat=rz\n"
    << "cache_store_log none\n"
    << "coredump_dir " << dir << "\n"
    << "logfile_rotate 0\n"
    // No cache at all (no cache_dir, so no -z either), and nothing that talks to other hosts:
    // any name squid must look up goes to a resolver on loopback, which is not there.
    << "cache deny all\n"
    << "digest_generation off\n"
    << "netdb_filename none\n"
    << "pinger_enable off\n"
    << "dns_nameservers 127.0.0.1\n"
    << "shutdown_lifetime 0 seconds\n";
  // Each handshake in progress holds a helper: enough for a few parallel connections.
  c << "auth_param ntlm program " << helper << "\n"
    << "auth_param ntlm children 10 startup=0 idle=1\n"
    << "auth_param ntlm keep_alive on\n";
  // Clients and targets on loopback only; the stock limits (CONNECT to 443, Safe_ports) are
  // not there, so a tunnel may go to any test server's port.
  c << "acl rz_clients src 127.0.0.0/8 ::1\n"
    << "acl rz_targets dst 127.0.0.0/8 ::1\n"
    << "acl authed proxy_auth REQUIRED\n"
    << "http_access deny !rz_clients\n"
    << "http_access deny !rz_targets\n"
    << "http_access allow authed\n"
    << "http_access deny all\n";
  return c.str();
}

}  // namespace

bool SquidServer::Available() {
  return ::access(kSquid, X_OK) == 0 && ::access(kHelper, X_OK) == 0;
}

SquidServer::SquidServer(const std::string& user, const std::string& password) {
  try {
    dir_ = std::make_unique<TempDir>("rz-squid");
  } catch (const std::exception& e) {
    failure_ = e.what();
    return;
  }
  // squid names its shared memory segments after the service name: one of its own keeps
  // parallel instances (and those of other users) apart.
  for (const char c : dir_->path().filename().string()) {
    if (std::isalnum(static_cast<unsigned char>(c))) service_ += c;
  }
  // A port picked free may be taken before squid binds it; squid then exits, and another try
  // follows.
  for (int attempt = 0; attempt < 3 && !Start(user, password); ++attempt) {
  }
}

bool SquidServer::Start(const std::string& user, const std::string& password) {
  namespace fs = std::filesystem;
  const std::string dir = dir_->path().string();
  for (const char* name : {"/access.log", "/cache.log", "/output.txt", "/squid.pid"}) {
    std::error_code ignored;
    fs::remove(dir + name, ignored);
  }
  port_ = UnusedLoopbackPort();
  // squid started as root runs its helpers as kSquidUser, who may not reach the build tree, and
  // writes its logs as that user: everything it needs is in this folder, which that user owns.
  std::error_code error;
  fs::copy_file(kHelper, dir + "/ntlm_check_helper", fs::copy_options::overwrite_existing, error);
  if (error || !WriteFile(dir + "/squid.conf", Config(dir, port_, user, password))) {
    failure_ = "cannot prepare " + dir;
    return true;
  }
  fs::permissions(dir + "/ntlm_check_helper", fs::perms(0755), error);
  if (::geteuid() == 0) {
    const passwd* account = ::getpwnam(kSquidUser);
    if (account == nullptr) {
      failure_ = std::string("no user ") + kSquidUser + " for squid to run as";
      return true;
    }
    for (const auto& path : {dir, dir + "/ntlm_check_helper"}) {
      if (::chown(path.c_str(), account->pw_uid, account->pw_gid) != 0) {
        failure_ = "cannot hand " + path + " to " + kSquidUser;
        return true;
      }
    }
  }

  const std::string output = dir + "/output.txt";
  try {
    pid_ = SpawnServer({kSquid, "-N", "-n", service_, "-f", dir + "/squid.conf"}, environ, output);
  } catch (const std::exception& e) {
    failure_ = e.what();
    return true;
  }
  // Ready once squid says it bound the port and the kernel shows it listening: squid logs that
  // line a moment before it calls listen(), and a probe connection would be logged as a request
  // ("error:transaction-end-before-headers") and count as a client's connection.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      failure_ = "squid exited: " + ReadFile(output) + ReadFile(dir + "/cache.log");
      return failure_.find("Unable to open HTTP Socket") == std::string::npos;
    }
    if (CacheLog().find("Accepting HTTP Socket connections") != std::string::npos &&
        Listening(port_)) {
      failure_.clear();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  StopServer(pid_, std::chrono::seconds(0));
  failure_ = "squid did not listen within 10 s: " + ReadFile(output) + CacheLog();
  return true;
}

SquidServer::~SquidServer() {
  // Straight to SIGKILL: squid takes over a second to shut down even with shutdown_lifetime 0.
  // Its logs are written line by line and it caches nothing; of its clean-up only the removal of
  // its shared memory segments is missed, and done here. Its helpers end when their standard
  // input closes.
  StopServer(pid_, std::chrono::seconds(0));
  if (service_.empty()) return;
  for (const auto& name : ListFolder(kSharedMemory)) {
    if (name.rfind(service_ + "-", 0) == 0) {
      std::error_code ignored;
      std::filesystem::remove(std::string(kSharedMemory) + "/" + name, ignored);
    }
  }
}

bool SquidServer::running() const {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    failure_ = "squid exited (status " + std::to_string(status) +
               "): " + ReadFile(dir_->path() / "output.txt") + CacheLog();
  }
  return pid_ > 0;
}

std::string SquidServer::Failure() const { return failure_; }

std::string SquidServer::Log() const { return dir_ ? ReadFile(dir_->path() / "access.log") : ""; }

std::string SquidServer::CacheLog() const {
  return dir_ ? ReadFile(dir_->path() / "cache.log") : "";
}

std::vector<SquidServer::Entry> SquidServer::Entries() const {
  std::vector<Entry> entries;
  std::istringstream lines(Log());
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string time, method, url;
    unsigned port = 0;
    Entry entry;
    if (words >> time >> port >> method >> url >> entry.status >> entry.user) {
      entry.clientPort = static_cast<std::uint16_t>(port);
      entries.push_back(entry);
    }
  }
  return entries;
}

int SquidServer::AuthenticatedRequests() const {
  int count = 0;
  for (const auto& entry : Entries()) count += entry.user != "-" ? 1 : 0;
  return count;
}

bool SquidServer::WaitForAuthenticated(int count, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (AuthenticatedRequests() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace rztest

#endif  // _WIN32
