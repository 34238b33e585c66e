#include "support/file_server.h"

namespace rztest {

FileServer::FileServer()
    : server_(Script().Answer([state = state_](const std::string& request) {
        // "GET <target> HTTP/1.0": the path of the target, absolute or not.
        const std::string line = request.substr(0, request.find("\r\n"));
        std::string path;
        if (line.compare(0, 4, "GET ") == 0) path = line.substr(4, line.rfind(' ') - 4);
        const std::size_t scheme = path.find("://");
        if (scheme != std::string::npos) path.erase(0, path.find('/', scheme + 3));
        std::lock_guard<std::mutex> lock(state->mutex);
        const auto file = state->files.find(path);
        const int status = file == state->files.end() ? 404 : 200;
        state->log.push_back("\"" + line + "\" " + std::to_string(status));
        return HttpResponse(status, status == 200 ? file->second : "");
      })) {}

void FileServer::WriteFile(const std::string& relativePath, const std::string& content) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->files["/" + relativePath] = content;
}

std::vector<std::string> FileServer::AccessLogLines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->log;
}

}  // namespace rztest
