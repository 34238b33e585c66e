// The XML document through MSXML's DOMDocument object.
#include <windows.h>
#include <msxml2.h>

#include "platform/win32/com_util.h"
#include "platform/xml_document.h"
#include "platform/last_error.h"

namespace rz::platform {
namespace {

using win32::Bstr;
using win32::ComPtr;
using win32::Variant;

// DOMDocument, used through IXMLDOMDocument; IXMLDOMDocument2 for its properties.
constexpr CLSID kDocumentClass = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kDocumentInterface = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID kDocument2Interface = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// The first AdList under a WebResponse in document order, in whatever namespace the service
// put them: services built on common SOAP stacks qualify their elements.
constexpr wchar_t kAdListPath[] = L"//*[local-name()='WebResponse']/*[local-name()='AdList']";

// Sets a property where the object knows it; an older or partial implementation may not.
void TrySetProperty(IXMLDOMDocument* doc, const wchar_t* name, const Variant& value) {
  ComPtr<IXMLDOMDocument2> doc2;
  if (FAILED(doc->QueryInterface(kDocument2Interface, doc2.outVoid())) || !doc2) return;
  const Bstr property(name);
  static_cast<void>(doc2->setProperty(property.get(), value.get()));
}

// An attribute value up to its first NUL, as UTF-8: every character the reply holds reaches the
// file system unchanged, whatever the system's ANSI code page can spell.
std::string FlashText(std::wstring_view value) {
  return win32::ToUtf8(value.substr(0, value.find(L'\0')));
}

// The "Flash" attribute of an element child, if it has one.
AdListChild ReadChild(IXMLDOMNode* node) {
  AdListChild child;
  DOMNodeType type = NODE_INVALID;
  if (FAILED(node->get_nodeType(&type)) || type != NODE_ELEMENT) return child;
  child.isElement = true;

  ComPtr<IXMLDOMNamedNodeMap> attributes;
  if (FAILED(node->get_attributes(attributes.out())) || !attributes) return child;
  ComPtr<IXMLDOMNode> flash;
  const Bstr name(L"Flash");
  if (attributes->getNamedItem(name.get(), flash.out()) != S_OK || !flash) return child;
  child.hasFlash = true;

  Variant value;
  if (FAILED(flash->get_nodeValue(value.out()))) return child;
  if (V_VT(&value.get()) == VT_BSTR) {
    child.flash = FlashText(Bstr::View(V_BSTR(&value.get())));
    return child;
  }
  // An absent value (VT_NULL, VT_EMPTY) converts to an empty string.
  Variant converted;
  const HRESULT hr = VariantChangeType(converted.out(), &value.get(), 0, VT_BSTR);
  if (FAILED(hr)) throw std::system_error(hr, std::system_category(), "VariantChangeType");
  child.flash = FlashText(Bstr::View(V_BSTR(&converted.get())));
  return child;
}

}  // namespace

struct XmlDocument::Impl {
  ComPtr<IXMLDOMDocument> doc;
  bool loaded = false;
};

XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;

bool XmlDocument::Create() {
  auto impl = std::make_unique<Impl>();
  if (FAILED(CoCreateInstance(kDocumentClass, nullptr, CLSCTX_INPROC_SERVER, kDocumentInterface,
                              impl->doc.outVoid())) ||
      !impl->doc) {
    return false;
  }
  impl_ = std::move(impl);
  return true;
}

bool XmlDocument::Load(const ReplyText& text) {
  if (!impl_) return false;
  impl_->loaded = false;
  IXMLDOMDocument* const doc = impl_->doc.get();
  // Nothing outside the text is fetched: no external DTD or entities, no validation, no DTD at
  // all where the object supports refusing one.
  static_cast<void>(doc->put_validateOnParse(VARIANT_FALSE));
  static_cast<void>(doc->put_resolveExternals(VARIANT_FALSE));
  TrySetProperty(doc, L"ProhibitDTD", Variant::FromBool(true));
  TrySetProperty(doc, L"AllowDocumentFunction", Variant::FromBool(false));

  const Bstr source(text);
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (FAILED(doc->loadXML(source.get(), &ok)) || ok != VARIANT_TRUE) return false;
  // A service reply has no document type; one that declares it is refused, as on every build.
  ComPtr<IXMLDOMDocumentType> doctype;
  if (SUCCEEDED(doc->get_doctype(doctype.out())) && doctype) return false;
  impl_->loaded = true;
  return true;
}

bool XmlDocument::ForEachAdListChild(const std::function<bool(const AdListChild&)>& visit) {
  if (!impl_ || !impl_->loaded) return false;
  IXMLDOMDocument* const doc = impl_->doc.get();
  TrySetProperty(doc, L"SelectionLanguage", Variant::FromText(L"XPath"));

  ComPtr<IXMLDOMNode> list;
  const Bstr path(kAdListPath);
  if (doc->selectSingleNode(path.get(), list.out()) != S_OK || !list) return false;

  ComPtr<IXMLDOMNodeList> children;
  long count = 0;
  if (FAILED(list->get_childNodes(children.out())) || !children ||
      FAILED(children->get_length(&count))) {
    return true;  // found, with nothing to walk
  }
  for (long i = 0; i < count; ++i) {
    ComPtr<IXMLDOMNode> node;
    if (FAILED(children->get_item(i, node.out())) || !node) continue;
    if (!visit(ReadChild(node.get()))) break;
  }
  return true;
}

bool XmlDocument::Save(const std::string& path) {
  if (!impl_ || !impl_->loaded) return false;
  const Variant target = Variant::FromText(win32::FromUtf8(path));
  if (const HRESULT saved = impl_->doc->save(target.get()); FAILED(saved)) {
    NoteResultCode(saved);
    return false;
  }
  // The object's result is not trusted alone: the file must be there.
  if (GetFileAttributesW(V_BSTR(&target.get())) != INVALID_FILE_ATTRIBUTES) return true;
  NoteSystemError();
  return false;
}

}  // namespace rz::platform
