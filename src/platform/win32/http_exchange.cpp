// The exchange with the ad web service through MSXML's XMLHTTPRequest object.
#include <windows.h>
#include <msxml2.h>

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/http_exchange.h"
#include "platform/last_error.h"
#include "platform/win32/com_util.h"

namespace rz::platform {
namespace {

using win32::Bstr;
using win32::ComPtr;
using win32::Variant;
using win32::Widen;

// XMLHTTPRequest, used through IXMLHttpRequest.
constexpr CLSID kXmlHttpRequestClass = {
    0xED8C108E, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};
constexpr IID kXmlHttpRequestInterface = {
    0xED8C108D, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};

std::size_t Utf8Length(std::wstring_view text) {
  if (text.empty()) return 0;
  if (text.size() > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) win32::ThrowLastError();
  return static_cast<std::size_t>(bytes);
}

// True for success; a failure's result is kept as the reason.
bool Succeeded(HRESULT result) {
  if (SUCCEEDED(result)) return true;
  NoteResultCode(result);
  return false;
}

}  // namespace

bool PostForReply(const char* method, const std::string& url,
                  const std::array<RequestHeader, 3>& headers, const std::string& body,
                  ReplyText& reply) {
  ComPtr<IXMLHTTPRequest> request;
  if (!Succeeded(CoCreateInstance(kXmlHttpRequestClass, nullptr, CLSCTX_INPROC_SERVER,
                                  kXmlHttpRequestInterface, request.outVoid())) ||
      !request) {
    return false;
  }

  {
    // Synchronous, and with an empty user name and password rather than none.
    const Bstr verb(Widen(method));
    const Bstr target(Widen(url));
    Variant async = Variant::FromBool(false);
    Variant user = Variant::FromText(L"");
    Variant password = Variant::FromText(L"");
    if (!Succeeded(
            request->open(verb.get(), target.get(), async.get(), user.get(), password.get()))) {
      return false;
    }
  }

  // The object sends a text body as UTF-8, so the length on the wire is that of the UTF-8 form.
  // It equals the 8-bit length for ASCII text; for anything else the 8-bit count would make the
  // service cut the body short.
  const std::wstring wideBody = Widen(body);
  const std::string wireLength = std::to_string(Utf8Length(wideBody));
  for (const auto& header : headers) {
    const bool isLength = lstrcmpiA(header.name, "Content-Length") == 0;
    const Bstr name(Widen(header.name));
    const Bstr value(Widen(isLength ? wireLength : header.value));
    if (!Succeeded(request->setRequestHeader(name.get(), value.get()))) return false;
  }

  {
    // Returns once the whole response is in, or the transfer failed.
    Variant content = Variant::FromText(wideBody);
    if (!Succeeded(request->send(content.get()))) return false;
  }

  // Any status counts, a fault or an error page included; but a connection closed before any
  // status line came back is a broken transfer, not an empty reply. (Wine's object reports such
  // a send as a success, with status 0.)
  long status = 0;
  if (!Succeeded(request->get_status(&status))) return false;
  if (status < 100 || status > 999) {
    NoteErrorText("no HTTP status line came back (status " + std::to_string(status) + ")");
    return false;
  }
  Bstr text;
  if (FAILED(request->get_responseText(text.out()))) return false;
  reply.assign(text.view());
  return true;
}

}  // namespace rz::platform
