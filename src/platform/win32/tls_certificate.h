// The check of a TLS server's certificate on Windows: the chain built by the system's chain
// engine for server authentication and judged by its own trust status, then the SSL policy for
// the server's name.
// Revocation is best effort: a revoked certificate fails, an unreachable CRL or OCSP server does
// not. Shared by the Schannel session only.
#pragma once

#include <windows.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <string>

#include "platform/tls_session.h"

namespace rz::platform {

// The certificate of the established context `context`, checked for `name` (a host name, or an
// address as text). kNone when it passes; otherwise why not, with `code` the HRESULT that says so.
TlsFailure CheckServerCertificate(CtxtHandle& context, const std::wstring& name, long& code);

// What an HRESULT of Schannel or of the chain policy means for the failure line.
TlsFailure FailureOf(long code);

}  // namespace rz::platform
