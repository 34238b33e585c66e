// The XML document through libxml2, loaded so that a reply cannot reach beyond its own text.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/xml_document.h"
#include "platform/last_error.h"

namespace rz::platform {
namespace {

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocHandle = std::unique_ptr<xmlDoc, DocDeleter>;

struct ParserDeleter {
  void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};
using ParserHandle = std::unique_ptr<xmlParserCtxt, ParserDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlText = std::unique_ptr<xmlChar, XmlCharDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// No network, no external entities, no substitution of declared entities, no DTD loading, and
// libxml2's own limits on size, depth and entity amplification stay on (no XML_PARSE_HUGE).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// What the parser learned about the document besides its tree.
struct LoadState {
  bool hasDoctype = false;
};

// Errors are reported through the return value; nothing goes to the host's stderr.
void IgnoreError(void*, xmlErrorPtr) {}

// A service reply has no business declaring a document type, and a declaration is where
// entity bombs and external entities live: the parse stops at the first sign of one, before
// any declaration inside it is read.
void RefuseDoctype(void* userData, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* context = static_cast<xmlParserCtxt*>(userData);
  static_cast<LoadState*>(context->_private)->hasDoctype = true;
  xmlStopParser(context);
}

// Nothing outside the text is ever opened, whatever a reply names.
xmlParserInput* ResolveNothing(void*, const xmlChar*, const xmlChar*) { return nullptr; }
void LoadNoExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

// Some of libxml2's complaints (encoding conversion among them) bypass the parser context and go
// to the thread's generic handler, which prints to stderr. It is silenced for the duration of a
// load and then given back, so a host's own use of libxml2 is not disturbed.
void IgnoreGenericError(void*, const char*, ...) {}

class QuietGenericErrors {
 public:
  QuietGenericErrors() : handler_(xmlGenericError), context_(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &IgnoreGenericError);
  }
  ~QuietGenericErrors() { xmlSetGenericErrorFunc(context_, handler_); }
  QuietGenericErrors(const QuietGenericErrors&) = delete;
  QuietGenericErrors& operator=(const QuietGenericErrors&) = delete;

 private:
  xmlGenericErrorFunc handler_;
  void* context_;
};

void InitParserOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

bool HasLocalName(const xmlNode* node, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The next element after `node` in document order, its subtree included.
xmlNode* NextInDocumentOrder(xmlNode* node, const xmlNode* root) {
  if (node->children != nullptr) return node->children;
  while (node != nullptr && node != root) {
    if (node->next != nullptr) return node->next;
    node = node->parent;
  }
  return nullptr;
}

// The attribute named "Flash" without a namespace, as a DOM looks it up by its qualified name.
const xmlAttr* FindFlash(const xmlNode* element) {
  for (const xmlAttr* attribute = element->properties; attribute != nullptr;
       attribute = attribute->next) {
    if (attribute->ns == nullptr &&
        std::strcmp(reinterpret_cast<const char*>(attribute->name), "Flash") == 0) {
      return attribute;
    }
  }
  return nullptr;
}

}  // namespace

struct XmlDocument::Impl {
  DocHandle doc;
};

XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;

bool XmlDocument::Create() {
  InitParserOnce();
  impl_ = std::make_unique<Impl>();
  return true;
}

bool XmlDocument::Load(const ReplyText& text) {
  if (!impl_) return false;
  impl_->doc.reset();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;

  const QuietGenericErrors quiet;
  ParserHandle context(xmlNewParserCtxt());
  if (!context || context->sax == nullptr) return false;
  LoadState state;
  context->_private = &state;
  context->sax->serror = &IgnoreError;
  context->sax->internalSubset = &RefuseDoctype;
  context->sax->externalSubset = &LoadNoExternalSubset;
  context->sax->resolveEntity = &ResolveNothing;

  DocHandle doc(xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()),
                                  nullptr, nullptr, kParseOptions));
  if (!doc || state.hasDoctype || context->wellFormed == 0) return false;
  impl_->doc = std::move(doc);
  return true;
}

bool XmlDocument::ForEachAdListChild(const std::function<bool(const AdListChild&)>& visit) {
  if (!impl_ || !impl_->doc) return false;
  xmlNode* const root = xmlDocGetRootElement(impl_->doc.get());
  // The first AdList in document order whose parent is a WebResponse, in any namespace.
  xmlNode* list = root;
  while (list != nullptr &&
         !(HasLocalName(list, "AdList") && HasLocalName(list->parent, "WebResponse"))) {
    list = NextInDocumentOrder(list, root);
  }
  if (list == nullptr) return false;

  for (const xmlNode* node = list->children; node != nullptr; node = node->next) {
    AdListChild child;
    child.isElement = node->type == XML_ELEMENT_NODE;
    if (child.isElement) {
      if (const xmlAttr* flash = FindFlash(node)) {
        child.hasFlash = true;
        // Text children only: with no document type, the parser has already replaced the
        // predefined entities and character references.
        XmlText value(xmlNodeListGetString(impl_->doc.get(), flash->children, 1));
        if (value) child.flash = reinterpret_cast<const char*>(value.get());
      }
    }
    if (!visit(child)) break;
  }
  return true;
}

bool XmlDocument::Save(const std::string& path) {
  if (!impl_ || !impl_->doc) return false;
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(impl_->doc.get(), &raw, &size, "UTF-8");
  const XmlText serialised(raw);
  if (!serialised || size <= 0) return false;

  // Written here rather than by libxml2, so that every failure is seen (a short write, a full
  // disk at flush or close) and none is printed. The cache flushes the file to disk before it
  // takes its name, on both platforms, so it is not flushed twice here.
  File file(std::fopen(path.c_str(), "wb"));
  const auto bytes = static_cast<std::size_t>(size);
  if (!file || std::fwrite(serialised.get(), 1, bytes, file.get()) != bytes ||
      std::fflush(file.get()) != 0 || std::fclose(file.release()) != 0) {
    NoteRuntimeError();
    return false;
  }
  return true;
}

}  // namespace rz::platform
