// sample_service [--port N] [--ads DIR] [--file-base URL]
// A local stand-in for the ad web service, for trying the library without the real one. It
// listens on 127.0.0.1 only. Any POST carrying a GetAd request is answered with a GetAdResponse
// that lists every file of DIR as http://127.0.0.1:PORT/ads/NAME, and GET /ads/NAME serves the
// file. Port 0 (the default) picks a free port; the first line printed names it. --file-base
// lists the files as URL + NAME instead, so that another server (the benchmarks' nginx) can
// serve the same folder.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include <httplib.h>

#include "ad_folder.h"

namespace {

struct Options {
  int port = 0;
  std::string ads = "ads";
  std::string fileBase;  // empty: this service's own /ads/ URLs
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--port") == 0 && hasValue) {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return false;
      options.port = static_cast<int>(port);
    } else if (std::strcmp(argv[i], "--ads") == 0 && hasValue) {
      options.ads = argv[++i];
    } else if (std::strcmp(argv[i], "--file-base") == 0 && hasValue) {
      options.fileBase = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

const char* ContentType(const std::string& name) {
  const auto dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (ext == "svg") return "image/svg+xml";
  if (ext == "txt") return "text/plain; charset=utf-8";
  if (ext == "swf") return "application/x-shockwave-flash";
  return "application/octet-stream";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: sample_service [--port N] [--ads DIR] [--file-base URL]\n");
    return 64;
  }

  httplib::Server server;
  int port = 0;

  // The service endpoint: whatever the path, as a SOAP service behind a rewrite would.
  server.Post(".*", [&](const httplib::Request& request, httplib::Response& response) {
    if (request.body.find("<GetAd") == std::string::npos) {
      response.status = 500;
      response.set_content(sample::SoapFault("not a GetAd request"), "text/xml; charset=utf-8");
      return;
    }
    const auto names = sample::ListAds(options.ads);
    const std::string base = options.fileBase.empty()
                                 ? "http://127.0.0.1:" + std::to_string(port) + "/ads/"
                                 : options.fileBase;
    std::printf("GetAd outsideCardID=\"%s\" hardwareCardID=\"%s\": %zu ads\n",
                sample::ElementText(request.body, "outsideCardID").c_str(),
                sample::ElementText(request.body, "hardwareCardID").c_str(), names.size());
    std::fflush(stdout);
    response.set_content(sample::GetAdReply(base, names), "text/xml; charset=utf-8");
  });

  // The library asks for its files by path: "/ads/NAME".
  server.Get(R"(/ads/([^/]+))", [&](const httplib::Request& request, httplib::Response& response) {
    const std::string name = request.matches[1];
    const auto content = sample::ReadAd(options.ads, name);
    std::printf("GET %s: %s\n", name.c_str(), content ? "sent" : "not found");
    std::fflush(stdout);
    if (!content) {
      response.status = 404;
      return;
    }
    response.set_content(*content, ContentType(name));
  });

  if (options.port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (server.bind_to_port("127.0.0.1", options.port)) {
    port = options.port;
  }
  if (port <= 0) {
    std::fprintf(stderr, "sample_service: cannot listen on 127.0.0.1:%d\n", options.port);
    return 1;
  }
  std::printf(
      "sample_service listening on http://127.0.0.1:%d/AdService.asmx (ads from %s, %zu files)\n",
      port, options.ads.c_str(), sample::ListAds(options.ads).size());
  std::fflush(stdout);
  return server.listen_after_bind() ? 0 : 1;
}
