#ifndef _WIN32

#include "support/tinyproxy_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/script_server.h"
#include "support/test_socket.h"

extern char** environ;

namespace rztest {
namespace {

constexpr const char* kProgram = "/usr/bin/tinyproxy";

}  // namespace

bool TinyproxyServer::Available() { return ::access(kProgram, X_OK) == 0; }

TinyproxyServer::TinyproxyServer(const std::string& user, const std::string& password) {
  std::string pattern = "/tmp/rz-tinyproxy-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    failure_ = "mkdtemp failed";
    return;
  }
  dir_ = pattern;
  port_ = UnusedLoopbackPort();
  {
    std::ofstream config(dir_ + "/tinyproxy.conf");
    config << "Port " << port_ << "\n"
           << "Listen 127.0.0.1\n"
           << "Timeout 10\n"
           << "MaxClients 8\n"
           << "LogFile \"" << dir_ << "/tinyproxy.log\"\n"
           << "LogLevel Info\n"
           << "Allow 127.0.0.1\n"
           << "BasicAuth " << user << " " << password << "\n";
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = dir_ + "/output.txt";
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const std::string configPath = dir_ + "/tinyproxy.conf";
  std::vector<char*> argv = {const_cast<char*>(kProgram), const_cast<char*>("-d"),
                             const_cast<char*>("-c"), const_cast<char*>(configPath.c_str()),
                             nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, kProgram, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    failure_ = "posix_spawn failed";
    return;
  }
  pid_ = pid;

  // Ready once it accepts a connection; a proxy that exits early has failed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid_ = -1;
      failure_ = "tinyproxy exited: " + ReadFile(output);
      return;
    }
    ScopedSocket probe(ConnectLoopback(port_));
    if (probe.valid()) {
      running_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  failure_ = "tinyproxy did not listen within 5 s: " + ReadFile(output);
}

TinyproxyServer::~TinyproxyServer() {
  if (pid_ > 0) {
    const auto pid = static_cast<pid_t>(pid_);
    ::kill(pid, SIGTERM);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
      if (!ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
  if (!dir_.empty()) {
    for (const char* name : {"/tinyproxy.conf", "/tinyproxy.log", "/output.txt"}) {
      std::remove((dir_ + name).c_str());
    }
    ::rmdir(dir_.c_str());
  }
}

std::string TinyproxyServer::Failure() const { return failure_; }

std::string TinyproxyServer::Log() const {
  return dir_.empty() ? std::string() : ReadFile(dir_ + "/tinyproxy.log");
}

}  // namespace rztest

#endif  // _WIN32
