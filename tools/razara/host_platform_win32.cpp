// razara's system part on Windows: console checks, FormatMessage, and the library's debug lines
// read from the system debug output, as a debug-output viewer reads them.
#include <windows.h>
#include <io.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "host_platform.h"

namespace razara {

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

void PrepareConsole() {
  // Paths are UTF-8 inside razara; a console shows them right only in that code page.
  if (StdoutIsTerminal()) SetConsoleOutputCP(CP_UTF8);
}

std::string SystemErrorText(unsigned long code) {
  std::array<char, 256> buffer{};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  return "error " + std::to_string(code) + ": " +
         (length > 0 ? std::string(buffer.data(), length) : std::string("no text for this code"));
}

void SetVariable(const char* name, const char* value) {
  // The process's own block, where the library reads it.
  SetEnvironmentVariableA(name, value);
}

namespace {

// The shared section a writer fills: its process id, then the text.
struct DbwinBuffer {
  DWORD processId;
  char text[4096 - sizeof(DWORD)];
};

class Handle {
 public:
  Handle() = default;
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

struct DebugLineReader::Impl {
  Handle bufferReady;  // set by the reader: the section may be written
  Handle dataReady;    // set by a writer: the section holds a message
  Handle section;
  Handle stop;
  const DbwinBuffer* view = nullptr;
  std::thread thread;

  ~Impl() {
    if (view != nullptr) UnmapViewOfFile(view);
  }

  void Run(const Sink& sink) {
    const DWORD self = GetCurrentProcessId();
    // The data event comes first, so that a message written before the stop is still taken.
    const HANDLE waits[2] = {dataReady.get(), stop.get()};
    std::string line;
    SetEvent(bufferReady.get());
    for (;;) {
      const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (woken != WAIT_OBJECT_0) break;
      const bool ours = view->processId == self;
      if (ours) {
        std::size_t length = 0;
        while (length < sizeof view->text && view->text[length] != '\0') ++length;
        line.assign(view->text, length);
      }
      // The writer waits for this event inside its call: release it before the line is shown.
      SetEvent(bufferReady.get());
      if (!ours) continue;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      sink(line);
    }
  }
};

DebugLineReader::DebugLineReader() : impl_(std::make_unique<Impl>()) {}

DebugLineReader::~DebugLineReader() { Stop(); }

bool DebugLineReader::Start(Sink sink, std::string& error, std::string& warning) {
  Impl& impl = *impl_;
  impl.bufferReady.Reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
  bool shared = GetLastError() == ERROR_ALREADY_EXISTS;
  impl.dataReady.Reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
  impl.section.Reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(DbwinBuffer), "DBWIN_BUFFER"));
  shared = shared || GetLastError() == ERROR_ALREADY_EXISTS;
  impl.stop.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (impl.bufferReady.get() == nullptr || impl.dataReady.get() == nullptr ||
      impl.section.get() == nullptr || impl.stop.get() == nullptr) {
    error =
        "cannot open the system debug output (DBWIN_BUFFER): " + SystemErrorText(GetLastError());
    return false;
  }
  impl.view = static_cast<const DbwinBuffer*>(
      MapViewOfFile(impl.section.get(), FILE_MAP_READ, 0, 0, sizeof(DbwinBuffer)));
  if (impl.view == nullptr) {
    error = "cannot map the system debug output (DBWIN_BUFFER): " + SystemErrorText(GetLastError());
    return false;
  }
  if (shared) {
    warning = "another debug-output reader is running; some library lines may go to it instead";
  }
  impl.thread = std::thread([&impl, sink = std::move(sink)] { impl.Run(sink); });
  return true;
}

void DebugLineReader::Stop() {
  if (!impl_->thread.joinable()) return;
  SetEvent(impl_->stop.get());
  impl_->thread.join();
}

void DebugLineReader::WriteError(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace razara
