// Conversions of the control's variant values: what hosts pass as addresses, port numbers and
// speeds, and the texts numbers are shown with.
#include <gtest/gtest.h>

#include <limits>

#include "velmar/error.hpp"
#include "velmar/variant.hpp"

namespace velmar {
namespace {

TEST(Variant, IntegersRoundHalvesToTheEvenNeighbour) {
  EXPECT_EQ(Variant(2.5).ToByte(), 2);
  EXPECT_EQ(Variant(3.5).ToByte(), 4);
  EXPECT_EQ(Variant(-2.5).ToInt16(), -2);
  EXPECT_EQ(Variant(" 254.5 ").ToByte(), 254);  // numeric text, blanks around it
  EXPECT_EQ(Variant(255.5).ToInt16(), 256);
  EXPECT_EQ(Variant(true).ToInt16(), -1);  // True is all bits set
  EXPECT_EQ(Variant().ToInt32(), 0);
}

TEST(Variant, OverflowAndConversionErrorsNameTheValueAndTheRange) {
  try {
    Variant(255.5).ToByte("Address");
    FAIL() << "no overflow";
  } catch (const OverflowError& e) {
    EXPECT_STREQ(e.what(), "Address 255.5 does not fit a byte (0 to 255)");
  }
  try {
    Variant("12a").ToInt16("CommPort");
    FAIL() << "no conversion error";
  } catch (const ConversionError& e) {
    EXPECT_STREQ(e.what(), "CommPort \"12a\" is not a number");
  }
  EXPECT_THROW(Variant(32767.5).ToInt16(), OverflowError);  // rounds to 32768
  EXPECT_THROW(Variant(std::numeric_limits<double>::quiet_NaN()).ToInt32(), OverflowError);
  EXPECT_THROW(Variant("").ToByte(), ConversionError);
  EXPECT_EQ(Variant(-32768.5).ToInt16(), -32768);  // the even neighbour fits
}

TEST(Variant, TextsWithASignPosition) {
  EXPECT_EQ(LeadingSpaceText(7), " 7");
  EXPECT_EQ(LeadingSpaceText(-7), "-7");
  EXPECT_EQ(LeadingSpaceText(1.5), " 1.5");
  EXPECT_EQ(LeadingSpaceText(-0.0), " 0");
  EXPECT_EQ(LeadingNumber("300,e,8,1"), 300);
  EXPECT_EQ(LeadingNumber("  -1.5e2x"), -150);
  EXPECT_EQ(LeadingNumber("e,8"), 0);
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant(std::int32_t{-5}).ToText(), "-5");
}

}  // namespace
}  // namespace velmar
