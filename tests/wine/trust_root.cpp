// Adds a test CA to the machine's trusted roots, or removes it again, for the host tests under
// Wine:  trust_root add|remove CA.pem
// Both go through the registry store (HKLM SystemCertificates\Root): an addition there survives a
// new process and a wineserver restart, and a removal through the system "ROOT" store does not
// stick in Wine 8. Exit 0 on success.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct StoreClose {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct CertFree {
  void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};

bool Der(const std::string& pem, std::vector<BYTE>& der) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr)) {
    return false;
  }
  der.resize(size);
  return CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
    std::fprintf(stderr, "usage: trust_root add|remove CA.pem\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<BYTE> der;
  if (pem.empty() || !Der(pem, der)) {
    std::fprintf(stderr, "cannot read a certificate from %s\n", argv[2]);
    return 1;
  }
  const std::unique_ptr<void, StoreClose> store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"Root"));
  if (!store) {
    std::fprintf(stderr, "cannot open the registry ROOT store: %lu\n", GetLastError());
    return 1;
  }
  if (std::strcmp(argv[1], "add") == 0) {
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      std::fprintf(stderr, "cannot add: %lu\n", GetLastError());
      return 1;
    }
    return 0;
  }
  const std::unique_ptr<const CERT_CONTEXT, CertFree> wanted(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  if (!wanted) return 1;
  const CERT_CONTEXT* found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                         CERT_FIND_EXISTING, wanted.get(), nullptr);
  if (found == nullptr) return 0;  // nothing to remove
  // The deletion frees `found`, whatever it returns.
  return CertDeleteCertificateFromStore(found) ? 0 : 1;
}
