// A TLS client session over a connected TCP socket: OpenSSL on Linux, Schannel (SSPI) on Windows.
// TLS 1.2 at least, 1.3 where the platform has it; the platform's own trust store; the server's
// chain (for server authentication) and its name (or IP address) checked after every handshake,
// a renegotiation's included, with no way to turn that off.
//
// Every call here is one non-blocking step: a step that needs the socket readable or writable
// says so, and the caller waits in its own slices and calls again. The budgets, callbacks and
// status codes of the download engine live above this layer.
#pragma once

#include <memory>

#include "platform/socket.h"

namespace rz::platform {

enum class TlsStep {
  kDone,       // the handshake is complete, or bytes were moved
  kWantRead,   // call again once the socket is readable
  kWantWrite,  // call again once the socket is writable
  kClosed,     // the peer's close_notify: the connection ended cleanly
  kCut,        // the connection ended without close_notify, or a record could not be read
  kFailed,     // the session could not be set up or its handshake failed; see failure()
};

// Why a handshake failed. The platform's code and words are noted for the failure line.
enum class TlsFailure { kNone, kUntrusted, kExpired, kNameMismatch, kHandshake };

// What the sessions of one call share, so that a new connection to an origin the call already
// reached resumes its TLS session instead of a full handshake: on Linux one OpenSSL context (the
// trust store read once) and the last session each origin gave; on Windows one credential handle,
// under which Schannel keeps and resumes sessions by itself. Safe to use from several threads; it
// must outlive every session made with it, and nothing of it outlives the call.
class TlsSessionCache {
 public:
  TlsSessionCache();
  ~TlsSessionCache();
  TlsSessionCache(const TlsSessionCache&) = delete;
  TlsSessionCache& operator=(const TlsSessionCache&) = delete;

  struct State;
  State& state() { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

class TlsSession {
 public:
  // Prepares a client session for `host` (a name, or an IPv4 or IPv6 literal, which is then
  // checked as an address and never sent as SNI) over `socket`, which is switched to non-blocking
  // mode and stays owned by the caller. A session that cannot be prepared fails its Handshake.
  // With a cache, the session resumes the last one of `host` and `port` in it when the server
  // agrees, and leaves its own there for the next; the certificate checks are the same either way.
  TlsSession(SocketHandle socket, const char* host, TlsSessionCache* cache = nullptr, int port = 0);
  // Sends close_notify when the handshake completed, then releases every platform object.
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // One step of the handshake: kDone, kWantRead, kWantWrite or kFailed.
  TlsStep Handshake();
  // Encrypts and sends up to `count` bytes: kDone with `sent` set, kWantWrite, kWantRead, or
  // kCut when the connection failed.
  TlsStep Send(const char* data, int count, int& sent);
  // Delivers up to `capacity` decrypted bytes: kDone with `received` above 0, kWantRead,
  // kWantWrite, kClosed or kCut; kFailed when a handshake the server started fails (see
  // failure()). A server's request for a client certificate is answered with none.
  TlsStep Receive(char* buffer, int capacity, int& received);
  // Whether Receive can make progress without a socket wait: decrypted bytes or a whole record
  // are waiting, or the end or a handshake is already known.
  bool HasBuffered() const;
  // Whether any byte of the connection is held and not yet delivered: decrypted, or received and
  // not yet decrypted. A connection kept for another request must hold none.
  bool HoldsAnything() const;

  TlsFailure failure() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace rz::platform
