// Automatic configuration on Windows, and one call's state of it. The settings are read the way
// WinHTTP reads them, from the per-connection settings that Windows keeps as their authority (the
// plain registry values only mirror them). A script is asked through the system's own resolver
// where there is one (Windows 8 and later), and through jsproxy.dll where there is not.
//
// Every question runs on one thread of the call's own, one at a time: jsproxy's script engine is
// then always used from the thread that loaded it, and COM, which it needs, is set up there rather
// than on the caller's thread or on a fetch's.
#include "platform/auto_proxy.h"

#include <windows.h>
#include <objbase.h>
#include <winhttp.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/auto_proxy_parts.h"
#include "platform/win32/last_error.h"

namespace rz::platform {
namespace {

// EnableAutoproxyResultCache: 0 in either place makes a script answer each URL afresh.
bool KeepAnswers() {
  for (const char* key :
       {"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"}) {
    DWORD value = 1;
    DWORD size = sizeof value;
    if (::RegGetValueA(HKEY_CURRENT_USER, key, "EnableAutoproxyResultCache", RRF_RT_REG_DWORD,
                       nullptr, &value, &size) == ERROR_SUCCESS &&
        value == 0) {
      return false;
    }
  }
  return true;
}

// Runs one job at a time on a thread of its own, started with the first job.
class Worker {
 public:
  Worker() = default;
  ~Worker() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs `job` there and waits for it to end.
  void Run(const std::function<void()>& job) {
    const std::lock_guard<std::mutex> one(callers_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
    job_ = &job;
    wake_.notify_all();
    wake_.wait(lock, [this] { return job_ == nullptr; });
  }
  bool started() const { return thread_.joinable(); }

 private:
  void Loop() {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return job_ != nullptr || stop_; });
      if (job_ == nullptr) break;
      lock.unlock();
      try {
        (*job_)();
      } catch (const std::exception&) {
        // The job's answer stays what it was before: no answer.
      }
      lock.lock();
      job_ = nullptr;
      wake_.notify_all();
    }
    lock.unlock();
    if (SUCCEEDED(com)) ::CoUninitialize();
  }

  std::mutex callers_;  // one Run at a time
  std::mutex mutex_;
  std::condition_variable wake_;
  const std::function<void()>* job_ = nullptr;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace

AutoProxySettings ReadAutoProxySettings() {
  AutoProxySettings settings;
  if (!win32::ReadConnectionSettings(settings.detect, settings.scriptUrl)) {
    return AutoProxySettings();
  }
  settings.keepAnswers = KeepAnswers();
  return settings;
}

struct ProxyScript::State {
  enum class Phase { kFresh, kSystem, kEngine, kNone };

  explicit State(const AutoProxySettings& given) : settings(given) {}

  // Finds and loads the script: the system's resolver when there is one, else detection (when it
  // is on) and then the named script, fetched and handed to jsproxy.
  void Begin() {
    resolver = std::make_unique<win32::SystemResolver>();
    if (resolver->available()) {
      phase = Phase::kSystem;
      source = settings.scriptUrl.empty() ? "a detected setup script"
               : settings.detect          ? "a detected setup script or " + settings.scriptUrl
                                          : "setup script " + settings.scriptUrl;
      return;
    }
    resolver.reset();
    std::string detected;
    if (settings.detect) detected = win32::DetectScriptUrl(why);
    std::vector<std::string> urls;
    for (const std::string& url : {detected, settings.scriptUrl}) {
      if (!url.empty() && (urls.empty() || urls.front() != url)) urls.push_back(url);
    }
    for (const std::string& url : urls) {
      std::string text;
      std::string failure;
      engine = std::make_unique<win32::ScriptEngine>();
      if (win32::FetchScript(url, text, failure) && engine->Load(std::move(text), failure)) {
        phase = Phase::kEngine;
        source = "setup script " + url;
        return;
      }
      engine.reset();
      why += (why.empty() ? "" : "; ") + ("setup script " + url + " cannot be had: " + failure);
    }
    phase = Phase::kNone;
  }

  ScriptReply Ask(const std::string& url, const std::string& host) {
    if (phase == Phase::kFresh) Begin();
    ScriptReply reply;
    reply.source = source;
    if (phase == Phase::kSystem) {
      const DWORD error = resolver->Ask(url, settings.detect, settings.scriptUrl, reply.text);
      if (error == ERROR_SUCCESS) {
        reply.kind = ScriptReply::Kind::kAnswer;
      } else if (error == ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT) {
        reply.kind = ScriptReply::Kind::kNoAnswer;
        reply.text = "the script failed for this URL";
      } else {
        // No script to be had (not found, not fetched) or no resolver after all: the same answer
        // serves the rest of the call without asking again.
        phase = Phase::kNone;
        why = error == ERROR_WINHTTP_AUTODETECTION_FAILED
                  ? "automatic detection found no setup script"
                  : "no setup script can be had (" + win32::SystemErrorText(error) + ")";
      }
    } else if (phase == Phase::kEngine) {
      std::string failure;
      if (engine->Run(url, host, reply.text, failure)) {
        reply.kind = ScriptReply::Kind::kAnswer;
      } else {
        reply.kind = ScriptReply::Kind::kNoAnswer;
        reply.text = failure;
      }
    }
    if (phase == Phase::kNone) {
      reply.kind = ScriptReply::Kind::kNoScript;
      reply.text = why.empty() ? "no setup script was found" : why;
    }
    return reply;
  }

  const AutoProxySettings settings;
  Phase phase = Phase::kFresh;
  std::string why;     // kNone: why there is no script
  std::string source;  // the script that answers
  std::unique_ptr<win32::SystemResolver> resolver;
  std::unique_ptr<win32::ScriptEngine> engine;
  Worker worker;  // last, so that it ends first
};

ProxyScript::ProxyScript(const AutoProxySettings& settings)
    : state_(std::make_unique<State>(settings)) {}

ProxyScript::~ProxyScript() {
  // The engine and the resolver end on the thread that used them.
  if (state_->worker.started()) {
    state_->worker.Run([this] {
      state_->engine.reset();
      state_->resolver.reset();
    });
  }
}

ScriptReply ProxyScript::Ask(const std::string& url, const std::string& host) {
  ScriptReply reply;
  reply.text = "the question could not be asked";
  state_->worker.Run([&] { reply = state_->Ask(url, host); });
  return reply;
}

}  // namespace rz::platform
