// The GetAd exchange against a scripted loopback service: the exact request, and which answers
// count as a reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/platform_init.h"
#include "platform/reply_text.h"
#include "service/getad.h"
#include "support/script_server.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using rztest::HttpResponse;
using rztest::Respond;
using rztest::ScriptServer;

struct Header {
  std::string name;
  std::string value;
};

// A request as received: request line, header fields in wire order, body.
struct Request {
  std::string requestLine;
  std::vector<Header> headers;
  std::string body;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Request Split(const std::string& raw) {
  Request request;
  const std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return request;
  request.body = raw.substr(end + 4);
  std::size_t at = raw.find("\r\n");
  request.requestLine = raw.substr(0, at);
  while (at < end) {
    const std::size_t next = raw.find("\r\n", at + 2);
    const std::string line = raw.substr(at + 2, next - at - 2);
    const std::size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers.push_back({line.substr(0, colon), value});
    at = next;
  }
  return request;
}

// Positions of the header named `name` (any case) in wire order.
std::vector<std::size_t> Find(const Request& request, const std::string& name) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < request.headers.size(); ++i) {
    if (Lower(request.headers[i].name) == Lower(name)) at.push_back(i);
  }
  return at;
}

class GetAdExchangeTest : public testing::Test {
 protected:
  void SetUp() override { rz::platform::InitThreadForPlatformObjects(); }
};

struct RequestCase {
  const char* name;
  const char* outside;
  const char* hardware;
  const char* escapedBody;  // a fragment the body must hold
};

class GetAdRequestTest : public GetAdExchangeTest,
                         public testing::WithParamInterface<RequestCase> {};

TEST_P(GetAdRequestTest, SendsTheExactRequest) {
  const RequestCase& c = GetParam();
  ScriptServer server(Respond(HttpResponse(200, "<ok/>", {"Content-Type: text/xml"})));
  const auto envelope = rz::BuildGetAdEnvelope(c.outside, c.hardware);
  ASSERT_TRUE(envelope);

  rz::platform::ReplyText reply;
  ASSERT_EQ(rz::SendGetAdRequest(server.BaseUrl() + "/svc/Ad.asmx", *envelope, &reply), 1);
  EXPECT_EQ(reply, rz::platform::ReplyFromUtf8("<ok/>"));

  const Request request = Split(server.WaitForRequest(0));
  EXPECT_EQ(request.requestLine.rfind("POST /svc/Ad.asmx HTTP/1.", 0), 0u) << request.requestLine;
  const std::vector<Header> expected = {
      {"Content-Type", "text/xml;charset=utf-8"},
      {"SOAPAction", rz::kSoapAction},
      {"Content-Length", std::to_string(envelope->size())},
  };
  std::vector<std::size_t> order;
  for (const auto& header : expected) {
    const auto at = Find(request, header.name);
    ASSERT_EQ(at.size(), 1u) << header.name;
    EXPECT_EQ(request.headers[at[0]].value, header.value) << header.name;
    order.push_back(at[0]);
  }
#ifndef _WIN32
  // Windows' request object reorders headers on the wire; the calls are made in order there.
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
#endif
  EXPECT_TRUE(Find(request, "Expect").empty());
  EXPECT_EQ(request.body, *envelope);
  EXPECT_NE(request.body.find(c.escapedBody), std::string::npos);
  EXPECT_EQ(server.Connections(), 1);
}

// Beyond the size at which some clients wait for "100 Continue" first.
const std::string kLongId(1050, '7');

INSTANTIATE_TEST_SUITE_P(
    Identifiers, GetAdRequestTest,
    testing::Values(RequestCase{"Plain", "0012345678", "HW-42",
                                "<outsideCardID>0012345678</outsideCardID><hardwareCardID>HW-42<"},
                    RequestCase{"Empty", "", "",
                                "<outsideCardID></outsideCardID><hardwareCardID></hardwareCardID>"},
                    RequestCase{"Escaped", "a&b", "<x>",
                                "<outsideCardID>a&amp;b</outsideCardID><hardwareCardID>&lt;x&gt;<"},
                    RequestCase{"Long", kLongId.c_str(), "H",
                                "</outsideCardID><hardwareCardID>H<"}),
    [](const testing::TestParamInfo<RequestCase>& param) { return std::string(param.param.name); });

// "é" in the 8-bit code page: UTF-8 on Linux, the ANSI code page on Windows.
std::string EAcute() {
#ifdef _WIN32
  char bytes[8] = {};
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, 0, L"\u00E9", 1, bytes, sizeof bytes, nullptr, &lossy);
  return n > 0 && !lossy ? std::string(bytes, static_cast<std::size_t>(n)) : std::string();
#else
  return "\xC3\xA9";
#endif
}

TEST_F(GetAdExchangeTest, LengthHeaderCountsTheBodyAsSent) {
  const std::string e = EAcute();
  if (e.empty()) GTEST_SKIP() << "the ANSI code page has no e-acute";
  ScriptServer server(Respond(HttpResponse(200, "<ok/>")));
  const auto envelope = rz::BuildGetAdEnvelope((e + e).c_str(), "x");
  ASSERT_TRUE(envelope);
  EXPECT_EQ(rz::SendGetAdRequest(server.BaseUrl() + "/", *envelope, nullptr), 1);

  // The declaration promises UTF-8, and that is what travels, with a length to match.
  const Request request = Split(server.WaitForRequest(0));
  EXPECT_NE(request.body.find("<outsideCardID>\xC3\xA9\xC3\xA9</outsideCardID>"),
            std::string::npos);
  const auto at = Find(request, "Content-Length");
  ASSERT_EQ(at.size(), 1u);
  EXPECT_EQ(request.headers[at[0]].value, std::to_string(request.body.size()));
}

constexpr const char kFault[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
    "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>no such card</faultstring>"
    "</soap:Fault></soap:Body></soap:Envelope>";

TEST_F(GetAdExchangeTest, AnyStatusWithABodyIsAReply) {
  for (const int status : {500, 404, 200}) {
    ScriptServer server(
        Respond(HttpResponse(status, kFault, {"Content-Type: text/xml; charset=utf-8"})));
    rz::platform::ReplyText reply;
    EXPECT_EQ(rz::SendGetAdRequest(server.BaseUrl() + "/", *rz::BuildGetAdEnvelope("", ""), &reply),
              1)
        << status;
    EXPECT_EQ(reply, rz::platform::ReplyFromUtf8(kFault)) << status;
  }
}

TEST_F(GetAdExchangeTest, EmptyBodyIsAnEmptyReply) {
  ScriptServer server(Respond(HttpResponse(200, "")));
  rz::platform::ReplyText reply = rz::platform::ReplyFromUtf8("stale");
  EXPECT_EQ(rz::SendGetAdRequest(server.BaseUrl() + "/", *rz::BuildGetAdEnvelope("", ""), &reply),
            1);
  EXPECT_TRUE(reply.empty());
}

TEST_F(GetAdExchangeTest, ReplyWithoutASlotStillCounts) {
  ScriptServer server(Respond(HttpResponse(200, "<ok/>")));
  EXPECT_EQ(
      rz::SendGetAdRequest(server.BaseUrl() + "/", *rz::BuildGetAdEnvelope("a", "b"), nullptr), 1);
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(GetAdExchangeTest, RedirectIsFollowed) {
  std::vector<rztest::Script> scripts;
  ScriptServer target(Respond(HttpResponse(200, "<moved/>")));
  scripts.push_back(Respond(HttpResponse(303, "", {"Location: " + target.BaseUrl() + "/new"})));
  ScriptServer server(scripts);
  rz::platform::ReplyText reply;
  EXPECT_EQ(
      rz::SendGetAdRequest(server.BaseUrl() + "/old", *rz::BuildGetAdEnvelope("a", "b"), &reply),
      1);
  EXPECT_EQ(reply, rz::platform::ReplyFromUtf8("<moved/>"));
  EXPECT_EQ(target.Connections(), 1);
  // Whatever method the redirected request uses, its length matches the body it carries.
  const Request moved = Split(target.WaitForRequest(0));
  for (const std::size_t at : Find(moved, "Content-Length")) {
    EXPECT_EQ(moved.headers[at].value, std::to_string(moved.body.size()));
  }
}

TEST_F(GetAdExchangeTest, FailedExchangesAreNoReply) {
  const std::string envelope = *rz::BuildGetAdEnvelope("a", "b");
  const rz::platform::ReplyText untouched = rz::platform::ReplyFromUtf8("untouched");

  // Nothing listening.
  rz::platform::ReplyText reply = untouched;
  const std::string refused =
      "http://127.0.0.1:" + std::to_string(rztest::UnusedLoopbackPort()) + "/";
  EXPECT_EQ(rz::SendGetAdRequest(refused, envelope, &reply), 0);
  EXPECT_EQ(reply, untouched);

  // Not a URL the exchange can use.
  EXPECT_EQ(rz::SendGetAdRequest("not a url", envelope, &reply), 0);
  EXPECT_EQ(reply, untouched);

  // The service closes without answering.
  rztest::Script hangUp;
  hangUp.ReadRequest().Close();
  ScriptServer server(hangUp);
  EXPECT_EQ(rz::SendGetAdRequest(server.BaseUrl() + "/", envelope, &reply), 0);
  EXPECT_EQ(reply, untouched);
}

}  // namespace
