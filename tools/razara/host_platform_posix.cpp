// razara's system part on Linux: isatty, strerror_r, and the library's debug lines read from a
// pipe that stands in for stderr while the call runs.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host_platform.h"

namespace razara {

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void PrepareConsole() {}

std::string SystemErrorText(unsigned long code) {
  std::array<char, 128> buffer{};
  const char* text = ::strerror_r(static_cast<int>(code), buffer.data(), buffer.size());
  return "errno " + std::to_string(code) + ": " + (text != nullptr ? text : "unknown");
}

void SetVariable(const char* name, const char* value) { ::setenv(name, value, 1); }

namespace {

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

struct DebugLineReader::Impl {
  int savedStderr = -1;  // the real stderr while the pipe stands in for it
  int readEnd = -1;
  bool setVariable = false;  // RAZARA_DEBUG was set by us and is removed at Stop
  std::thread thread;

  void Run(const Sink& sink) {
    std::array<char, 4096> chunk{};
    std::string pending;
    for (;;) {
      const ssize_t got = ::read(readEnd, chunk.data(), chunk.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      pending.append(chunk.data(), static_cast<std::size_t>(got));
      std::size_t start = 0;
      for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
           start = end + 1) {
        sink(std::string_view(pending).substr(start, end - start));
      }
      pending.erase(0, start);
      // A line never ends: hand it on in pieces rather than hold an unbounded buffer.
      if (pending.size() > 64 * 1024) {
        sink(pending);
        pending.clear();
      }
    }
    if (!pending.empty()) sink(pending);
  }
};

DebugLineReader::DebugLineReader() : impl_(std::make_unique<Impl>()) {}

DebugLineReader::~DebugLineReader() { Stop(); }

bool DebugLineReader::Start(Sink sink, std::string& error, std::string& /*warning*/) {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    error = "cannot make a pipe for the library's lines: " + SystemErrorText(errno);
    return false;
  }
  std::fflush(stderr);
  impl_->savedStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (impl_->savedStderr < 0 || ::dup2(ends[1], STDERR_FILENO) < 0) {
    error = "cannot redirect stderr for the library's lines: " + SystemErrorText(errno);
    if (impl_->savedStderr >= 0) ::close(impl_->savedStderr);
    impl_->savedStderr = -1;
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  ::close(ends[1]);  // stderr is now the only write end
  impl_->readEnd = ends[0];
  const char* current = std::getenv("RAZARA_DEBUG");
  if (current == nullptr || *current == '\0') {
    ::setenv("RAZARA_DEBUG", "1", 1);
    impl_->setVariable = true;
  }
  impl_->thread = std::thread([this, sink = std::move(sink)] { impl_->Run(sink); });
  return true;
}

void DebugLineReader::Stop() {
  if (impl_->savedStderr < 0) return;
  if (impl_->setVariable) ::unsetenv("RAZARA_DEBUG");
  impl_->setVariable = false;
  std::fflush(stderr);
  // Putting the real stderr back closes the pipe's last write end: the thread reads to its end.
  ::dup2(impl_->savedStderr, STDERR_FILENO);
  if (impl_->thread.joinable()) impl_->thread.join();
  ::close(impl_->savedStderr);
  ::close(impl_->readEnd);
  impl_->savedStderr = -1;
  impl_->readEnd = -1;
}

void DebugLineReader::WriteError(std::string_view text) {
  WriteAll(impl_->savedStderr >= 0 ? impl_->savedStderr : STDERR_FILENO, text);
}

}  // namespace razara
