// The TLS session on Schannel (SSPI). Schannel is told to leave the server's certificate to us
// (SCH_CRED_MANUAL_CRED_VALIDATION), and tls_certificate.cpp checks the chain and the name with
// the system's chain engine, so that every Schannel checks them alike: some complete a handshake
// with an untrusted certificate when left to themselves.
#include "platform/tls_session.h"

#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <windows.h>
#include <subauth.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/win32/tls_certificate.h"

namespace rz::platform {
namespace {

// Room for a whole record with its header and trailer, and the start of the next.
constexpr std::size_t kMaxIncoming = 64 * 1024;
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS;

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

}  // namespace

struct TlsSession::State {
  SOCKET socket = INVALID_SOCKET;
  std::string host;
  std::wstring serverName;  // for SNI and the name check; empty for an address literal
  CredHandle cred{};
  bool haveCred = false;
  CtxtHandle context{};
  bool haveContext = false;
  bool handshakeDone = false;  // Schannel finished; the certificate may still be unchecked
  bool established = false;    // and the certificate passed
  bool renegotiating = false;  // a post-handshake message is being fed back to the handshake
  bool feed = false;           // the next handshake call goes ahead even with nothing received
  bool closed = false;
  bool cut = false;
  TlsFailure failure = TlsFailure::kNone;
  SecPkgContext_StreamSizes sizes{};
  std::vector<char> incoming;  // received, not yet decrypted
  std::string outgoing;        // encrypted, not yet sent
  int pendingPlain = 0;        // plaintext bytes that `outgoing` carries for Send
  std::string plain;           // decrypted, not yet delivered
  std::size_t plainAt = 0;

  ~State() {
    if (haveContext) DeleteSecurityContext(&context);
    if (haveCred) FreeCredentialsHandle(&cred);
  }

  bool AcquireCredentials();
  TlsStep Fail(TlsFailure why, long code);
  // 1 when everything queued went out, 0 when the socket would block, -1 on failure.
  int Flush();
  // 1 when bytes arrived, 0 when none are waiting, -1 when the peer closed, -2 on failure.
  int Fill();
  TlsStep RunHandshake();
  TlsStep CheckCertificate();
  void SendCloseNotify();
};

bool TlsSession::State::AcquireCredentials() {
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
  if (status != SEC_E_OK) {
    NoteResultCode(status);
    return false;
  }
  haveCred = true;
  return true;
}

TlsStep TlsSession::State::Fail(TlsFailure why, long code) {
  failure = why;
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

// Runs the handshake (or the handshake messages of an established session) as far as the socket
// allows. Extra bytes past a handshake message stay in `incoming` for what comes next.
TlsStep TlsSession::State::RunHandshake() {
  for (;;) {
    if (const int flushed = Flush(); flushed <= 0) {
      return flushed == 0 ? TlsStep::kWantWrite
                          : Fail(TlsFailure::kHandshake, SEC_E_INTERNAL_ERROR);
    }
    if (handshakeDone) return CheckCertificate();

    const bool first = !haveContext;
    if (!first && incoming.empty() && !feed) {
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
        0, first ? nullptr : &inDesc, 0, first ? &context : nullptr, &outDesc, &attributes,
        &expiry);
    token.get() = out[0];  // freed by `token` on every way out
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext = true;
    feed = false;

    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      // Part of a record: keep it and read the rest.
      const int filled = Fill();
      if (filled == 0) return TlsStep::kWantRead;
      if (filled < 0) return Fail(TlsFailure::kHandshake, status);
      continue;
    }
    // SEC_I_INCOMPLETE_CREDENTIALS among them: this client has no certificate to offer.
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      return Fail(FailureOf(status), status);
    }
    if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr) {
      outgoing.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
    }
    if (!first) {
      // What the call did not consume is the start of the next message.
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= incoming.size()) {
        incoming.erase(incoming.begin(), incoming.end() - in[1].cbBuffer);
      } else {
        incoming.clear();
      }
    }
    if (status == SEC_E_OK) {
      handshakeDone = true;
      if (QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK) {
        return Fail(TlsFailure::kHandshake, SEC_E_INTERNAL_ERROR);
      }
    }
  }
}

TlsStep TlsSession::State::CheckCertificate() {
  if (established) return TlsStep::kDone;
  // An address is matched as the name; Wine's check knows DNS names only.
  long code = 0;
  const TlsFailure why =
      CheckServerCertificate(context, serverName.empty() ? Widen(host) : serverName, code);
  if (why != TlsFailure::kNone) return Fail(why, code);
  established = true;
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

TlsSession::TlsSession(SocketHandle socket, const char* host) : state_(new State) {
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
  state_->AcquireCredentials();
}

TlsSession::~TlsSession() {
  if (state_->established && !state_->cut) state_->SendCloseNotify();
}

TlsStep TlsSession::Handshake() {
  if (state_->socket == INVALID_SOCKET || !state_->haveCred) {
    state_->failure = TlsFailure::kHandshake;
    return TlsStep::kFailed;
  }
  if (state_->failure != TlsFailure::kNone) return TlsStep::kFailed;
  return state_->RunHandshake();
}

TlsStep TlsSession::Send(const char* data, int count, int& sent) {
  sent = 0;
  State& s = *state_;
  if (!s.established || s.cut) return TlsStep::kCut;
  if (s.outgoing.empty()) {
    // One record at a time; a record that went out in part is finished before the next.
    const int take = static_cast<int>(
        std::min<unsigned long>(static_cast<unsigned long>(count), s.sizes.cbMaximumMessage));
    std::vector<char> record(s.sizes.cbHeader + static_cast<unsigned long>(take) +
                             s.sizes.cbTrailer);
    std::memcpy(record.data() + s.sizes.cbHeader, data, static_cast<std::size_t>(take));
    SecBuffer buffers[4] = {
        {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(take), SECBUFFER_DATA, record.data() + s.sizes.cbHeader},
        {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + s.sizes.cbHeader + take},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&s.context, 0, &desc, 0);
    if (status != SEC_E_OK) {
      NoteResultCode(status);
      s.cut = true;
      return TlsStep::kCut;
    }
    s.outgoing.assign(record.data(),
                      buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    s.pendingPlain = take;
  }
  const int flushed = s.Flush();
  if (flushed < 0) {
    s.cut = true;
    return TlsStep::kCut;
  }
  if (flushed == 0) return TlsStep::kWantWrite;  // called again with the same bytes
  sent = s.pendingPlain;
  s.pendingPlain = 0;
  return TlsStep::kDone;
}

TlsStep TlsSession::Receive(char* buffer, int capacity, int& received) {
  received = 0;
  State& s = *state_;
  if (!s.established) return TlsStep::kCut;
  for (;;) {
    if (s.plainAt < s.plain.size()) {
      const std::size_t take =
          std::min(s.plain.size() - s.plainAt, static_cast<std::size_t>(capacity));
      std::memcpy(buffer, s.plain.data() + s.plainAt, take);
      s.plainAt += take;
      received = static_cast<int>(take);
      return TlsStep::kDone;
    }
    s.plain.clear();
    s.plainAt = 0;
    if (s.closed) return TlsStep::kClosed;
    if (s.cut) return TlsStep::kCut;
    if (s.renegotiating) {
      const TlsStep step = s.RunHandshake();
      if (step == TlsStep::kFailed) {
        s.cut = true;
        return TlsStep::kCut;
      }
      if (step != TlsStep::kDone) return step;
      s.renegotiating = false;
    }

    SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(s.incoming.size()), SECBUFFER_DATA, s.incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    if (!s.incoming.empty()) {
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      status = DecryptMessage(&s.context, &desc, 0, nullptr);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      // A partial record stays buffered until the rest arrives.
      const int filled = s.Fill();
      if (filled == 0) return TlsStep::kWantRead;
      if (filled < 0) {
        if (filled == -1) NoteErrorText("Schannel: connection ended without close_notify");
        s.cut = true;
        return TlsStep::kCut;
      }
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      NoteResultCode(status);
      s.cut = true;
      return TlsStep::kCut;
    }
    std::string extra;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        s.plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
    }
    s.incoming.assign(extra.begin(), extra.end());
    if (status == SEC_I_CONTEXT_EXPIRED) s.closed = true;  // close_notify
    // A post-handshake message (a TLS 1.3 session ticket, a renegotiation) goes back to the
    // handshake call, with whatever followed it.
    if (status == SEC_I_RENEGOTIATE) {
      s.renegotiating = true;
      s.feed = true;
      s.handshakeDone = false;
    }
  }
}

bool TlsSession::HasBuffered() const {
  return state_->plainAt < state_->plain.size() ||
         (state_->established && !state_->incoming.empty() && !state_->renegotiating);
}

TlsFailure TlsSession::failure() const { return state_->failure; }

}  // namespace rz::platform
