// squid's helper for NTLM handshakes in tests, `ntlm_check_helper USER PASSWORD [DOMAIN]`, for
// `auth_param ntlm` (and `negotiate`, for clients that send bare NTLM tokens there). One line
// each way on standard input and output: "YR [type 1]" -> "TT <type 2>"; "KK <type 3>" ->
// "AF = <user>" or "NA <reason>"; anything else -> "BH <reason>". The challenge is well-formed
// (Wine's NTLM rejects a malformed one); only an NTLMv2 response computed from USER (compared
// without ASCII case) and PASSWORD, with the domain as the client sent it, is accepted. One line
// per verdict on standard error, which squid puts in cache.log. Linux only; a test oracle, not
// the library's code.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using Bytes = std::string;

constexpr std::uint32_t kUnicode = 0x1, kRequestTarget = 0x4, kNtlm = 0x200, kAlwaysSign = 0x8000,
                        kTargetTypeDomain = 0x10000, kExtendedSessionSecurity = 0x80000,
                        kTargetInfo = 0x800000, kVersion = 0x2000000, k128 = 0x20000000,
                        k56 = 0x80000000;
const Bytes kSignature("NTLMSSP\0", 8);

void Put16(Bytes& out, std::size_t value) {
  out += static_cast<char>(value & 0xff);
  out += static_cast<char>((value >> 8) & 0xff);
}
void Put32(Bytes& out, std::size_t value) {
  Put16(out, value & 0xffff);
  Put16(out, (value >> 16) & 0xffff);
}
std::uint32_t Get(const Bytes& in, std::size_t at, int size) {  // little-endian, in bounds
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(in[at + i]);
  return value;
}

// Test users and passwords are ASCII: UTF-16LE is each byte and a zero; `upper` uppercases it, as
// NTLMv2 does the user name.
Bytes Utf16(const std::string& text, bool upper = false) {
  Bytes out;
  for (char c : text) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out += c;
    out += '\0';
  }
  return out;
}
Bytes UpperUtf16(Bytes utf16) {
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
    if (utf16[i + 1] == 0 && utf16[i] >= 'a' && utf16[i] <= 'z') utf16[i] -= 'a' - 'A';
  }
  return utf16;
}
std::string Printable(const Bytes& text, bool utf16) {  // for log lines and squid's user name
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += utf16 ? 2 : 1) {
    const bool ascii = (!utf16 || (i + 1 < text.size() && text[i + 1] == 0)) && text[i] > ' ' &&
                       static_cast<unsigned char>(text[i]) < 0x7f;
    out += ascii ? text[i] : '?';
  }
  return out;
}

std::string Base64(const Bytes& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(in.data()),
                                static_cast<int>(in.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}
bool Unbase64(const std::string& in, Bytes& out) {
  if (in.empty() || in.size() % 4 != 0) return false;
  out.assign(in.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(in.data()),
                                static_cast<int>(in.size()));
  if (n < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  out.resize(static_cast<std::size_t>(n) - (in.back() == '=') - (in[in.size() - 2] == '='));
  return true;
}

Bytes HmacMd5(const Bytes& key, const Bytes& data) {
  unsigned char digest[16];
  unsigned int size = 0;
  HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &size);
  return Bytes(reinterpret_cast<char*>(digest), size);
}
// MD4 lives in OpenSSL 3's legacy provider; loading any provider stops the default one from
// loading by itself, so both are loaded.
Bytes Md4(const Bytes& data) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
  unsigned char digest[16];
  unsigned int size = 0;
  EVP_MD* md4 = legacy && standard ? EVP_MD_fetch(nullptr, "MD4", nullptr) : nullptr;
  const bool ok = md4 && EVP_Digest(data.data(), data.size(), digest, &size, md4, nullptr) == 1;
  EVP_MD_free(md4);
  return ok ? Bytes(reinterpret_cast<char*>(digest), size) : Bytes();
}

Bytes ChallengeMessage(const Bytes& serverChallenge, const std::string& domain) {
  const Bytes name = Utf16(domain), computer = Utf16("RZPROXY");
  Bytes info;
  for (const auto& pair : {std::make_pair(2, name), std::make_pair(1, computer)}) {
    Put16(info, static_cast<std::size_t>(pair.first));  // MsvAvNbDomainName, MsvAvNbComputerName
    Put16(info, pair.second.size());
    info += pair.second;
  }
  Put32(info, 0);  // MsvAvEOL
  const std::size_t header = 56;
  Bytes out = kSignature;
  Put32(out, 2);
  Put16(out, name.size()), Put16(out, name.size()), Put32(out, header);
  Put32(out, kUnicode | kRequestTarget | kNtlm | kAlwaysSign | kTargetTypeDomain |
                 kExtendedSessionSecurity | kTargetInfo | kVersion | k128 | k56);
  out += serverChallenge;
  out += Bytes(8, '\0');
  Put16(out, info.size()), Put16(out, info.size()), Put32(out, header + name.size());
  out += Bytes("\x06\x01\xb1\x1d\0\0\0\x0f", 8);  // version 6.1.7601, NTLMSSP revision 15
  return out + name + info;
}

// A security buffer of the message at `at`; false when it lies outside the message.
bool Field(const Bytes& message, std::size_t at, Bytes& out) {
  if (at + 8 > message.size()) return false;
  const std::size_t size = Get(message, at, 2), offset = Get(message, at + 4, 4);
  if (offset > message.size() || size > message.size() - offset) return false;
  out = message.substr(offset, size);
  return true;
}

// "AF = user" or "NA reason" for a type-3 message.
std::string Check(const Bytes& message, const Bytes& serverChallenge, const std::string& user,
                  const std::string& password, std::string& log) {
  Bytes nt, domain, name;
  if (!Field(message, 20, nt) || !Field(message, 28, domain) || !Field(message, 36, name) ||
      message.size() < 64) {
    return log = "NA malformed type-3 message";
  }
  const bool unicode = (Get(message, 60, 4) & kUnicode) != 0;
  log = " for user '" + Printable(name, unicode) + "' domain '" + Printable(domain, unicode) + "'";
  if (nt.size() == 24) return log = "NA NTLMv1 response refused" + log;
  if (nt.size() < 16 + 28) return log = "NA no NTLMv2 response" + log;
  if (!unicode) name = Utf16(name), domain = Utf16(domain);  // OEM: taken as ASCII
  if (UpperUtf16(name) != Utf16(user, true)) return log = "NA unknown user" + log;
  const Bytes ntHash = Md4(Utf16(password));
  if (ntHash.empty()) return log = "BH MD4 unavailable in libcrypto";
  const Bytes v2Hash = HmacMd5(ntHash, UpperUtf16(name) + domain);
  if (HmacMd5(v2Hash, serverChallenge + nt.substr(16)) != nt.substr(0, 16)) {
    return log = "NA wrong password" + log;
  }
  log = "AF" + log;
  // squid's Negotiate scheme stops (FATAL) on a success without a final token before the user
  // name; a bare NTLM handshake has none, and a placeholder passes under both schemes.
  return "AF = " + Printable(name, true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: ntlm_check_helper USER PASSWORD [DOMAIN]\n";
    return 64;
  }
  const std::string user = argv[1], password = argv[2], domain = argc > 3 ? argv[3] : "RZTEST";
  Bytes serverChallenge;  // empty between handshakes
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string request, token, reply, log;
    words >> request >> token;
    Bytes message;
    const bool decoded =
        Unbase64(token, message) && message.size() >= 12 && message.compare(0, 8, kSignature) == 0;
    const std::uint32_t type = decoded ? Get(message, 8, 4) : 0;
    // YR starts a handshake, with or without the client's type-1 message; a type 1 after KK is
    // a client starting over on the same connection.
    if (request == "YR" || (request == "KK" && type == 1)) {
      serverChallenge.assign(8, '\0');
      RAND_bytes(reinterpret_cast<unsigned char*>(&serverChallenge[0]), 8);
      reply = "TT " + Base64(ChallengeMessage(serverChallenge, domain));
    } else if (request == "KK" && type == 3 && !serverChallenge.empty()) {
      reply = Check(message, serverChallenge, user, password, log);
      serverChallenge.clear();
      std::cerr << "ntlm_check_helper: " << log << std::endl;
    } else {
      reply = "BH unexpected request " + request;
      std::cerr << "ntlm_check_helper: " << reply << std::endl;
    }
    std::cout << reply << std::endl;
  }
  return 0;
}
