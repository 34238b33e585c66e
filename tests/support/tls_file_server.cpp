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
#include <string_view>
#include <thread>

#include "support/files.h"
#include "support/script_server.h"

namespace rztest {
namespace {

constexpr const char* kOpenssl = "/usr/bin/openssl";

void Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

// The content of the DER element of `tag` at the front of `der`, which moves past it.
bool TakeElement(std::string_view& der, unsigned char tag, std::string_view& content) {
  if (der.size() < 2 || static_cast<unsigned char>(der[0]) != tag) return false;
  std::size_t length = static_cast<unsigned char>(der[1]);
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 3 || der.size() < 2 + bytes) return false;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i)
      length = length << 8 | static_cast<unsigned char>(der[2 + i]);
    header += bytes;
  }
  if (der.size() < header + length) return false;
  content = der.substr(header, length);
  der.remove_prefix(header + length);
  return true;
}

// Wine's crypt32 joins an ECDSA signature's r and s at their encoded lengths, so a certificate
// whose r or s happens to begin with a zero byte (about one in 128) fails its signature check
// there, and every Windows row of that run would see "not trusted". Such a one is signed again.
void SignUntilWineVerifies(const std::string& base, const std::string& sign) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    Run(sign);
    Run(std::string(kOpenssl) + " x509 -in " + base + ".crt -outform DER -out " + base + ".der");
    const std::string der = ReadFile(base + ".der");
    std::string_view rest = der, cert, skip, bits, signature;
    bool full = TakeElement(rest, 0x30, cert) && TakeElement(cert, 0x30, skip) &&
                TakeElement(cert, 0x30, skip) && TakeElement(cert, 0x03, bits) && !bits.empty() &&
                (bits.remove_prefix(1), TakeElement(bits, 0x30, signature));
    for (int part = 0; full && part < 2; ++part) {
      std::string_view value;
      full = TakeElement(signature, 0x02, value);
      if (full && !value.empty() && value[0] == '\0') value.remove_prefix(1);
      full = full && value.size() == 32;
    }
    if (full) return;
  }
  throw std::runtime_error("no full-length signature for " + base + ".crt in 20 attempts");
}

// A CA in dir/name.crt and dir/name.key. Its subject is unique to this run: a trust store that
// kept another run's CA of the same name could otherwise pick that one as the issuer.
void MakeCa(const std::string& dir, const std::string& name) {
  const std::string unique =
      name + "-" + std::to_string(getpid()) + "-" +
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  SignUntilWineVerifies(
      dir + "/" + name,
      std::string(kOpenssl) + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" +
          " -days 2 -subj /CN=rz-test-" + unique + " -keyout " + dir + "/" + name + ".key -out " +
          dir + "/" + name + ".crt -addext basicConstraints=critical,CA:TRUE" +
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
  SignUntilWineVerifies(base, std::string(kOpenssl) + " x509 -req -days 2 -in " + base +
                                  ".csr -CA " + dir + "/" + ca + ".crt -CAkey " + dir + "/" + ca +
                                  ".key -CAcreateserial -extfile " + base + ".ext -out " + base +
                                  ".crt");
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
