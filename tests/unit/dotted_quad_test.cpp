#include "download/my_socket.h"

#include <gtest/gtest.h>

namespace rz {
namespace {

struct DottedQuadCase {
  const char* text;
  Status expected;
};

class DottedQuad : public testing::TestWithParam<DottedQuadCase> {};

TEST_P(DottedQuad, ClassifiesText) {
  EXPECT_EQ(MySocket::IsDottedQuad(GetParam().text), GetParam().expected)
      << "text: \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, DottedQuad,
    testing::Values(DottedQuadCase{"1.2.3.4", kOk}, DottedQuadCase{"0001.2.3.4", kOk},
                    DottedQuadCase{"255.255.255.255", kOk}, DottedQuadCase{"0.0.0.0", kOk},
                    DottedQuadCase{"127.0.0.1", kOk},
                    // A long run of leading zeros is still a small number, read without overflow.
                    DottedQuadCase{"000000000000000000000000001.2.3.4", kOk}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, DottedQuad,
    testing::Values(
        DottedQuadCase{"1.2.3.256", kNotDottedQuad}, DottedQuadCase{"1.2.3", kNotDottedQuad},
        DottedQuadCase{"1.2.3.4.5", kNotDottedQuad}, DottedQuadCase{"1.2.3.4.", kNotDottedQuad},
        DottedQuadCase{"1..2.3", kNotDottedQuad}, DottedQuadCase{".1.2.3", kNotDottedQuad},
        DottedQuadCase{"1.2.3.", kNotDottedQuad}, DottedQuadCase{"+1.2.3.4", kNotDottedQuad},
        DottedQuadCase{"-1.2.3.4", kNotDottedQuad}, DottedQuadCase{"1.2.3.4a", kNotDottedQuad},
        DottedQuadCase{" 1.2.3.4", kNotDottedQuad}, DottedQuadCase{"1.2.3.4 ", kNotDottedQuad},
        DottedQuadCase{"1.2\t.3.4", kNotDottedQuad}, DottedQuadCase{"", kNotDottedQuad},
        DottedQuadCase{"localhost", kNotDottedQuad}, DottedQuadCase{"0x7f.0.0.1", kNotDottedQuad},
        // Far beyond the int range: must not overflow into a small value.
        DottedQuadCase{"4294967297.0.0.1", kNotDottedQuad},
        DottedQuadCase{"\xff.1.2.3", kNotDottedQuad}));

TEST(DottedQuadNull, NullTextIsRejected) {
  EXPECT_EQ(MySocket::IsDottedQuad(nullptr), kNotDottedQuad);
}

}  // namespace
}  // namespace rz
