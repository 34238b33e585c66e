// The download engine's status values. Every engine operation returns one of these, 0, or a
// positive platform socket error code passed through unchanged (WSA codes on Windows, errno
// values on Linux). The download pass only tells success from failure; no code reaches the host.
#pragma once

#include <cstdint>

namespace rz {

// A plain integer, so that positive platform codes pass through unchanged.
using Status = std::int32_t;

// The system's own codes. StatusMeaning switches over them without a default, so a code added
// here without a meaning fails the build (-Wswitch).
enum StatusCode : Status {
  kOk = 0,

  // The socket library's clean-up failed (Close, Disconnect), or Base64Encode ran out of capacity.
  kPlatformCleanupFailed = -1,

  // ---- Downloader level: -801 .. -817 ----
  // Memory for a working object or text was not available. Connect, SendRequest, SplitUrl.
  kNoMemory = -801,
  // A required argument is missing: ReceiveToFile without a file path; SplitUrl with a null
  // argument.
  kMissingArgument = -802,
  // Nothing to connect to (no host or no local path), or SplitUrl got a URL that does not begin
  // with the expected prefix or is shorter than 9 characters. Connect, SplitUrl.
  kBadTarget = -803,
  // The request went out only in part. SendRequest.
  kPartialSend = -804,
  // The proxy credentials, user and password joined by ':', are longer than 16 KiB.
  kCredentialsTooLong = -805,
  // The local file cannot be opened. ReceiveToFile.
  kFileOpenFailed = -806,
  // The local file cannot be positioned at the resume offset. ReceiveToFile.
  kFileSeekFailed = -807,
  // The server answered with status 404. Nothing of the response is written. ReceiveToFile.
  kHttpNotFound = -808,
  // The server answered with a status other than 2xx and 404 (3xx, 4xx, 5xx), or, when resuming,
  // not with 206 and a Content-Range that starts at the offset, or the HeaderCallback refused the
  // response. Nothing is written. ReceiveToFile.
  kHttpRefused = -809,
  // The response header is unreadable: longer than the 64 KiB bound, no readable status line,
  // Content-Length fields that disagree, a length of 2 GiB or more, a transfer coding (such as
  // chunked) that an HTTP/1.0 request never asked for, or the connection closed before the header
  // ended. ReceiveToFile.
  kBadResponseHeader = -810,
  // A write, flush or close of the local file failed or was short (a full disk, for example).
  kFileWriteFailed = -811,
  // The request does not fit its 4096-byte buffer; nothing was sent. SendRequest.
  kRequestTooLong = -812,
  // A callback asked to stop: the PollCallback before a socket wait, or the ProgressCallback after
  // a chunk. Open, Send, Receive, ReceiveToFile.
  kStoppedByCallback = -813,
  // A URL holds a control character (0x00-0x1F or 0x7F): an entry's, or a redirect's Location.
  // Nothing is sent for it. The fetch.
  kUnsafeUrl = -814,
  // The system's proxy setting for the URL's scheme cannot be used (another scheme than http, a
  // bad port, a value that does not parse). Nothing is sent, and never directly. The fetch.
  kProxyUnusable = -815,
  // The proxy asked for Negotiate or NTLM and the handshake did not get the request through: the
  // credentials were refused, the proxy closed the connection within it, or the system could not
  // make a token. The fetch.
  kProxyAuthFailed = -816,
  // Not a failure of its own: the proxy answered a request of a handshake with its next
  // challenge, and the answer to it is ready; the request goes again on the same connection.
  // ReceiveToFile.
  kProxyChallenged = -817,

  // ---- Redirects: -821 .. -823 ----
  // Not a failure of its own: the server answered 301, 302, 303, 307 or 308 with a Location, kept
  // in HttpDownloader::location; nothing was written. ReceiveToFile; the fetch follows it.
  kRedirected = -821,
  // The eleventh redirect of one entry: at most ten are followed. The fetch.
  kTooManyRedirects = -822,
  // A Location that cannot be followed: empty or unresolvable, not http or https, or from https
  // down to plain http. The fetch.
  kRedirectRefused = -823,

  // ---- Socket level: -1001 .. -1018 ----
  // No data or buffer, or a count of zero or less. Send, Receive.
  kNoData = -1001,
  // The host can be resolved neither by name nor, for a dotted quad, by address. Open.
  kUnresolvedHost = -1003,
  // Every connection attempt failed, to each address of the host; the sockets have been released.
  // Open.
  kConnectFailed = -1004,
  // The socket did not become ready within the budget of empty 100 ms waits (120 s for a send,
  // 30 s for each receive), or no address of the host connected within 30 s. Open, Send, Receive;
  // passed on by Connect, SendRequest and ReceiveToFile.
  kTimedOut = -1006,
  // The platform send failed or sent nothing. Send.
  kSendFailed = -1007,
  // Not a failure: a chunk was delivered and more data (or the peer's close) is already waiting.
  kMoreData = -1008,
  // The platform receive failed. Receive.
  kReceiveFailed = -1009,
  // The platform receive reported more bytes than were asked for. Receive.
  kReceiveOverflow = -1010,
  // The server closed the connection before any byte of this receive arrived. Receive.
  kConnectionClosed = -1011,
  // The text is not a dotted-quad address. IsDottedQuad; Open turns it into -1003.
  kNotDottedQuad = -1018,

  // ---- TLS: -1031 .. -1035; the platform's own code goes into the failure line ----
  // -1031 to -1034 come from StartTls, and from Receive when the server starts a new handshake.
  // The server's certificate chain does not end at a trusted root (or was revoked), or is not
  // for server authentication. StartTls.
  kTlsUntrusted = -1031,
  // A certificate in the chain is expired or not yet valid. StartTls.
  kTlsExpired = -1032,
  // The certificate names neither the host name nor the IP address that was asked for. StartTls.
  kTlsNameMismatch = -1033,
  // The handshake failed for any other reason (no common version or cipher, a version older than
  // TLS 1.2, an alert, a peer that is not TLS at all, a connection cut during it, a renegotiation
  // the platform cannot make). StartTls.
  kTlsHandshakeFailed = -1034,
  // The TLS connection ended without close_notify, or a record was unreadable. Receive.
  kTlsCut = -1035,
};

// Short English meaning of a status, for reports and test messages.
const char* StatusMeaning(Status status);

}  // namespace rz
