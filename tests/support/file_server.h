// A small HTTP file server on the scripted server, for test programs that cannot start nginx
// (Windows ones under Wine): NginxServer's calls, the files kept in memory. A GET of a written
// file answers 200 with its bytes, any other request 404; the connection closes after each.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/script_server.h"

namespace rztest {

class FileServer {
 public:
  FileServer();

  std::uint16_t port() const { return server_.port(); }
  // "http://127.0.0.1:PORT"
  std::string BaseUrl() const { return server_.BaseUrl(); }
  // Serves `content` at "/" + relativePath from now on.
  void WriteFile(const std::string& relativePath, const std::string& content);
  // One line per answered request, as NginxServer's lines begin: "<request line>" <status>
  std::vector<std::string> AccessLogLines() const;

 private:
  struct State {
    std::mutex mutex;
    std::map<std::string, std::string> files;  // by path, "/" included
    std::vector<std::string> log;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  ScriptServer server_;
};

}  // namespace rztest
