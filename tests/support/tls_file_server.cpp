// The TLS fixture: certificates from the openssl command, then one nginx with five servers; and
// the reply server, a thread that takes one connection at a time on a free loopback port.
#ifndef _WIN32

#include "support/tls_file_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/script_server.h"

namespace rztest {
namespace {

constexpr const char* kOpenssl = "/usr/bin/openssl";

void Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

// A CA in dir/name.crt and dir/name.key. Its subject is unique to this run: a trust store that
// kept another run's CA of the same name could otherwise pick that one as the issuer.
void MakeCa(const std::string& dir, const std::string& name) {
  const std::string unique =
      name + "-" + std::to_string(getpid()) + "-" +
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  Run(std::string(kOpenssl) + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" +
      " -days 2 -subj /CN=rz-test-" + unique + " -keyout " + dir + "/" + name + ".key -out " + dir +
      "/" + name + ".crt -addext basicConstraints=critical,CA:TRUE" +
      " -addext keyUsage=critical,keyCertSign,cRLSign");
}

// A certificate dir/name.crt (key dir/name.key) for `altNames` and `usage`, issued by `ca`.
void MakeServer(const std::string& dir, const std::string& name, const std::string& ca,
                const std::string& altNames, const std::string& usage = "serverAuth") {
  const std::string base = dir + "/" + name;
  if (!rztest::WriteFile(base + ".ext", "subjectAltName=" + altNames +
                                            "\nbasicConstraints=CA:FALSE\n"
                                            "keyUsage=digitalSignature\n"
                                            "extendedKeyUsage=" +
                                            usage + "\n")) {
    throw std::runtime_error("cannot write " + base + ".ext");
  }
  Run(std::string(kOpenssl) + " req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" +
      " -subj /CN=" + name + " -keyout " + base + ".key -out " + base + ".csr");
  Run(std::string(kOpenssl) + " x509 -req -days 2 -in " + base + ".csr -CA " + dir + "/" + ca +
      ".crt -CAkey " + dir + "/" + ca + ".key -CAcreateserial -extfile " + base + ".ext -out " +
      base + ".crt");
}

// nginx 1.22 leaves TLS 1.3 out unless asked.
std::string Listen(std::uint16_t port, const std::string& certs, const std::string& name) {
  return "listen 127.0.0.1:" + std::to_string(port) + " ssl;\n    ssl_certificate " + certs + "/" +
         name + ".crt;\n    ssl_certificate_key " + certs + "/" + name +
         ".key;\n    ssl_protocols TLSv1.2 TLSv1.3;\n";
}

}  // namespace

std::string TlsFileServer::Unavailable() {
  if (!NginxServer::Available()) return "nginx is not installed";
  if (access(kOpenssl, X_OK) != 0) return "the openssl command is not installed";
  return {};
}

TlsFileServer::Ports TlsFileServer::ChoosePorts() {
  return {UnusedLoopbackPort(), UnusedLoopbackPort(), UnusedLoopbackPort(), UnusedLoopbackPort()};
}

TlsFileServer::TlsFileServer(const std::string& locations)
    : TlsFileServer(ChoosePorts(), locations) {}

TlsFileServer::TlsFileServer(const Ports& ports, const std::string& locations) : ports_(ports) {
  const std::string dir = certs_.path().string();
  MakeCa(dir, "ca");
  MakeCa(dir, "stranger");
  MakeServer(dir, "good", "ca", "DNS:localhost,IP:127.0.0.1");
  MakeServer(dir, "mismatch", "ca", "DNS:other.invalid");
  MakeServer(dir, "untrusted", "stranger", "DNS:localhost,IP:127.0.0.1");
  MakeServer(dir, "client", "ca", "DNS:localhost,IP:127.0.0.1", "clientAuth");
  caFile_ = dir + "/ca.crt";
  // The extra servers share the docroot, which nginx resolves against its prefix.
  const std::string extra = "  server {\n    " + Listen(ports_.mismatch, dir, "mismatch") +
                            "    root docroot;\n  }\n  server {\n    " +
                            Listen(ports_.untrusted, dir, "untrusted") +
                            "    root docroot;\n  }\n  server {\n    " +
                            Listen(ports_.clientOnly, dir, "client") + "    root docroot;\n  }\n";
  nginx_ = std::make_unique<NginxServer>(Listen(ports_.good, dir, "good") + locations, extra);
}

TlsFileServer::~TlsFileServer() = default;

std::string TlsFileServer::GoodUrl() const {
  return "https://localhost:" + std::to_string(ports_.good);
}
std::string TlsFileServer::GoodIpUrl() const {
  return "https://127.0.0.1:" + std::to_string(ports_.good);
}
std::string TlsFileServer::MismatchUrl() const {
  return "https://localhost:" + std::to_string(ports_.mismatch);
}
std::string TlsFileServer::UntrustedUrl() const {
  return "https://localhost:" + std::to_string(ports_.untrusted);
}
std::string TlsFileServer::ClientOnlyUrl() const {
  return "https://localhost:" + std::to_string(ports_.clientOnly);
}
std::string TlsFileServer::PlainUrl() const {
  return "http://localhost:" + std::to_string(nginx_->port());
}

struct TlsReplyServer::Impl {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx{SSL_CTX_new(TLS_server_method()),
                                                        SSL_CTX_free};
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  std::uint16_t port = 0;
  std::string reply;
  Ending ending = Ending::kCloseNotify;
  std::thread thread;

  void Serve(int fd) const {
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(ctx.get());
    SSL_set_fd(ssl, fd);
    std::array<char, 4096> request{};
    if (SSL_accept(ssl) == 1 && SSL_read(ssl, request.data(), request.size()) > 0 &&
        SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) > 0) {
      // Either way the socket stays open until the client closes it, so that nothing it sent is
      // left unread (which would turn the close into a reset).
      if (ending == Ending::kCloseNotify) {
        SSL_shutdown(ssl);
      } else {
        shutdown(fd, SHUT_WR);
      }
      while (recv(fd, request.data(), request.size(), 0) > 0) {
      }
    }
    SSL_free(ssl);
    close(fd);
  }
};

TlsReplyServer::TlsReplyServer(const std::string& certDir, std::string reply, Ending ending,
                               bool outdated)
    : impl_(new Impl) {
  Impl& s = *impl_;
  if (outdated && s.ctx) {
    SSL_CTX_set_security_level(s.ctx.get(), 0);  // OpenSSL 3 allows TLS 1.1 at level 0 only
    SSL_CTX_set_min_proto_version(s.ctx.get(), TLS1_1_VERSION);
    SSL_CTX_set_max_proto_version(s.ctx.get(), TLS1_1_VERSION);
  }
  s.reply = std::move(reply);
  s.ending = ending;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const std::string cert = certDir + "/good.crt", key = certDir + "/good.key";
  if (!s.ctx || s.listener < 0 ||
      SSL_CTX_use_certificate_chain_file(s.ctx.get(), cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(s.ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      bind(s.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s.listener, 8) != 0 ||
      getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (s.listener >= 0) close(s.listener);
    throw std::runtime_error("the TLS reply server cannot start");
  }
  s.port = ntohs(address.sin_port);
  s.thread = std::thread([&s] {
    for (int fd; (fd = accept(s.listener, nullptr, nullptr)) >= 0;) s.Serve(fd);
  });
}

TlsReplyServer::~TlsReplyServer() {
  shutdown(impl_->listener, SHUT_RDWR);  // ends the accept loop
  impl_->thread.join();
  close(impl_->listener);
}

std::string TlsReplyServer::Url() const {
  return "https://localhost:" + std::to_string(impl_->port);
}

}  // namespace rztest

#endif  // _WIN32
