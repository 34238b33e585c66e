// The GetAd request body: exact bytes, length, escaping of identifiers and the size bound.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/getad.h"

namespace {

// The envelope written out by hand, independently of how the builder assembles it.
std::string Expected(const std::string& outside, const std::string& hardware) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
         "<soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<soap:Body><GetAd xmlns=\"http://tempuri.org/\">"
         "<outsideCardID>" +
         outside + "</outsideCardID><hardwareCardID>" + hardware +
         "</hardwareCardID></GetAd></soap:Body></soap:Envelope>";
}

constexpr std::size_t kFixedBytes = 334;
// The envelope buffer holds 67600 bytes with its NUL.
constexpr std::size_t kMaxEnvelopeBytes = 67599;

TEST(EnvelopeTest, TwoEmptyIdentifiersGiveTheBareEnvelope) {
  const auto envelope = rz::BuildGetAdEnvelope("", "");
  ASSERT_TRUE(envelope);
  EXPECT_EQ(*envelope, Expected("", ""));
  EXPECT_NE(envelope->find("<outsideCardID></outsideCardID><hardwareCardID></hardwareCardID>"),
            std::string::npos);
  EXPECT_EQ(envelope->size(), kFixedBytes + std::strlen(rz::kServiceNamespace));
}

TEST(EnvelopeTest, NullIdentifiersCountAsEmpty) {
  const auto envelope = rz::BuildGetAdEnvelope(nullptr, nullptr);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(*envelope, Expected("", ""));
}

TEST(EnvelopeTest, SoapActionIsTheNamespaceFollowedByGetAd) {
  EXPECT_EQ(std::string(rz::kSoapAction), std::string(rz::kServiceNamespace) + "GetAd");
  const std::string ns = rz::kServiceNamespace;
  EXPECT_EQ(ns.rfind("http://", 0), 0u);
  EXPECT_EQ(ns.back(), '/');
}

struct IdentifierCase {
  const char* outside;
  const char* hardware;
  const char* outsideText;  // as it stands in the envelope
  const char* hardwareText;
};

class EnvelopeIdentifierTest : public testing::TestWithParam<IdentifierCase> {};

TEST_P(EnvelopeIdentifierTest, IdentifiersStandInOrderEscapedAndCounted) {
  const IdentifierCase& c = GetParam();
  const auto envelope = rz::BuildGetAdEnvelope(c.outside, c.hardware);
  ASSERT_TRUE(envelope);
  EXPECT_EQ(*envelope, Expected(c.outsideText, c.hardwareText));
  EXPECT_EQ(envelope->size(), kFixedBytes + std::strlen(rz::kServiceNamespace) +
                                  std::strlen(c.outsideText) + std::strlen(c.hardwareText));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvelopeIdentifierTest,
    testing::Values(IdentifierCase{"0123456789", "ABCDEF", "0123456789", "ABCDEF"},
                    IdentifierCase{"only-outside", "", "only-outside", ""},
                    IdentifierCase{"", "only-hardware", "", "only-hardware"},
                    IdentifierCase{" spaced id ", "\"q'", " spaced id ", "\"q'"},
                    IdentifierCase{"a&b", "<c>", "a&amp;b", "&lt;c&gt;"},
                    IdentifierCase{"&amp;", "</hardwareCardID>", "&amp;amp;",
                                   "&lt;/hardwareCardID&gt;"},
                    IdentifierCase{"\xC3\xA9t\xC3\xA9", "x", "\xC3\xA9t\xC3\xA9", "x"}));

// Room left for the two identifiers together.
std::size_t Room() { return kMaxEnvelopeBytes - kFixedBytes - std::strlen(rz::kServiceNamespace); }

TEST(EnvelopeTest, LargestEnvelopeThatFitsIsBuiltWhole) {
  const std::string outside(Room() / 2, 'o');
  const std::string hardware(Room() - outside.size(), 'h');
  const auto envelope = rz::BuildGetAdEnvelope(outside.c_str(), hardware.c_str());
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->size(), kMaxEnvelopeBytes);
  EXPECT_EQ(*envelope, Expected(outside, hardware));
}

TEST(EnvelopeTest, OneByteMoreIsRefusedNotCut) {
  const std::string outside(Room() / 2, 'o');
  const std::string hardware(Room() - outside.size() + 1, 'h');
  EXPECT_FALSE(rz::BuildGetAdEnvelope(outside.c_str(), hardware.c_str()));
  EXPECT_FALSE(rz::BuildGetAdEnvelope(hardware.c_str(), outside.c_str()));
}

TEST(EnvelopeTest, EscapingCountsTowardsTheBound) {
  // Fits raw, but each '&' takes five bytes once escaped.
  const std::string fitsRaw(Room(), '&');
  EXPECT_FALSE(rz::BuildGetAdEnvelope(fitsRaw.c_str(), ""));
  const std::string fitsEscaped(Room() / 5, '&');
  const auto envelope = rz::BuildGetAdEnvelope("", fitsEscaped.c_str());
  ASSERT_TRUE(envelope);
  EXPECT_EQ(envelope->size(), kMaxEnvelopeBytes - Room() % 5);
}

TEST(EnvelopeTest, HugeIdentifiersAreRefused) {
  const std::string huge(676000, '<');
  EXPECT_FALSE(rz::BuildGetAdEnvelope(huge.c_str(), huge.c_str()));
}

}  // namespace
