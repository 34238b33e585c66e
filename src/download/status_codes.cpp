#include "download/status_codes.h"

namespace rz {

const char* StatusMeaning(Status status) {
  if (status > 0) return "platform socket error";
  // One line per code reads as the table it is.
  // clang-format off
  switch (static_cast<StatusCode>(status)) {
    case kOk: return "success";
    case kPlatformCleanupFailed: return "socket library clean-up failed";
    case kNoMemory: return "out of memory";
    case kMissingArgument: return "required argument missing";
    case kBadTarget: return "nothing to connect to, or URL of the wrong form";
    case kPartialSend: return "request sent only in part";
    case kCredentialsTooLong: return "proxy credentials too long";
    case kFileOpenFailed: return "local file cannot be opened";
    case kFileSeekFailed: return "local file cannot be positioned";
    case kHttpNotFound: return "server answered 404";
    case kHttpRefused: return "server answered a status other than success";
    case kBadResponseHeader: return "response header unreadable";
    case kFileWriteFailed: return "local file write failed";
    case kRequestTooLong: return "request does not fit its buffer";
    case kStoppedByCallback: return "stopped by a callback";
    case kUnsafeUrl: return "URL or redirect Location holds a control character";
    case kProxyUnusable: return "proxy setting cannot be used";
    case kProxyAuthFailed: return "proxy authentication failed";
    case kProxyChallenged: return "proxy sent its next challenge";
    case kRedirected: return "server redirected";
    case kTooManyRedirects: return "more than 10 redirects";
    case kRedirectRefused: return "redirect cannot be followed";
    case kNoData: return "no data or buffer";
    case kUnresolvedHost: return "host cannot be resolved";
    case kConnectFailed: return "connection failed";
    case kTimedOut: return "timed out";
    case kSendFailed: return "send failed";
    case kMoreData: return "more data waiting";
    case kReceiveFailed: return "receive failed";
    case kReceiveOverflow: return "receive reported too many bytes";
    case kConnectionClosed: return "server closed the connection";
    case kNotDottedQuad: return "not a dotted-quad address";
    case kTlsUntrusted: return "TLS certificate not trusted";
    case kTlsExpired: return "TLS certificate expired or not yet valid";
    case kTlsNameMismatch: return "TLS certificate name mismatch";
    case kTlsHandshakeFailed: return "TLS handshake failure";
    case kTlsCut: return "TLS connection cut without close_notify";
  }
  // clang-format on
  return "unknown status";
}

}  // namespace rz
