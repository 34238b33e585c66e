// The scriptable loopback server: one accept thread, one thread per connection, each running its
// script step by step and recording every byte it receives.
#include "support/script_server.h"

#include "support/test_socket.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace rztest {

Script& Script::ReadRequest() {
  steps_.push_back(Step{Step::Kind::kReadRequest, {}, {}, {}, {}});
  return *this;
}

Script& Script::Send(std::string bytes) {
  steps_.push_back(Step{Step::Kind::kSend, std::move(bytes), {}, {}, {}});
  return *this;
}

Script& Script::SendSplit(const std::string& bytes, const std::vector<std::size_t>& cuts,
                          std::chrono::milliseconds pause) {
  steps_.push_back(Step{Step::Kind::kSendSplit, bytes, cuts, pause, {}});
  return *this;
}

Script& Script::Pause(std::chrono::milliseconds duration) {
  steps_.push_back(Step{Step::Kind::kPause, {}, {}, duration, {}});
  return *this;
}

Script& Script::Close() {
  steps_.push_back(Step{Step::Kind::kClose, {}, {}, {}, {}});
  return *this;
}

Script& Script::Reset() {
  steps_.push_back(Step{Step::Kind::kReset, {}, {}, {}, {}});
  return *this;
}

Script& Script::Hold(std::chrono::milliseconds duration) {
  steps_.push_back(Step{Step::Kind::kHold, {}, {}, duration, {}});
  return *this;
}

Script& Script::Answer(std::function<std::string(const std::string& request)> answer) {
  steps_.push_back(Step{Step::Kind::kAnswer, {}, {}, {}, std::move(answer)});
  return *this;
}

namespace {

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 407:
      return "Proxy Authentication Required";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlice{50};
// Short, so that destruction does not wait long for the accept loop.
constexpr std::chrono::milliseconds kAcceptSlice{10};
constexpr std::chrono::seconds kReadLimit{5};
constexpr std::chrono::seconds kDrainLimit{2};
constexpr std::chrono::milliseconds kDrainQuiet{200};

// Case-insensitive search for "Content-Length:" in a header block; -1 when absent.
long long ContentLength(const std::string& header) {
  std::string lower(header);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string key = "\ncontent-length:";
  const std::size_t at = lower.find(key);
  if (at == std::string::npos) return -1;
  return std::strtoll(lower.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

std::string HttpResponse(int status, const std::string& body,
                         const std::vector<std::string>& headerLines, bool withContentLength) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& line : headerLines) out += line + "\r\n";
  if (withContentLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

Script Respond(std::string response) {
  Script script;
  script.ReadRequest().Send(std::move(response)).Close();
  return script;
}

struct ScriptServer::Impl {
  struct Session {
    std::string received;
    bool done = false;
    socket_t sock = kInvalidSocket;  // guarded by Impl::mutex; invalid once closed
    std::thread thread;
  };

  SocketLibrary library;
  std::vector<Script> scripts;
  socket_t listener = kInvalidSocket;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<Session>> sessions;
  std::thread acceptor;

  bool ipv6 = false;

  Impl(std::vector<Script> s, bool v6) : scripts(std::move(s)), ipv6(v6) {
    if (scripts.empty()) scripts.emplace_back();
    listener = OpenLoopbackListener(&port, ipv6);
    if (listener == kInvalidSocket) throw std::runtime_error("script server: cannot listen");
    acceptor = std::thread([this] { AcceptLoop(); });
  }

  ~Impl() {
    stopping = true;
    changed.notify_all();
    acceptor.join();
    CloseSocket(listener);
    {
      std::lock_guard<std::mutex> lock(mutex);
      // Wakes a session blocked in send; the session itself closes the socket.
      for (auto& s : sessions) {
        if (s->sock != kInvalidSocket) ShutdownBoth(s->sock);
      }
    }
    for (auto& s : sessions) s->thread.join();
  }

  void AcceptLoop() {
    while (!stopping) {
      if (WaitReadable(listener, kAcceptSlice) <= 0) continue;
      const socket_t sock = AcceptConnection(listener);
      if (sock == kInvalidSocket) continue;
      std::lock_guard<std::mutex> lock(mutex);
      const std::size_t index = sessions.size();
      sessions.push_back(std::make_unique<Session>());
      Session* session = sessions.back().get();
      session->sock = sock;
      const Script& script = scripts[std::min(index, scripts.size() - 1)];
      session->thread =
          std::thread([this, session, sock, &script] { Run(*session, sock, script); });
      changed.notify_all();
    }
  }

  // Waits up to `limit` for bytes and appends them to the record.
  // Returns >0 for data, 0 for the peer's close or an error, <0 for nothing within `limit`.
  int ReceiveSome(Session& session, socket_t sock, std::chrono::milliseconds limit) {
    const int ready = WaitReadable(sock, limit);
    if (ready < 0) return 0;
    if (ready == 0) return -1;
    char buf[16384];
    const long n = ReceiveBytes(sock, buf, sizeof buf);
    if (n <= 0) return 0;
    std::lock_guard<std::mutex> lock(mutex);
    session.received.append(buf, static_cast<std::size_t>(n));
    return 1;
  }

  std::string Snapshot(const Session& session) const {
    std::lock_guard<std::mutex> lock(mutex);
    return session.received;
  }

  // Reads one request starting at `consumed`; advances `consumed` past it.
  // Returns false when the peer closed or the time ran out.
  bool ReadRequest(Session& session, socket_t sock, std::size_t& consumed) {
    const auto deadline = Clock::now() + kReadLimit;
    while (!stopping && Clock::now() < deadline) {
      const std::string got = Snapshot(session);
      const std::size_t end = got.find("\r\n\r\n", consumed);
      if (end != std::string::npos) {
        const long long length = ContentLength(got.substr(consumed, end - consumed + 2));
        const std::size_t want = end + 4 + static_cast<std::size_t>(std::max(0LL, length));
        if (got.size() >= want) {
          consumed = want;
          return true;
        }
      }
      if (ReceiveSome(session, sock, kSlice) == 0) return false;
    }
    return false;
  }

  bool SendAll(socket_t sock, const char* data, std::size_t size) {
    while (size > 0) {
      const long n = SendBytes(sock, data, size);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // Sleeps, waking early when the server shuts down. Returns false when it does.
  bool Sleep(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, duration, [this] { return stopping.load(); });
  }

  // Orderly close: send FIN, then read what the peer still sends until it closes or goes quiet,
  // so that unread request bytes do not turn the close into a reset that could destroy the
  // response in flight.
  void CloseOrderly(Session& session, socket_t sock) {
    ShutdownSend(sock);
    const auto deadline = Clock::now() + kDrainLimit;
    while (!stopping && Clock::now() < deadline) {
      if (ReceiveSome(session, sock, kDrainQuiet) <= 0) break;
    }
  }

  void Finish(Session& session, socket_t sock, bool abortive) {
    std::lock_guard<std::mutex> lock(mutex);
    if (abortive) SetLingerZero(sock);
    CloseSocket(sock);
    session.sock = kInvalidSocket;
    session.done = true;
    changed.notify_all();
  }

  void Run(Session& session, socket_t sock, const Script& script) {
    std::size_t consumed = 0;
    bool peerClosed = false;
    for (const auto& step : script.steps()) {
      if (stopping) break;
      switch (step.kind) {
        case Script::Step::Kind::kReadRequest:
          if (!ReadRequest(session, sock, consumed)) peerClosed = true;
          break;
        case Script::Step::Kind::kSend:
          SendAll(sock, step.bytes.data(), step.bytes.size());
          break;
        case Script::Step::Kind::kAnswer: {
          const std::size_t from = consumed;
          if (!ReadRequest(session, sock, consumed)) {
            peerClosed = true;
            break;
          }
          const std::string response = step.answer(Snapshot(session).substr(from, consumed - from));
          SendAll(sock, response.data(), response.size());
          break;
        }
        case Script::Step::Kind::kSendSplit: {
          std::size_t from = 0;
          std::vector<std::size_t> cuts = step.cuts;
          std::sort(cuts.begin(), cuts.end());
          cuts.push_back(step.bytes.size());
          for (std::size_t cut : cuts) {
            cut = std::min(cut, step.bytes.size());
            if (cut <= from) continue;
            if (from > 0 && !Sleep(step.duration)) break;
            if (!SendAll(sock, step.bytes.data() + from, cut - from)) break;
            from = cut;
          }
          break;
        }
        case Script::Step::Kind::kPause:
          Sleep(step.duration);
          break;
        case Script::Step::Kind::kClose:
          CloseOrderly(session, sock);
          return Finish(session, sock, false);
        case Script::Step::Kind::kReset:
          return Finish(session, sock, true);
        case Script::Step::Kind::kHold: {
          const auto deadline = Clock::now() + step.duration;
          while (!stopping && !peerClosed && Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (ReceiveSome(session, sock, std::min(kSlice, left)) == 0) peerClosed = true;
          }
          return Finish(session, sock, false);
        }
      }
    }
    if (!peerClosed) CloseOrderly(session, sock);
    Finish(session, sock, false);
  }
};

ScriptServer::ScriptServer(Script script, Loopback on)
    : ScriptServer(std::vector<Script>{std::move(script)}, on) {}

ScriptServer::ScriptServer(std::vector<Script> scripts, Loopback on)
    : impl_(std::make_unique<Impl>(std::move(scripts), on == Loopback::kIPv6)) {}

ScriptServer::~ScriptServer() = default;

std::uint16_t ScriptServer::port() const { return impl_->port; }

std::string ScriptServer::BaseUrl() const {
  return (impl_->ipv6 ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(impl_->port);
}

int ScriptServer::Connections() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<int>(impl_->sessions.size());
}

std::vector<std::string> ScriptServer::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<std::string> out;
  for (const auto& s : impl_->sessions) out.push_back(s->received);
  return out;
}

std::string ScriptServer::WaitForRequest(std::size_t index, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, timeout, [&] {
    return impl_->sessions.size() > index && impl_->sessions[index]->done;
  });
  return impl_->sessions.size() > index ? impl_->sessions[index]->received : std::string();
}

std::uint16_t UnusedLoopbackPort() {
  SocketLibrary library;
  std::uint16_t port = 0;
  const socket_t sock = BindLoopback(&port);
  if (sock == kInvalidSocket) throw std::runtime_error("cannot bind a loopback port");
  CloseSocket(sock);
  return port;
}

}  // namespace rztest
