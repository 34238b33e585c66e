#include "platform/win32/tls_certificate.h"

#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <wincrypt.h>

#include <memory>

namespace rz::platform {
namespace {

// SECURITY_FLAG_IGNORE_REVOCATION of wininet.h, which the SSL policy takes in fdwChecks.
constexpr DWORD kIgnoreRevocation = 0x00000080;

struct CertContextFree {
  void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};
struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};

TlsFailure Failed(TlsFailure why, long& code, long result) {
  code = result;
  return why;
}

}  // namespace

TlsFailure FailureOf(long code) {
  switch (static_cast<unsigned long>(code)) {
    case static_cast<unsigned long>(CERT_E_EXPIRED):
    case static_cast<unsigned long>(SEC_E_CERT_EXPIRED):
      return TlsFailure::kExpired;
    case static_cast<unsigned long>(CERT_E_CN_NO_MATCH):
    case static_cast<unsigned long>(SEC_E_WRONG_PRINCIPAL):
      return TlsFailure::kNameMismatch;
    case static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT):
    case static_cast<unsigned long>(CERT_E_CHAINING):
    case static_cast<unsigned long>(CERT_E_UNTRUSTEDTESTROOT):
    case static_cast<unsigned long>(CERT_E_WRONG_USAGE):
    case static_cast<unsigned long>(CRYPT_E_REVOKED):
    case static_cast<unsigned long>(TRUST_E_CERT_SIGNATURE):
    case static_cast<unsigned long>(SEC_E_UNTRUSTED_ROOT):
    case static_cast<unsigned long>(SEC_E_CERT_UNKNOWN):
      return TlsFailure::kUntrusted;
    default:
      return TlsFailure::kHandshake;
  }
}

TlsFailure CheckServerCertificate(CtxtHandle& context, const std::wstring& name, long& code) {
  const CERT_CONTEXT* remote = nullptr;
  const SECURITY_STATUS queried =
      QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote);
  const std::unique_ptr<const CERT_CONTEXT, CertContextFree> cert(remote);
  if (queried != SEC_E_OK || !cert) return Failed(TlsFailure::kUntrusted, code, queried);

  // Built for server authentication, as WinHTTP builds it: a leaf (or CA) whose extended key usage
  // leaves that out, such as a client certificate, is no server's identity.
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  const CERT_CHAIN_CONTEXT* built = nullptr;
  if (!CertGetCertificateChain(nullptr, cert.get(), nullptr, cert->hCertStore, &chainPara,
                               CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, nullptr, &built)) {
    return Failed(TlsFailure::kUntrusted, code,
                  static_cast<long>(HRESULT_FROM_WIN32(GetLastError())));
  }
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(built);

  // The chain's own verdict first: some policy checks pass a chain that ends short of any root.
  // Revocation is best effort: unknown or offline is no verdict, revoked is.
  const DWORD trust =
      chain->TrustStatus.dwErrorStatus &
      ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (trust != CERT_TRUST_NO_ERROR) {
    if ((trust & CERT_TRUST_IS_REVOKED) != 0)
      return Failed(TlsFailure::kUntrusted, code, CRYPT_E_REVOKED);
    if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
      return Failed(TlsFailure::kExpired, code, CERT_E_EXPIRED);
    }
    if ((trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0) {
      return Failed(TlsFailure::kUntrusted, code, TRUST_E_CERT_SIGNATURE);
    }
    if ((trust & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) {
      return Failed(TlsFailure::kUntrusted, code, CERT_E_UNTRUSTEDROOT);
    }
    if ((trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0) {
      return Failed(TlsFailure::kUntrusted, code, CERT_E_WRONG_USAGE);
    }
    return Failed(TlsFailure::kUntrusted, code, CERT_E_CHAINING);
  }

  // Then the name, and whatever else the SSL policy checks.
  std::wstring checked = name;
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = checked.data();
  ssl.fdwChecks = kIgnoreRevocation;  // judged above
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;  // offline is not revoked
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS result{};
  result.cbSize = sizeof result;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &result)) {
    return Failed(TlsFailure::kUntrusted, code,
                  static_cast<long>(HRESULT_FROM_WIN32(GetLastError())));
  }
  if (result.dwError != 0) {
    return Failed(FailureOf(static_cast<long>(result.dwError)), code,
                  static_cast<long>(result.dwError));
  }
  return TlsFailure::kNone;
}

}  // namespace rz::platform
