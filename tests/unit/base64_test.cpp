#include "download/request_builder.h"

#include "download/proxy_challenge.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace rz {
namespace {

std::int32_t Encode(const std::string& input, char* out, std::int32_t capacity) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(input.data()),
                      static_cast<std::int32_t>(input.size()), out, capacity);
}

struct Base64Case {
  std::string input;
  std::string expected;
};

class Base64Vectors : public testing::TestWithParam<Base64Case> {};

TEST_P(Base64Vectors, EncodesLikeRfc4648) {
  std::array<char, 128> out{};
  const std::int32_t written = Encode(GetParam().input, out.data(), 128);
  EXPECT_EQ(written, static_cast<std::int32_t>(GetParam().expected.size()));
  EXPECT_STREQ(out.data(), GetParam().expected.c_str());
}

// RFC 4648 section 10, plus bytes above 0x7F (taken unsigned) and the joined empty credentials.
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors,
                         testing::Values(Base64Case{"f", "Zg=="}, Base64Case{"fo", "Zm8="},
                                         Base64Case{"foo", "Zm9v"}, Base64Case{"foob", "Zm9vYg=="},
                                         Base64Case{"fooba", "Zm9vYmE="},
                                         Base64Case{"foobar", "Zm9vYmFy"}, Base64Case{":", "Og=="},
                                         Base64Case{"user:pass", "dXNlcjpwYXNz"},
                                         Base64Case{std::string("\xff\xfe\x00", 3), "//4A"},
                                         Base64Case{std::string("\xfb\xff", 2), "+/8="}));

// A proxy's challenge comes back through the same alphabet.
TEST_P(Base64Vectors, DecodesBack) {
  std::string decoded;
  ASSERT_TRUE(Base64Decode(GetParam().expected, decoded));
  EXPECT_EQ(decoded, GetParam().input);
}

TEST(Base64Decode, RefusesAnythingButWholePaddedGroups) {
  for (const char* text : {"", "Zg", "Zg=", "Z===", "Zg==Zg==", "Zm9v!A==", "Zm 9v", "=Zm9"}) {
    std::string decoded = "kept";
    EXPECT_FALSE(Base64Decode(text, decoded)) << text;
    EXPECT_EQ(decoded, "kept") << text;
  }
}

TEST(Base64, LengthZeroOrLessGivesEmptyText) {
  for (std::int32_t length : {0, -1}) {
    std::array<char, 8> out;
    out.fill('x');
    EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("abc"), length, out.data(), 8),
              0);
    EXPECT_EQ(out[0], '\0');
  }
}

// A group is written only while four bytes stay free after it: 93 input bytes (124 characters)
// fit 128 bytes, 94 do not.
TEST(Base64, CapacityBoundaryAt128Bytes) {
  std::array<char, 128> out{};
  EXPECT_EQ(Encode(std::string(93, 'a'), out.data(), 128), 124);
  EXPECT_EQ(std::strlen(out.data()), 124u);
  EXPECT_EQ(Encode(std::string(94, 'a'), out.data(), 128), -1);
}

TEST(Base64, NeverWritesPastCapacity) {
  for (std::int32_t capacity = 1; capacity <= 24; ++capacity) {
    for (std::size_t length = 1; length <= 18; ++length) {
      std::array<char, 40> out;
      out.fill('#');
      const std::int32_t written = Encode(std::string(length, 'z'), out.data(), capacity);
      for (std::size_t i = static_cast<std::size_t>(capacity); i < out.size(); ++i) {
        ASSERT_EQ(out[i], '#') << "capacity " << capacity << ", length " << length;
      }
      if (written >= 0) {
        EXPECT_EQ(written % 4, 0);
        EXPECT_LE(written + 4, capacity);
      }
    }
  }
}

TEST(Base64, UnusableOutputIsRefused) {
  char out[8];
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("a"), 1, nullptr, 8), -1);
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("a"), 1, out, 0), -1);
  EXPECT_EQ(Base64Encode(nullptr, 1, out, 8), -1);
}

}  // namespace
}  // namespace rz
