// One call's automatic configuration on Windows: which engine answers (the system's own resolver
// where there is one, Windows 8 and later; jsproxy.dll where there is not), found on the first
// question, and what the call has learnt of it. The settings are read in auto_proxy_winhttp.cpp.
//
// The call's worker is the one place where its questions wait for each other: every question,
// the search for the script included, runs there as one job, one at a time. The download pass
// asks it without a lock of its own (it only keeps fetches of one origin from asking twice), and
// jsproxy's engine lock orders different calls' workers, never one call's questions.
#include "platform/auto_proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/com_worker.h"
#include "platform/win32/last_error.h"
#include "platform/win32/proxy_script_engines.h"

namespace rz::platform {

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
  win32::ComWorker worker;  // last, so that it ends first
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
