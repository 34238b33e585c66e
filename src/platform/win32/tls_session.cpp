// The TLS session on Schannel (SSPI). Schannel is told to leave the server's certificate to us
// (SCH_CRED_MANUAL_CRED_VALIDATION), and tls_certificate.cpp checks the chain and the name with
// the system's chain engine, so that every Schannel checks them alike: some complete a handshake
// with an untrusted certificate when left to themselves.
//
// This half sets the session up and runs its handshakes, the first and any the server asks for
// later, with the checks after each; tls_records.cpp reads and writes records once it is open.
#include "platform/tls_session.h"

#include <memory>
#include <mutex>
#include <string>

#include "platform/last_error.h"
#include "platform/win32/tls_certificate.h"
#include "platform/win32/tls_session_state.h"

namespace rz::platform {
namespace {

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS;
// The versions a session may end with, whatever the credentials asked for: Wine's Schannel takes
// the newer credentials but not their list of disabled versions, and offers TLS 1.0 and 1.1 too.
constexpr DWORD kAcceptedProtocols = SP_PROT_TLS1_2 | SP_PROT_TLS1_3;

// A token that Schannel allocated (ISC_REQ_ALLOCATE_MEMORY).
class ContextBuffer {
 public:
  ContextBuffer() = default;
  ~ContextBuffer() {
    if (buffer_.pvBuffer != nullptr) FreeContextBuffer(buffer_.pvBuffer);
  }
  ContextBuffer(const ContextBuffer&) = delete;
  ContextBuffer& operator=(const ContextBuffer&) = delete;
  SecBuffer& get() { return buffer_; }

 private:
  SecBuffer buffer_{0, SECBUFFER_TOKEN, nullptr};
};

bool IsAddressLiteral(const std::string& host) {
  if (host.find(':') != std::string::npos) return true;  // IPv6, bracketed or not
  sockaddr_in address{};
  int length = sizeof address;
  std::string copy = host;
  return WSAStringToAddressA(copy.data(), AF_INET, nullptr, reinterpret_cast<sockaddr*>(&address),
                             &length) == 0;
}

std::wstring Widen(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

// Client credentials that leave the server's certificate to us. SEC_E_OK, or Schannel's refusal.
SECURITY_STATUS AcquireClientCredentials(CredHandle& cred) {
  constexpr DWORD kFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  TimeStamp expiry{};
  // TLS 1.3 needs the newer structure, which only recent systems know; they get 1.2 and 1.3.
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols =
      static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kFlags | SCH_USE_STRONG_CRYPTO;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                nullptr, &modern, nullptr, nullptr, &cred, &expiry);
  if (status != SEC_E_OK) {
    // Older systems refuse that structure: TLS 1.2 alone through the one they know.
    SCHANNEL_CRED legacy{};
    legacy.dwVersion = SCHANNEL_CRED_VERSION;
    legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    legacy.dwFlags = kFlags;
    status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &legacy, nullptr, nullptr, &cred, &expiry);
  }
  return status;
}

}  // namespace

// One credential handle for the call, acquired on first use. Schannel keeps the sessions of the
// handshakes made under a handle and offers them again to the same server name, so every new
// connection of the call to a server it already reached may resume.
struct TlsSessionCache::State {
  std::mutex mutex;
  bool tried = false;
  bool haveCred = false;
  CredHandle cred{};

  ~State() {
    if (haveCred) FreeCredentialsHandle(&cred);
  }
  // The shared handle in `out`, or false when it cannot be had.
  bool Credentials(CredHandle& out) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!tried) {
      tried = true;
      const SECURITY_STATUS status = AcquireClientCredentials(cred);
      haveCred = status == SEC_E_OK;
      if (!haveCred) NoteResultCode(status);
    }
    if (haveCred) out = cred;
    return haveCred;
  }
};

TlsSessionCache::TlsSessionCache() : state_(new State) {}
TlsSessionCache::~TlsSessionCache() = default;

bool TlsSession::State::AcquireCredentials() {
  const SECURITY_STATUS status = AcquireClientCredentials(cred);
  if (status != SEC_E_OK) {
    NoteResultCode(status);
    return false;
  }
  haveCred = true;
  return true;
}

TlsStep TlsSession::State::Fail(TlsFailure why, long code) {
  failure = why;
  phase = Phase::kFailed;
  NoteResultCode(code);
  return TlsStep::kFailed;
}

int TlsSession::State::Flush() {
  while (!outgoing.empty()) {
    const int sent = ::send(socket, outgoing.data(), static_cast<int>(outgoing.size()), 0);
    if (sent == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
      NoteSocketError();
      return -1;
    }
    outgoing.erase(0, static_cast<std::size_t>(sent));
  }
  return 1;
}

int TlsSession::State::Fill() {
  if (incoming.size() >= kMaxIncoming) return -2;  // no record is this long
  const std::size_t had = incoming.size();
  incoming.resize(kMaxIncoming);
  const int received =
      ::recv(socket, incoming.data() + had, static_cast<int>(kMaxIncoming - had), 0);
  incoming.resize(had + (received > 0 ? static_cast<std::size_t>(received) : 0));
  if (received > 0) return 1;
  if (received == 0) return -1;
  if (::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  NoteSocketError();
  return -2;
}

// Runs the current handshake as far as the socket allows. Bytes past its last message stay in
// `incoming` for DecryptMessage.
TlsStep TlsSession::State::RunHandshake() {
  for (;;) {
    if (const int flushed = Flush(); flushed <= 0) {
      return flushed == 0 ? TlsStep::kWantWrite
                          : Fail(TlsFailure::kHandshake, SEC_E_INTERNAL_ERROR);
    }
    if (contextDone) return Establish();

    const bool first = !haveContext;
    // A renegotiation begins with the records DecryptMessage handed back. An Schannel that kept
    // them (older Windows) is called with no input at all, never with an empty buffer.
    const bool noInput = first || (renegotiationStart && incoming.empty());
    renegotiationStart = false;
    if (!noInput && incoming.empty()) {
      const int filled = Fill();
      if (filled == 0) return TlsStep::kWantRead;
      if (filled < 0) return Fail(TlsFailure::kHandshake, SEC_E_INCOMPLETE_MESSAGE);
    }
    SecBuffer in[2] = {
        {static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    ContextBuffer token;
    SecBuffer out[1] = {token.get()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    TimeStamp expiry{};
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &cred, first ? nullptr : &context,
        serverName.empty() ? nullptr : const_cast<wchar_t*>(serverName.c_str()), kContextRequest, 0,
        0, noInput ? nullptr : &inDesc, 0, first ? &context : nullptr, &outDesc, &attributes,
        &expiry);
    token.get() = out[0];  // freed by `token` on every way out
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext = true;

    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (noInput) {
        // Wine's Schannel read the server's renegotiation request inside DecryptMessage and will
        // not write its answer without a record to read first: it cannot renegotiate at all.
        NoteErrorText("Schannel cannot answer the server's request to renegotiate");
        return Fail(TlsFailure::kHandshake, status);
      }
      // Part of a record: keep it and read the rest.
      const int filled = Fill();
      if (filled == 0) return TlsStep::kWantRead;
      if (filled < 0) return Fail(TlsFailure::kHandshake, status);
      continue;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && !credentialsRetried) {
      // The server asks for a client certificate. This client has none to offer: called again
      // with the same records, Schannel answers without one.
      credentialsRetried = true;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      return Fail(FailureOf(status), status);
    }
    if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr) {
      outgoing.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
    }
    if (!noInput) {
      // What the call did not consume is the start of the next message.
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= incoming.size()) {
        incoming.erase(incoming.begin(), incoming.end() - in[1].cbBuffer);
      } else {
        incoming.clear();
      }
    }
    if (status == SEC_E_OK) contextDone = true;
  }
}

// Once Schannel completes a handshake, the first or a later one: the record sizes, the version
// and the server's certificate, checked alike every time, since a later handshake may bring
// another certificate.
TlsStep TlsSession::State::Establish() {
  contextDone = false;
  if (QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK) {
    return Fail(TlsFailure::kHandshake, SEC_E_INTERNAL_ERROR);
  }
  SecPkgContext_ConnectionInfo info{};
  if (QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
      (info.dwProtocol & kAcceptedProtocols) == 0) {
    NoteErrorText("Schannel: the server's TLS version is older than 1.2");
    return Fail(TlsFailure::kHandshake, SEC_E_UNSUPPORTED_FUNCTION);
  }
  // An address is matched as the name; Wine's check knows DNS names only.
  long code = 0;
  const TlsFailure why =
      CheckServerCertificate(context, serverName.empty() ? Widen(host) : serverName, code);
  if (why != TlsFailure::kNone) return Fail(why, code);
  phase = Phase::kOpen;
  opened = true;
  return TlsStep::kDone;
}

void TlsSession::State::SendCloseNotify() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control[1] = {{sizeof type, SECBUFFER_TOKEN, &type}};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, control};
  if (ApplyControlToken(&context, &controlDesc) != SEC_E_OK) return;
  ContextBuffer token;
  SecBuffer out[1] = {token.get()};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  TimeStamp expiry{};
  const SECURITY_STATUS status =
      InitializeSecurityContextW(&cred, &context, nullptr, kContextRequest, 0, 0, nullptr, 0,
                                 nullptr, &outDesc, &attributes, &expiry);
  token.get() = out[0];
  if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out[0].cbBuffer > 0) {
    outgoing.assign(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
    Flush();  // best effort, without waiting
  }
}

TlsSession::TlsSession(SocketHandle socket, const char* host, TlsSessionCache* cache, int)
    : state_(new State) {
  if (host == nullptr) return;
  state_->socket = static_cast<SOCKET>(socket);
  state_->host = host;
  if (state_->host.size() > 2 && state_->host.front() == '[' && state_->host.back() == ']') {
    state_->host = state_->host.substr(1, state_->host.size() - 2);
  }
  // An address is never named in SNI, which carries host names only.
  if (!IsAddressLiteral(state_->host)) state_->serverName = Widen(state_->host);
  u_long nonBlocking = 1;
  if (::ioctlsocket(state_->socket, FIONBIO, &nonBlocking) != 0) {
    NoteSocketError();
    state_->socket = INVALID_SOCKET;
    return;
  }
  if (cache != nullptr) {
    state_->haveCred = cache->state().Credentials(state_->cred);
    state_->ownsCred = false;
    return;
  }
  state_->AcquireCredentials();
}

TlsSession::~TlsSession() {
  const State::Phase phase = state_->phase;
  if (phase == State::Phase::kOpen || phase == State::Phase::kClosed) state_->SendCloseNotify();
}

TlsStep TlsSession::Handshake() {
  State& s = *state_;
  if (s.socket == INVALID_SOCKET || !s.haveCred) {
    s.failure = TlsFailure::kHandshake;
    s.phase = State::Phase::kFailed;
  }
  if (s.phase == State::Phase::kFailed) return TlsStep::kFailed;
  if (s.opened) return TlsStep::kDone;
  return s.RunHandshake();
}

TlsFailure TlsSession::failure() const { return state_->failure; }

}  // namespace rz::platform
