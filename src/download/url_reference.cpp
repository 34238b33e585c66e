#include "download/url_reference.h"

#include "download/url_text.h"

namespace rz {
namespace {

// The five components of RFC 3986's appendix B; an absent one is distinct from an empty one.
struct Components {
  std::string_view scheme, authority, path, query;
  bool hasScheme = false, hasAuthority = false, hasQuery = false;
};

Components Split(std::string_view text) {
  Components c;
  if (const std::size_t hash = text.find('#'); hash != std::string_view::npos) {
    text = text.substr(0, hash);
  }
  if (const std::string_view scheme = SchemeText(text); !scheme.empty()) {
    c.scheme = scheme;
    c.hasScheme = true;
    text.remove_prefix(scheme.size() + 1);
  }
  if (text.substr(0, 2) == "//") {
    const std::size_t end = text.find_first_of("/?", 2);
    c.authority = text.substr(2, end == std::string_view::npos ? end : end - 2);
    c.hasAuthority = true;
    text.remove_prefix(2 + c.authority.size());
  }
  if (const std::size_t question = text.find('?'); question != std::string_view::npos) {
    c.query = text.substr(question + 1);
    c.hasQuery = true;
    text = text.substr(0, question);
  }
  c.path = text;
  return c;
}

// RFC 3986, 5.2.4.
std::string RemoveDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.substr(0, 3) == "../") {
      input.remove_prefix(3);
    } else if (input.substr(0, 2) == "./") {
      input.remove_prefix(2);
    } else if (input.substr(0, 3) == "/./") {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.substr(0, 4) == "/../" || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      const std::size_t last = output.rfind('/');
      output.resize(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const std::size_t next = input.find('/', 1);
      const std::size_t length = next == std::string_view::npos ? input.size() : next;
      output.append(input.substr(0, length));
      input.remove_prefix(length);
    }
  }
  return output;
}

// RFC 3986, 5.2.3.
std::string Merge(const Components& base, std::string_view path) {
  if (base.hasAuthority && base.path.empty()) return "/" + std::string(path);
  const std::size_t slash = base.path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(base.path.substr(0, slash + 1)).append(path);
}

}  // namespace

std::string ResolveReference(std::string_view baseText, std::string_view referenceText) {
  const Components base = Split(baseText);
  if (!base.hasScheme) return {};
  const Components ref = Split(referenceText);

  // RFC 3986, 5.2.2 (strict: a reference's own scheme is never dropped).
  Components target;
  std::string path;
  if (ref.hasScheme) {
    target = ref;
    path = RemoveDotSegments(ref.path);
  } else {
    target.scheme = base.scheme;
    if (ref.hasAuthority) {
      target.authority = ref.authority;
      target.hasAuthority = true;
      path = RemoveDotSegments(ref.path);
      target.query = ref.query;
      target.hasQuery = ref.hasQuery;
    } else {
      target.authority = base.authority;
      target.hasAuthority = base.hasAuthority;
      if (ref.path.empty()) {
        path = std::string(base.path);
        target.query = ref.hasQuery ? ref.query : base.query;
        target.hasQuery = ref.hasQuery || base.hasQuery;
      } else {
        path = RemoveDotSegments(ref.path.front() == '/' ? std::string(ref.path)
                                                         : Merge(base, ref.path));
        target.query = ref.query;
        target.hasQuery = ref.hasQuery;
      }
    }
  }

  // RFC 3986, 5.3.
  std::string result(target.scheme);
  result.append(":");
  if (target.hasAuthority) result.append("//").append(target.authority);
  result.append(path);
  if (target.hasQuery) result.append("?").append(target.query);
  return result;
}

bool MayRedirect(std::string_view from, std::string_view to) {
  const std::string fromScheme = SchemeOf(from);
  const std::string toScheme = SchemeOf(to);
  if (toScheme != "http" && toScheme != "https") return false;
  return !(fromScheme == "https" && toScheme == "http");
}

Status FollowRedirect(std::string_view from, std::string_view location, std::string& next) {
  next = ResolveReference(from, HighBytesEncoded(location));
  if (ControlCharacterAt(location) != std::string_view::npos) return kUnsafeUrl;
  return next.empty() || !MayRedirect(from, next) ? kRedirectRefused : kOk;
}

}  // namespace rz
