#include "download/url_reference.h"

#include <gtest/gtest.h>

#include <string>

namespace rz {
namespace {

struct ReferenceCase {
  const char* reference;
  const char* expected;
};

class Resolve : public testing::TestWithParam<ReferenceCase> {};

// The examples of RFC 3986, section 5.4, against its base; fragments are dropped.
TEST_P(Resolve, AgainstTheRfcBase) {
  EXPECT_EQ(ResolveReference("http://a/b/c/d;p?q", GetParam().reference), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc3986, Resolve,
    testing::Values(
        ReferenceCase{"g:h", "g:h"}, ReferenceCase{"g", "http://a/b/c/g"},
        ReferenceCase{"./g", "http://a/b/c/g"}, ReferenceCase{"g/", "http://a/b/c/g/"},
        ReferenceCase{"/g", "http://a/g"}, ReferenceCase{"//g", "http://g"},
        ReferenceCase{"?y", "http://a/b/c/d;p?y"}, ReferenceCase{"g?y", "http://a/b/c/g?y"},
        ReferenceCase{"#s", "http://a/b/c/d;p?q"}, ReferenceCase{"g#s", "http://a/b/c/g"},
        ReferenceCase{";x", "http://a/b/c/;x"}, ReferenceCase{"", "http://a/b/c/d;p?q"},
        ReferenceCase{".", "http://a/b/c/"}, ReferenceCase{"..", "http://a/b/"},
        ReferenceCase{"../g", "http://a/b/g"}, ReferenceCase{"../..", "http://a/"},
        ReferenceCase{"../../../g", "http://a/g"}, ReferenceCase{"/./g", "http://a/g"},
        ReferenceCase{"/../g", "http://a/g"}, ReferenceCase{"g.", "http://a/b/c/g."},
        ReferenceCase{"..g", "http://a/b/c/..g"}, ReferenceCase{"./../g", "http://a/b/g"},
        ReferenceCase{"g/./h", "http://a/b/c/g/h"}, ReferenceCase{"g/../h", "http://a/b/c/h"},
        ReferenceCase{"g?y/../x", "http://a/b/c/g?y/../x"}, ReferenceCase{"http:g", "http:g"},
        ReferenceCase{"HTTPS://cdn.test:8443/x/../y", "HTTPS://cdn.test:8443/y"}));

TEST(Resolve, NeedsAnAbsoluteBase) { EXPECT_EQ(ResolveReference("/relative", "g"), ""); }

TEST(MayRedirect, OnlyHttpAndHttpsAndNeverDownToPlainText) {
  EXPECT_TRUE(MayRedirect("http://a/x", "http://b/y"));
  EXPECT_TRUE(MayRedirect("http://a/x", "HTTPS://b/y"));
  EXPECT_TRUE(MayRedirect("https://a/x", "https://b/y"));
  EXPECT_FALSE(MayRedirect("https://a/x", "http://a/x"));
  EXPECT_FALSE(MayRedirect("HTTPS://a/x", "Http://a/x"));
  EXPECT_FALSE(MayRedirect("http://a/x", "ftp://a/x"));
  EXPECT_FALSE(MayRedirect("http://a/x", "file:///etc/passwd"));
}

}  // namespace
}  // namespace rz
