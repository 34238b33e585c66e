// The XML document capability: MSXML DOMDocument on Windows, libxml2 elsewhere.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/reply_text.h"

namespace rz::platform {

// One child node of the ad list element, as the document object reports it.
struct AdListChild {
  bool isElement = false;  // text, comment, PI and CDATA children are not elements
  bool hasFlash = false;   // the element carries a "Flash" attribute
  std::string flash;       // its value as UTF-8, entities resolved
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Creates the platform's document object. False when it cannot be created.
  bool Create();

  // Loads the reply text with network access and external entities off and no expansion of
  // internal entities beyond the predefined ones and character references. False when the text
  // is not well-formed, or declares a document type (a service reply never does, and that is
  // where external and expanding entities would be declared).
  bool Load(const ReplyText& text);

  // Finds the first element named AdList (matched by local name, in any namespace or none) whose
  // parent is an element named WebResponse, in document order, and calls `visit` for each of its
  // children in document order until `visit` returns false. Returns false when there is no such
  // element.
  bool ForEachAdListChild(const std::function<bool(const AdListChild&)>& visit);

  // Serialises the loaded document to `path`, a UTF-8 path (MSXML's save on Windows, UTF-8 via
  // libxml2 elsewhere). False when the file could not be written completely.
  bool Save(const std::string& path);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rz::platform
