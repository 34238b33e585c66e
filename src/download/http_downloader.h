// HttpDownloader: the record of one file download over one MySocket. Its request is composed
// in request_builder.cpp, its response received in response_receiver.cpp.
#pragma once

#include <cstdint>
#include <memory>

#include "download/my_socket.h"
#include "download/status_codes.h"

namespace rz {

// Told the bytes received so far and the expected total after every chunk;
// kStoppedByCallback (-813) stops the download.
using ProgressCallback = std::int32_t (*)(std::int32_t received, std::int32_t expectedTotal);

class HttpDownloader {
 public:
  // Stores host and localPath without copying them; a port of 0 or less becomes 80.
  HttpDownloader(const char* host, std::int32_t port, const char* localPath);
  // Releases host and localPath (allocated with new[]) when ownsStrings is set.
  ~HttpDownloader();
  HttpDownloader(const HttpDownloader&) = delete;
  HttpDownloader& operator=(const HttpDownloader&) = delete;

  // Creates and opens the connection. kBadTarget, kNoMemory, or the result of MySocket::Open.
  Status Connect();
  // Closes and destroys the connection. The result of MySocket::Close; 0 when there is none.
  Status Disconnect();
  // Composes one HTTP/1.0 GET request and sends it in one piece. A null target requests
  // localPath. 0, kNoMemory, kCredentialsTooLong, kRequestTooLong, kPartialSend, kBadTarget
  // (called without a connection), or what Send reported. Nothing is sent unless the whole
  // request was composed.
  Status SendRequest(const char* target, std::int32_t offset);
  // Reads the response and writes its body into `localPath` (from `offset` on when resuming).
  Status ReceiveToFile(ProgressCallback progress, const char* localPath, std::int32_t offset);

  // Public fields, in the record's order; the optional ones may be set before Connect.
  PollCallback pollCallback = nullptr;
  const char* host;
  const char* localPath;
  std::int32_t port;
  const char* proxyTargetUrl = nullptr;
  const char* proxyUser = nullptr;
  const char* proxyPassword = nullptr;
  std::int32_t ownsStrings = 0;
  std::unique_ptr<MySocket> connection;
};

}  // namespace rz
