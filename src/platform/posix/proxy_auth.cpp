// Not yet answered on this build: every package is unavailable.
#include "platform/proxy_auth.h"

namespace rz::platform {

struct AuthSession::State {
  std::string reason;
};

AuthSession::AuthSession(AuthPackage, std::string_view, const AuthIdentity&)
    : state_(std::make_unique<State>()) {}

AuthSession::~AuthSession() = default;

AuthStep AuthSession::Step(std::string_view, std::string& token) {
  token.clear();
  return AuthStep::kUnavailable;
}

const std::string& AuthSession::Reason() const { return state_->reason; }

}  // namespace rz::platform
