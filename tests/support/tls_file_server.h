// nginx over TLS as a test fixture: a test CA made at set-up with the openssl command, and four
// TLS servers beside the plain one, all on loopback and serving one docroot:
//   good      - a certificate from the test CA for "localhost" and 127.0.0.1;
//   mismatch  - from the test CA, but for "other.invalid" only;
//   untrusted - for "localhost", from a second CA that nothing trusts;
//   clientOnly - from the test CA for "localhost", but for client authentication only.
// The test CA's PEM file is what a client must trust (SSL_CERT_FILE on Linux, the ROOT store on
// Windows). A bare TLS server of the test's own follows. Linux only; the Windows build compiles
// none of it.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <memory>
#include <string>

#include "support/files.h"
#include "support/nginx_server.h"

namespace rztest {

class TlsFileServer {
 public:
  // `locations` go into the plain server and the good TLS server, e.g. redirects or a
  // proxy_pass. Throws std::runtime_error when the certificates or nginx cannot be made.
  explicit TlsFileServer(const std::string& locations = "");
  ~TlsFileServer();
  TlsFileServer(const TlsFileServer&) = delete;
  TlsFileServer& operator=(const TlsFileServer&) = delete;

  // Why the fixture cannot run here (nginx or openssl missing); empty when it can.
  static std::string Unavailable();
  // The ports the TLS servers will listen on, chosen before nginx starts so that `locations`
  // can name them.
  struct Ports {
    std::uint16_t good, mismatch, untrusted, clientOnly;
  };
  static Ports ChoosePorts();
  explicit TlsFileServer(const Ports& ports, const std::string& locations = "");

  // "https://localhost:PORT" and friends.
  std::string GoodUrl() const;
  std::string GoodIpUrl() const;  // by 127.0.0.1
  std::string MismatchUrl() const;
  std::string UntrustedUrl() const;
  std::string ClientOnlyUrl() const;
  std::string PlainUrl() const;  // "http://localhost:PORT"

  const std::string& CaFile() const { return caFile_; }
  // The folder of the certificates and keys, each NAME.crt and NAME.key: ca, good, ...
  std::string CertDir() const { return certs_.path().string(); }
  NginxServer& nginx() { return *nginx_; }
  void WriteFile(const std::string& path, const std::string& bytes) const {
    nginx_->WriteFile(path, bytes);
  }

 private:
  TempDir certs_{"rz-tls-certs"};
  std::string caFile_;
  Ports ports_{};
  std::unique_ptr<NginxServer> nginx_;
};

// A TLS server of the test's own, with the "good" certificate of a TlsFileServer's CertDir(), for
// what no packaged server does on demand: it answers every request with the same bytes (an
// HTTP/1.0 reply whose body ends with the connection), then either sends close_notify and waits
// for the client to close, as openssl s_server does, or closes without close_notify, as a
// truncating attacker would. An `outdated` one speaks TLS 1.1 at most. One connection at a time,
// each bounded by 5 s of silence.
class TlsReplyServer {
 public:
  enum class Ending { kCloseNotify, kCut };
  // Throws std::runtime_error when it cannot listen or load the certificate.
  TlsReplyServer(const std::string& certDir, std::string reply, Ending ending,
                 bool outdated = false);
  ~TlsReplyServer();
  TlsReplyServer(const TlsReplyServer&) = delete;
  TlsReplyServer& operator=(const TlsReplyServer&) = delete;

  std::string Url() const;  // "https://localhost:PORT"

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rztest

#endif  // _WIN32
