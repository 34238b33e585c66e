// The TLS session on OpenSSL 3. Trust comes from OpenSSL's default verify paths, so SSL_CERT_FILE
// and SSL_CERT_DIR work as they do for every other OpenSSL program.
#include "platform/tls_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include "platform/last_error.h"

namespace rz::platform {
namespace {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct BioMethodFree {
  void operator()(BIO_METHOD* method) const { BIO_meth_free(method); }
};

// The socket BIO of OpenSSL writes with write(), which raises SIGPIPE on a connection the peer
// closed; this one sends with MSG_NOSIGNAL as the plain path does.
int SocketBioWrite(BIO* bio, const char* data, int count) {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  const ssize_t sent = send(fd, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(sent);
}

int SocketBioRead(BIO* bio, char* buffer, int capacity) {
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  const ssize_t received = recv(fd, buffer, static_cast<std::size_t>(capacity), 0);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(received);
}

long SocketBioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketBioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketBioMethod() {
  static const std::unique_ptr<BIO_METHOD, BioMethodFree> method([] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rz socket");
    if (made != nullptr) {
      BIO_meth_set_write(made, SocketBioWrite);
      BIO_meth_set_read(made, SocketBioRead);
      BIO_meth_set_ctrl(made, SocketBioCtrl);
      BIO_meth_set_create(made, SocketBioCreate);
    }
    return made;
  }());
  return method.get();
}

// The host as a bare address literal ("[::1]" loses its brackets), or empty for a name.
std::string AddressLiteral(const std::string& host) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  std::array<unsigned char, 16> address{};
  if (inet_pton(AF_INET, bare.c_str(), address.data()) == 1 ||
      inet_pton(AF_INET6, bare.c_str(), address.data()) == 1) {
    return bare;
  }
  return {};
}

// OpenSSL's first queued error in words, noted for the failure line; the queue is emptied.
void NoteOpenSslError(const char* what) {
  std::string text = std::string("OpenSSL ") + what;
  if (const unsigned long code = ERR_get_error(); code != 0) {
    std::array<char, 200> reason{};
    ERR_error_string_n(code, reason.data(), reason.size());
    text.append(": ").append(reason.data());
  }
  ERR_clear_error();
  NoteErrorText(text);
}

struct SessionFree {
  void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
};
using SessionRef = std::unique_ptr<SSL_SESSION, SessionFree>;

// A client context: TLS 1.2 at least, the default trust store, the peer always verified. Null
// when OpenSSL cannot make one.
SSL_CTX* NewClientContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_default_verify_paths(ctx) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  return ctx;
}

// Where an SSL object keeps its link to the cache, for the new-session callback.
int StateIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

// One context for the call, made on first use, and the last session of each origin ("host:port").
// Sessions come from handshakes whose chain and name were checked; only the session's own origin
// resumes it.
struct TlsSessionCache::State {
  std::mutex mutex;
  bool tried = false;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  std::map<std::string, SessionRef> sessions;

  // The shared context with one more reference for the caller, or null.
  SSL_CTX* Context();
  SessionRef SessionOf(const std::string& origin);
  void Keep(const std::string& origin, SSL_SESSION* session);
};

namespace {

// Which cache and origin a session's SSL object reports its new sessions to.
struct CacheLink {
  TlsSessionCache::State* cache = nullptr;
  std::string origin;
};

// OpenSSL hands every session a server grants here (TLS 1.3 tickets arrive after the handshake,
// during a read): the origin's entry in the cache takes it. 1: the reference is kept.
int OnNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* link = static_cast<CacheLink*>(SSL_get_ex_data(ssl, StateIndex()));
  if (link == nullptr || link->cache == nullptr) return 0;
  link->cache->Keep(link->origin, session);
  return 1;
}

}  // namespace

SSL_CTX* TlsSessionCache::State::Context() {
  const std::lock_guard<std::mutex> lock(mutex);
  if (!tried) {
    tried = true;
    ctx.reset(NewClientContext());
    if (ctx) {
      SSL_CTX_set_session_cache_mode(ctx.get(),
                                     SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
      SSL_CTX_sess_set_new_cb(ctx.get(), OnNewSession);
    }
  }
  if (!ctx || SSL_CTX_up_ref(ctx.get()) != 1) return nullptr;
  return ctx.get();
}

SessionRef TlsSessionCache::State::SessionOf(const std::string& origin) {
  const std::lock_guard<std::mutex> lock(mutex);
  const auto found = sessions.find(origin);
  if (found == sessions.end() || SSL_SESSION_is_resumable(found->second.get()) != 1) return {};
  if (SSL_SESSION_up_ref(found->second.get()) != 1) return {};
  return SessionRef(found->second.get());
}

void TlsSessionCache::State::Keep(const std::string& origin, SSL_SESSION* session) {
  SessionRef taken(session);
  const std::lock_guard<std::mutex> lock(mutex);
  sessions[origin].swap(taken);  // the one it replaces is freed once the lock is released
}

TlsSessionCache::TlsSessionCache() : state_(new State) {}
TlsSessionCache::~TlsSessionCache() = default;

struct TlsSession::State {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  CacheLink link;  // named in the SSL object, so it outlives it
  std::unique_ptr<SSL, SslFree> ssl;
  TlsFailure failure = TlsFailure::kNone;
  bool established = false;
};

TlsSession::TlsSession(SocketHandle socket, const char* host, TlsSessionCache* cache, int port)
    : state_(new State) {
  ERR_clear_error();
  const int fd = static_cast<int>(socket);
  const int flags = fcntl(fd, F_GETFL, 0);
  if (host == nullptr || flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;

  // Without a cache the session has a context of its own, as every session had before the cache.
  state_->ctx.reset(cache != nullptr ? cache->state().Context() : NewClientContext());
  SSL_CTX* ctx = state_->ctx.get();
  if (ctx == nullptr) return;

  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx));
  const BIO_METHOD* method = SocketBioMethod();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (!ssl || bio == nullptr) {
    BIO_free(bio);
    return;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  SSL_set_bio(ssl.get(), bio, bio);  // the session owns the BIO from here on
  SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  // An address is checked as an address and never named in SNI, which carries host names only.
  const std::string literal = AddressLiteral(host);
  const bool named =
      literal.empty()
          ? SSL_set_tlsext_host_name(ssl.get(), host) == 1 && SSL_set1_host(ssl.get(), host) == 1
          : X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), literal.c_str()) == 1;
  if (!named) return;
  if (cache != nullptr) {
    state_->link = {&cache->state(), std::string(host) + ":" + std::to_string(port)};
    if (SSL_set_ex_data(ssl.get(), StateIndex(), &state_->link) != 1) return;
    // A session the server no longer knows costs nothing: it answers with a full handshake.
    const SessionRef resumed = cache->state().SessionOf(state_->link.origin);
    if (resumed && SSL_set_session(ssl.get(), resumed.get()) != 1) return;
  }
  state_->ssl = std::move(ssl);
}

TlsSession::~TlsSession() {
  // close_notify, best effort and without waiting for the server's own.
  if (state_->established) SSL_shutdown(state_->ssl.get());
  ERR_clear_error();
}

TlsStep TlsSession::Handshake() {
  if (!state_->ssl) {
    NoteOpenSslError("session set-up failed");
    state_->failure = TlsFailure::kHandshake;
    return TlsStep::kFailed;
  }
  ERR_clear_error();
  const int done = SSL_connect(state_->ssl.get());
  if (done == 1) {
    state_->established = true;
    return TlsStep::kDone;
  }
  const int error = SSL_get_error(state_->ssl.get(), done);
  if (error == SSL_ERROR_WANT_READ) return TlsStep::kWantRead;
  if (error == SSL_ERROR_WANT_WRITE) return TlsStep::kWantWrite;

  const long verified = SSL_get_verify_result(state_->ssl.get());
  if (verified == X509_V_OK) {
    state_->failure = TlsFailure::kHandshake;
    NoteOpenSslError("handshake failed");
    return TlsStep::kFailed;
  }
  switch (verified) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      state_->failure = TlsFailure::kExpired;
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      state_->failure = TlsFailure::kNameMismatch;
      break;
    default:
      state_->failure = TlsFailure::kUntrusted;
      break;
  }
  ERR_clear_error();
  NoteErrorText("OpenSSL verify error " + std::to_string(verified) + ": " +
                X509_verify_cert_error_string(verified));
  return TlsStep::kFailed;
}

TlsStep TlsSession::Send(const char* data, int count, int& sent) {
  sent = 0;
  if (!state_->established) return TlsStep::kCut;
  ERR_clear_error();
  const int written = SSL_write(state_->ssl.get(), data, count);
  if (written > 0) {
    sent = written;
    return TlsStep::kDone;
  }
  const int error = SSL_get_error(state_->ssl.get(), written);
  if (error == SSL_ERROR_WANT_WRITE) return TlsStep::kWantWrite;
  if (error == SSL_ERROR_WANT_READ) return TlsStep::kWantRead;
  NoteOpenSslError("send failed");
  return TlsStep::kCut;
}

TlsStep TlsSession::Receive(char* buffer, int capacity, int& received) {
  received = 0;
  if (!state_->established) return TlsStep::kCut;
  ERR_clear_error();
  const int read = SSL_read(state_->ssl.get(), buffer, capacity);
  if (read > 0) {
    received = read;
    return TlsStep::kDone;
  }
  const int error = SSL_get_error(state_->ssl.get(), read);
  if (error == SSL_ERROR_WANT_READ) return TlsStep::kWantRead;
  if (error == SSL_ERROR_WANT_WRITE) return TlsStep::kWantWrite;
  if (error == SSL_ERROR_ZERO_RETURN) {
    ERR_clear_error();
    return TlsStep::kClosed;
  }
  // A plain end of the stream (OpenSSL 3 reports it as an error of its own) or a bad record.
  NoteOpenSslError("connection ended without close_notify");
  return TlsStep::kCut;
}

bool TlsSession::HasBuffered() const {
  return state_->established && SSL_pending(state_->ssl.get()) > 0;
}

bool TlsSession::HoldsAnything() const {
  return state_->ssl && SSL_has_pending(state_->ssl.get()) == 1;
}

TlsFailure TlsSession::failure() const { return state_->failure; }

}  // namespace rz::platform
