// Stands in for the platform's security library at link time: the targets feed answers outside a
// handshake, so no token is ever made, and none of GSS-API's state enters a fuzzing run.
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
