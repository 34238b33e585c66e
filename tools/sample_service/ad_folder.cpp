#include "ad_folder.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace sample {
namespace fs = std::filesystem;
namespace {

constexpr char kEnvelopeOpen[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>";
constexpr char kEnvelopeClose[] = "</soap:Body></soap:Envelope>";

std::string EscapeAttribute(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Percent-encodes everything but the unreserved characters, so that any file name makes a URL.
std::string EncodePathSegment(const std::string& name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> ListAds(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    const std::string name = it->path().filename().string();
    if (it->is_regular_file(ignored) && !name.empty() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> ReadAd(const std::string& folder, const std::string& name) {
  const auto names = ListAds(folder);
  if (std::find(names.begin(), names.end(), name) == names.end()) return std::nullopt;
  std::ifstream in(fs::path(folder) / name, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string GetAdReply(const std::string& baseUrl, const std::vector<std::string>& names) {
  std::string reply = kEnvelopeOpen;
  reply += "<GetAdResponse xmlns=\"http://tempuri.org/\"><WebResponse><AdList>";
  for (const auto& name : names) {
    reply += "<Ad Flash=\"" + EscapeAttribute(baseUrl + EncodePathSegment(name)) + "\"/>";
  }
  reply += "</AdList></WebResponse></GetAdResponse>";
  reply += kEnvelopeClose;
  return reply;
}

std::string SoapFault(const std::string& reason) {
  std::string reply = kEnvelopeOpen;
  reply += "<soap:Fault><faultcode>soap:Client</faultcode><faultstring>";
  for (char c : reason) {
    if (c == '<') {
      reply += "&lt;";
    } else if (c == '&') {
      reply += "&amp;";
    } else {
      reply += c;
    }
  }
  reply += "</faultstring></soap:Fault>";
  reply += kEnvelopeClose;
  return reply;
}

std::string ElementText(const std::string& xml, const std::string& tag) {
  const std::string open = "<" + tag + ">";
  const std::size_t begin = xml.find(open);
  if (begin == std::string::npos) return {};
  const std::size_t textBegin = begin + open.size();
  const std::size_t end = xml.find("</" + tag + ">", textBegin);
  if (end == std::string::npos) return {};
  return xml.substr(textBegin, end - textBegin);
}

}  // namespace sample
