// How the Schannel session reads and writes once a handshake has passed.
//
// `incoming` holds received bytes that no call has consumed yet. While a handshake runs,
// InitializeSecurityContext takes them; once the session is open, DecryptMessage takes one record
// from their front, and what follows it (SECBUFFER_EXTRA) waits for the next call. A record
// brings one of:
//   - application data, kept in `plain` until Receive hands it over;
//   - the server's close_notify, which ends the stream there, whether or not the server closes
//     its socket after it (openssl s_server waits for the client's own);
//   - a new handshake (SEC_I_RENEGOTIATE: a TLS 1.2 renegotiation, TLS 1.3's post-handshake
//     messages). Its records go back to InitializeSecurityContext until it completes; then the
//     version and the certificate are checked again as after the first handshake, and reading
//     goes on. One that cannot complete fails at once, with the handshake's reason.
// A connection that ends without close_notify, or mid-record, is a cut.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/win32/tls_session_state.h"

namespace rz::platform {
namespace {

// The content type of an alert record, the first byte of its header.
constexpr char kAlertRecord = 21;

}  // namespace

// Decrypts the record at the front of `incoming`, reading until one is whole: kDone when it was
// taken (its data, if any, waits in `plain`, and the phase says what else it brought), kWantRead,
// or kCut.
TlsStep TlsSession::State::ReadRecord() {
  for (;;) {
    // The record's type, in the clear in every TLS 1.2 record header.
    const bool alert = !incoming.empty() && incoming.front() == kAlertRecord;
    SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(incoming.size()), SECBUFFER_DATA, incoming.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    if (!incoming.empty()) {
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      status = DecryptMessage(&context, &desc, 0, nullptr);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      // A partial record stays buffered until the rest arrives.
      const int filled = Fill();
      if (filled == 0) return TlsStep::kWantRead;
      if (filled < 0) {
        if (filled == -1) NoteErrorText("Schannel: connection ended without close_notify");
        phase = Phase::kCut;
        return TlsStep::kCut;
      }
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      NoteResultCode(status);
      phase = Phase::kCut;
      return TlsStep::kCut;
    }
    std::size_t data = 0;
    std::string extra;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        data += b.cbBuffer;
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
    }
    incoming.assign(extra.begin(), extra.end());
    // close_notify. Windows says so; Wine's GnuTLS-backed Schannel decrypts it to nothing, as it
    // reports every other alert as an error.
    if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert && data == 0)) {
      phase = Phase::kClosed;
    } else if (status == SEC_I_RENEGOTIATE) {
      // A TLS 1.2 renegotiation or a TLS 1.3 post-handshake message: the records go back to the
      // handshake call, with whatever followed them.
      phase = Phase::kHandshake;
      renegotiationStart = true;
      credentialsRetried = false;
    }
    return TlsStep::kDone;
  }
}

TlsStep TlsSession::Send(const char* data, int count, int& sent) {
  sent = 0;
  State& s = *state_;
  if (s.opened && s.phase == State::Phase::kHandshake) {
    // A handshake the server asked for is finished before any data goes out.
    const TlsStep step = s.RunHandshake();
    if (step != TlsStep::kDone) return step == TlsStep::kFailed ? TlsStep::kCut : step;
  }
  if (s.phase != State::Phase::kOpen) return TlsStep::kCut;
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
      s.phase = State::Phase::kCut;
      return TlsStep::kCut;
    }
    s.outgoing.assign(record.data(),
                      buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    s.pendingPlain = take;
  }
  const int flushed = s.Flush();
  if (flushed < 0) {
    s.phase = State::Phase::kCut;
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
  if (!s.opened) return TlsStep::kCut;
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
    TlsStep step = TlsStep::kDone;
    switch (s.phase) {
      case State::Phase::kOpen:
        step = s.ReadRecord();
        break;
      case State::Phase::kHandshake:
        step = s.RunHandshake();
        break;
      case State::Phase::kClosed:
        return TlsStep::kClosed;
      case State::Phase::kCut:
        return TlsStep::kCut;
      case State::Phase::kFailed:
        return TlsStep::kFailed;
    }
    if (step != TlsStep::kDone) return step;
  }
}

bool TlsSession::HasBuffered() const {
  const State& s = *state_;
  if (s.plainAt < s.plain.size()) return true;
  // A record already received, or a handshake or an end that Receive handles without waiting.
  return s.opened && (s.phase != State::Phase::kOpen || !s.incoming.empty());
}

bool TlsSession::HoldsAnything() const {
  return state_->plainAt < state_->plain.size() || !state_->incoming.empty();
}

}  // namespace rz::platform
