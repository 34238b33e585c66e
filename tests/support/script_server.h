// A scriptable loopback HTTP server for tests, in the manner of curl's test server: each test
// says exactly which bytes the server answers with, where it pauses, splits or closes, and reads
// back the exact request bytes it received. Builds for Linux and for Windows (Winsock), so the
// same tests run natively and under Wine. Listens on 127.0.0.1 (or ::1) on a free port only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rztest {

// What the server does on one connection, step by step. When the steps run out, the server
// closes the connection in an orderly way (FIN), unless the script ended with Reset or Hold.
class Script {
 public:
  // Reads until the end of the request header ("\r\n\r\n") and, when the header carries a
  // Content-Length, that many body bytes. Bounded by 5 s; a client close also ends it.
  Script& ReadRequest();
  // Sends the bytes in one send call (the kernel may still split them).
  Script& Send(std::string bytes);
  // Sends `bytes` in pieces cut at the given offsets, pausing `pause` between pieces.
  Script& SendSplit(const std::string& bytes, const std::vector<std::size_t>& cuts,
                    std::chrono::milliseconds pause);
  Script& Pause(std::chrono::milliseconds duration);
  // Orderly close now (the rest of the script is ignored).
  Script& Close();
  // Abortive close (RST, via SO_LINGER 0) now. Under Wine the peer sees a FIN first (Wine shuts
  // a socket down before closing it), so reset handling can be checked on Linux only.
  Script& Reset();
  // Keeps the connection open, sending nothing, for `duration` or until the client closes,
  // whichever comes first; then closes.
  Script& Hold(std::chrono::milliseconds duration);
  // Reads one request as ReadRequest does, then sends what `answer` makes of its bytes. Runs on
  // the session's thread.
  Script& Answer(std::function<std::string(const std::string& request)> answer);

  // One scripted action; complete here so that scripts can be copied and stored by value.
  struct Step {
    enum class Kind { kReadRequest, kSend, kSendSplit, kPause, kClose, kReset, kHold, kAnswer };
    Kind kind;
    std::string bytes;
    std::vector<std::size_t> cuts;
    std::chrono::milliseconds duration{0};
    std::function<std::string(const std::string&)> answer;
  };
  const std::vector<Step>& steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

// Convenience scripts.
// A complete response: status line, the given header lines, "Content-Length", blank line, body.
std::string HttpResponse(int status, const std::string& body,
                         const std::vector<std::string>& headerLines = {},
                         bool withContentLength = true);
// ReadRequest, then Send(response), then Close.
Script Respond(std::string response);

// The loopback address a server listens on.
enum class Loopback { kIPv4, kIPv6 };

class ScriptServer {
 public:
  // Every connection runs the same script.
  explicit ScriptServer(Script script, Loopback on = Loopback::kIPv4);
  // Connection i runs scripts[min(i, size - 1)].
  explicit ScriptServer(std::vector<Script> scripts, Loopback on = Loopback::kIPv4);
  // Stops accepting and joins every session (a session still running is cut off).
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  std::uint16_t port() const;
  // "http://127.0.0.1:PORT", or "http://[::1]:PORT"
  std::string BaseUrl() const;
  // Number of connections accepted so far.
  int Connections() const;
  // The raw bytes received on each connection so far, in accept order.
  std::vector<std::string> Requests() const;
  // Waits up to `timeout` until connection `index` has finished its script; returns its bytes.
  std::string WaitForRequest(std::size_t index,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A port on 127.0.0.1 with nothing listening (bound, then released), for refused connections.
std::uint16_t UnusedLoopbackPort();

}  // namespace rztest
