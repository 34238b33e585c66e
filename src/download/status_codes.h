// The download engine's status values. Every engine operation returns one of these, 0, or a
// positive platform socket error code passed through unchanged (WSA codes on Windows, errno
// values on Linux). The download pass only tells success from failure; no code reaches the host.
#pragma once

#include <cstdint>

namespace rz {

using Status = std::int32_t;

inline constexpr Status kOk = 0;

// The socket library's clean-up failed (Close, Disconnect), or Base64Encode ran out of capacity.
inline constexpr Status kPlatformCleanupFailed = -1;

// ---- Downloader level: -801 .. -813 ----
// Memory for a working object or text was not available. Connect, SendRequest, SplitUrl.
inline constexpr Status kNoMemory = -801;
// A required argument is missing: ReceiveToFile without a file path; SplitUrl with a null argument.
inline constexpr Status kMissingArgument = -802;
// Nothing to connect to (no host or no local path), or SplitUrl got a URL that does not begin
// with the expected prefix or is shorter than 9 characters. Connect, SplitUrl.
inline constexpr Status kBadTarget = -803;
// The request went out only in part. SendRequest.
inline constexpr Status kPartialSend = -804;
// The proxy credentials do not fit their 128-byte base64 buffer (more than 93 bytes joined).
inline constexpr Status kCredentialsTooLong = -805;
// The local file cannot be opened. ReceiveToFile.
inline constexpr Status kFileOpenFailed = -806;
// The local file cannot be positioned at the resume offset. ReceiveToFile.
inline constexpr Status kFileSeekFailed = -807;
// The server answered with status 404. Nothing of the response is written. ReceiveToFile.
inline constexpr Status kHttpNotFound = -808;
// The server answered with a status other than 2xx and 404 (3xx, 4xx, 5xx), or, when resuming,
// not with 206 and a Content-Range that starts at the offset, or the HeaderCallback refused the
// response. Nothing is written. ReceiveToFile.
inline constexpr Status kHttpRefused = -809;
// The response header is unreadable: longer than the 64 KiB bound, no readable status line,
// Content-Length fields that disagree, a length of 2 GiB or more, a transfer coding (such as
// chunked) that an HTTP/1.0 request never asked for, or the connection closed before the header
// ended. ReceiveToFile.
inline constexpr Status kBadResponseHeader = -810;
// A write, flush or close of the local file failed or was short (a full disk, for example).
inline constexpr Status kFileWriteFailed = -811;
// The request does not fit its 4096-byte buffer; nothing was sent. SendRequest.
inline constexpr Status kRequestTooLong = -812;
// A callback asked to stop: the PollCallback before a socket wait, or the ProgressCallback after
// a chunk. Send, Receive, ReceiveToFile.
inline constexpr Status kStoppedByCallback = -813;

// ---- Socket level: -1001 .. -1018 ----
// No data or buffer, or a count of zero or less. Send, Receive.
inline constexpr Status kNoData = -1001;
// The host can be resolved neither by name nor, for a dotted quad, by address. Open.
inline constexpr Status kUnresolvedHost = -1003;
// The connection attempt failed; the socket has been released. Open.
inline constexpr Status kConnectFailed = -1004;
// The socket did not become ready within the budget of empty 100 ms waits (120 s for a send,
// 30 s for each receive). Send, Receive; passed on by SendRequest and ReceiveToFile.
inline constexpr Status kTimedOut = -1006;
// The platform send failed or sent nothing. Send.
inline constexpr Status kSendFailed = -1007;
// Not a failure: a chunk was delivered and more data (or the peer's close) is already waiting.
inline constexpr Status kMoreData = -1008;
// The platform receive failed. Receive.
inline constexpr Status kReceiveFailed = -1009;
// The platform receive reported more bytes than were asked for. Receive.
inline constexpr Status kReceiveOverflow = -1010;
// The server closed the connection before any byte of this receive arrived. Receive.
inline constexpr Status kConnectionClosed = -1011;
// The text is not a dotted-quad address. IsDottedQuad; Open turns it into -1003.
inline constexpr Status kNotDottedQuad = -1018;

// Short English meaning of a status, for reports and test messages.
const char* StatusMeaning(Status status);

}  // namespace rz
