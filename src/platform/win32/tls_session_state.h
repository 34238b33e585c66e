// The state of one Schannel session, shared by its two halves: tls_session.cpp sets it up and
// runs its handshakes; tls_records.cpp reads and writes records once it is open. Windows only.
#pragma once

#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <windows.h>
#include <subauth.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <schannel.h>
#include <security.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/tls_session.h"

namespace rz::platform {

struct TlsSession::State {
  enum class Phase {
    kHandshake,  // a handshake runs: the first one, or one the server asked for later
    kOpen,       // the version and the certificate passed: records carry application data
    kClosed,     // the server's close_notify arrived; nothing is read after it
    kCut,        // the connection ended without close_notify, or a record could not be read
    kFailed,     // a handshake, or the version or certificate it brought, failed; see `failure`
  };

  // Room for a whole record with its header and trailer, and the start of the next.
  static constexpr std::size_t kMaxIncoming = 64 * 1024;

  SOCKET socket = INVALID_SOCKET;
  std::string host;
  std::wstring serverName;  // for SNI and the name check; empty for an address literal
  CredHandle cred{};
  bool haveCred = false;
  bool ownsCred = true;  // false for the call's shared handle, which its cache frees
  CtxtHandle context{};
  bool haveContext = false;
  Phase phase = Phase::kHandshake;
  bool opened = false;              // the first handshake passed
  bool contextDone = false;         // Schannel finished the running handshake; checks follow
  bool renegotiationStart = false;  // the next handshake call begins one the server asked for
  bool credentialsRetried = false;  // this handshake went on once after a certificate request
  TlsFailure failure = TlsFailure::kNone;
  SecPkgContext_StreamSizes sizes{};
  std::vector<char> incoming;  // received, not yet consumed by Schannel
  std::string outgoing;        // encrypted, not yet sent
  int pendingPlain = 0;        // plaintext bytes that `outgoing` carries for Send
  std::string plain;           // decrypted, not yet delivered
  std::size_t plainAt = 0;

  ~State() {
    if (haveContext) DeleteSecurityContext(&context);
    if (haveCred && ownsCred) FreeCredentialsHandle(&cred);
  }

  bool AcquireCredentials();
  TlsStep Fail(TlsFailure why, long code);
  // 1 when everything queued went out, 0 when the socket would block, -1 on failure.
  int Flush();
  // 1 when bytes arrived, 0 when none are waiting, -1 when the peer closed, -2 on failure.
  int Fill();
  // The running handshake, as far as the socket allows (tls_session.cpp).
  TlsStep RunHandshake();
  // The checks after a handshake: the version, then the certificate.
  TlsStep Establish();
  // One record from the front of `incoming` (tls_records.cpp).
  TlsStep ReadRecord();
  void SendCloseNotify();
};

}  // namespace rz::platform
