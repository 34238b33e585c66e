// HttpDownloader::ReceiveToFile: reads the response chunk by chunk, keeps every header byte out of
// the file, refuses what is not the requested file, and succeeds only when the file on disk holds
// the whole body.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string_view>

#include "download/http_downloader.h"
#include "download/response_header.h"
#include "platform/debug_output.h"
#include "platform/file_system.h"
#include "platform/last_error.h"

namespace rz {
namespace {

// As much as one receive delivers: on a fast link a chunk then takes all that arrived.
constexpr std::int32_t kChunkBytes = MySocket::kMaxReceive;
// At least a chunk, so that a run of small chunks costs one system write.
constexpr std::size_t kFileBufferBytes = 64 * 1024;

// The local file, closed on every path; Finish reports a failed flush or close.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // offset <= 0: created or emptied. offset > 0: an existing file of at least `offset` bytes,
  // positioned there. kOk, kFileOpenFailed or kFileSeekFailed.
  Status Open(const char* path, std::int32_t offset) {
    file_ = platform::OpenFile(path, offset > 0 ? "r+b" : "w+b");
    if (file_ == nullptr) return Failed(kFileOpenFailed);
    std::setvbuf(file_, nullptr, _IOFBF, kFileBufferBytes);
    if (offset > 0) {
      // Seeking past the end would leave a hole of zero bytes in front of the resumed part.
      if (std::fseek(file_, 0, SEEK_END) != 0 || std::ftell(file_) < offset ||
          std::fseek(file_, offset, SEEK_SET) != 0) {
        return Failed(kFileSeekFailed);
      }
    }
    return kOk;
  }

  Status Write(const char* data, std::size_t length) {
    if (length == 0) return kOk;
    return std::fwrite(data, 1, length, file_) == length ? kOk : Failed(kFileWriteFailed);
  }

  Status Finish() {
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed && closed ? kOk : Failed(kFileWriteFailed);
  }

  // The runtime's reason goes with the status into the diagnostic line.
  static Status Failed(Status status) {
    platform::NoteRuntimeError();
    return status;
  }

 private:
  std::FILE* file_ = nullptr;
};

// The fixed progress text when the total is unknown ("file smaller than 3842b, cannot work out
// the download percentage!"), in UTF-8 like every other line.
constexpr std::string_view kUnknownLengthText =
    "\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xA7\xE5\xB0\x8F\xE5\xB0\x8F\xE4\xBA\x8E"
    "3842b"
    "\xEF\xBC\x8C\xE6\x97\xA0\xE6\xB3\x95\xE8\xAE\xA1\xE7\xAE\x97\xE4\xB8\x8B"
    "\xE8\xBD\xBD\xE7\x99\xBE\xE5\x88\x86\xE6\xAF\x94!";

// One progress line: the whole-number percentage and "%", or the fixed text when the total is
// unknown.
void ReportProgress(std::int64_t byteCount, std::int32_t expectedTotal) {
  if (expectedTotal == 0) {
    platform::DebugOutput(kUnknownLengthText);
    return;
  }
  const std::int64_t percent = byteCount * 100 / expectedTotal;
  std::array<char, 260> text{};
  const auto written = std::to_chars(text.data(), text.data() + text.size() - 1, percent);
  *written.ptr = '%';
  platform::DebugOutput(std::string_view(text.data(), written.ptr + 1 - text.data()));
}

// Whether a complete header is a redirect to follow: its status and its Location then.
bool RedirectOf(std::string_view header, int& status, std::string& location) {
  int code = 0;
  if (ParseStatusLine(header, code) != kOk || !IsFollowedRedirect(code)) return false;
  std::string target = ReadLocation(header);
  if (target.empty()) return false;  // refused like any other 3xx
  status = code;
  location.swap(target);
  return true;
}

// One response on its way in. The header phase reads until the header is complete and judged;
// the body phase writes what follows it until the body is complete. Every chunk, in either phase,
// is reported as it comes.
class Reception {
 public:
  Reception(HttpDownloader& downloader, ProgressCallback progress, OutputFile& file,
            std::int32_t offset)
      : d_(downloader),
        progress_(progress),
        file_(file),
        requestedOffset_(offset),
        offset_(offset > 0 ? offset : 0),
        roomForBody_(std::numeric_limits<std::int32_t>::max() - offset_) {}

  // Receives until the header is complete and accepted. kOk with the chunk that completed it in
  // the buffer and its body bytes from `bodyStart` on; else why the response is refused.
  Status ReadHeader(std::size_t& bodyStart, std::int32_t& length) {
    for (;;) {
      if (const Status received = ReceiveChunk(length); received != kOk) {
        return received == kConnectionClosed ? kBadResponseHeader : received;
      }
      if (const Status appended =
              header_.Append(buffer_.data(), static_cast<std::size_t>(length), bodyStart);
          appended != kOk) {
        return appended;
      }
      if (header_.complete()) return Judge();
      if (Reported()) return kStoppedByCallback;
    }
  }

  // Writes the body bytes of the header's last chunk, then receives the rest of the body.
  Status ReadBody(std::size_t bodyStart, std::int32_t length) {
    for (;;) {
      if (const Status written = WriteBody(bodyStart, length); written != kOk) return written;
      const bool stopRequested = Reported();
      // The announced length ends the body at once: no waiting for the server's close.
      if (complete_) return kOk;
      if (stopRequested) return kStoppedByCallback;
      bodyStart = 0;
      if (const Status received = ReceiveChunk(length); received != kOk) {
        if (received != kConnectionClosed) return received;
        if (framing_.contentLength >= 0) return kConnectionClosed;  // before the announced end
        complete_ = true;  // the close ends a body of unannounced length
        return kOk;
      }
    }
  }

  // A connection fit for another request is exactly at the end of this response: a length the
  // server itself overran, or anything already waiting behind the body, leaves its next answer
  // in doubt.
  bool FitForReuse() const {
    return complete_ && !overrun_ && KeepsConnection(header_.text()) && d_.connection->Idle();
  }

  std::string_view header() const { return header_.text(); }

 private:
  // One chunk into the buffer. kOk with `length` bytes; kConnectionClosed at the end of the
  // stream; or the receive's failure.
  Status ReceiveChunk(std::int32_t& length) {
    length = kChunkBytes;
    // A handshake keeps its connection open: neither a challenge nor the body that ends at its
    // length is followed by anything until the next request, not even the close.
    const Status received = d_.proxyHandshake != nullptr
                                ? d_.connection->ReceiveAnswer(buffer_.data(), length)
                                : d_.connection->Receive(buffer_.data(), length);
    if (received == kConnectionClosed) return received;
    // 0 and kMoreData both deliver a chunk; whether more is waiting changes nothing here.
    if (received != kOk && received != kMoreData) return received;
    if (length <= 0 || length > kChunkBytes) return kReceiveOverflow;
    d_.responseBytes += length;
    return kOk;
  }

  // The complete header: a redirect to report, or a response for the file to accept.
  Status Judge() {
    ParseStatusLine(header_.text(), d_.responseStatus);
    // In the proxy form every answer is the proxy's: a 407 is its say on the credentials.
    if (d_.proxyTargetUrl != nullptr && d_.responseStatus == 407) {
      if (d_.proxyHandshake == nullptr) {
        d_.proxyOffer = ReadProxyOffer(header_.text());
        return kHttpRefused;
      }
      return d_.proxyHandshake->Answer(header_.text()) ? kProxyChallenged : kProxyAuthFailed;
    }
    if (d_.proxyHandshake != nullptr && d_.responseStatus != 0) d_.proxyHandshake->Accepted();
    if (d_.reportRedirects && RedirectOf(header_.text(), d_.redirectStatus, d_.location)) {
      return kRedirected;  // the body, if any, belongs to the redirect and is left unread
    }
    if (const Status judged = JudgeResponseHeader(header_.text(), requestedOffset_, framing_);
        judged != kOk) {
      return judged;
    }
    if (d_.headerCallback != nullptr &&
        d_.headerCallback(d_.headerContext, framing_.total, framing_.validator) != kOk) {
      return kHttpRefused;
    }
    return kOk;
  }

  Status WriteBody(std::size_t bodyStart, std::int32_t length) {
    std::int64_t bodyLength = length - static_cast<std::int64_t>(bodyStart);
    if (framing_.contentLength >= 0) {
      // Bytes past the announced length belong to nothing we asked for.
      overrun_ = bodyLength > framing_.contentLength - byteCount_;
      bodyLength = std::min<std::int64_t>(bodyLength, framing_.contentLength - byteCount_);
    } else if (bodyLength > roomForBody_ - byteCount_) {
      return kFileWriteFailed;  // the file would outgrow the 32-bit counts
    }
    const Status written =
        file_.Write(buffer_.data() + bodyStart, static_cast<std::size_t>(bodyLength));
    if (written != kOk) return written;
    byteCount_ += static_cast<std::int32_t>(bodyLength);
    complete_ = framing_.contentLength >= 0 && byteCount_ == framing_.contentLength;
    return kOk;
  }

  // Tells the caller's callbacks and the debug output about the chunk; whether the progress
  // callback asked to stop.
  bool Reported() {
    const bool stopRequested =
        progress_ != nullptr && progress_(byteCount_, framing_.expectedTotal) == kStoppedByCallback;
    if (d_.pollCallback != nullptr) d_.pollCallback();
    // The percentage counts the whole file, the bytes kept from before included.
    ReportProgress(std::int64_t{offset_} + byteCount_, framing_.expectedTotal);
    return stopRequested;
  }

  HttpDownloader& d_;
  const ProgressCallback progress_;
  OutputFile& file_;
  const std::int32_t requestedOffset_;
  const std::int32_t offset_;  // the bytes kept from before
  // Body bytes that still fit the signed 32-bit counts when the length is not announced.
  const std::int32_t roomForBody_;
  // Only the bytes a receive reports are ever read: no need to clear 64 KiB per fetch.
  std::array<char, kChunkBytes> buffer_;
  ResponseHeaderCollector header_;
  BodyFraming framing_;
  std::int32_t byteCount_ = 0;
  bool complete_ = false;  // the whole body is in the file
  bool overrun_ = false;   // bytes arrived past the announced length
};

}  // namespace

Status HttpDownloader::ReceiveToFile(ProgressCallback progress, const char* path,
                                     std::int32_t offset) {
  if (path == nullptr || connection == nullptr) return kMissingArgument;

  OutputFile file;
  if (const Status opened = file.Open(path, offset); opened != kOk) return opened;

  keepConnection = false;
  responseBytes = 0;
  Reception reception(*this, progress, file, offset);
  std::size_t bodyStart = 0;
  std::int32_t length = 0;
  Status result = reception.ReadHeader(bodyStart, length);
  if (result == kOk) result = reception.ReadBody(bodyStart, length);
  if (result == kProxyChallenged &&
      SkipChallengeBody(*connection, reception.header(),
                        static_cast<std::size_t>(length) - bodyStart) != kOk) {
    proxyHandshake->Cut();
    result = kProxyAuthFailed;
  }

  // Every way short of a complete body has set a failure; a failed close matters only when
  // nothing else failed, but then it must not end in success.
  const Status closed = file.Finish();
  if (result != kOk) return result;
  keepConnection = closed == kOk && MayKeepConnection() && reception.FitForReuse();
  return closed;
}

}  // namespace rz
