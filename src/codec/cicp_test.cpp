// cICP code points to JPEG XL colour encodings, as cjxl maps them.
#include "codec/cicp.h"

#include <gtest/gtest.h>
#include <jxl/encode.h>

namespace tessara {
namespace {

struct Case {
  std::array<uint8_t, 4> cicp;
  JxlPrimaries primaries;
  JxlWhitePoint white;
  JxlTransferFunction transfer;
};

class Named : public testing::TestWithParam<Case> {};

TEST_P(Named, MapsToTheEncodingLibjxlNames) {
  const Case c = GetParam();
  for (bool grey : {false, true}) {
    const auto encoding = color_encoding_from_cicp(c.cicp, grey);
    ASSERT_TRUE(encoding.has_value());
    EXPECT_EQ(encoding->color_space, grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB);
    EXPECT_EQ(encoding->primaries, c.primaries);
    EXPECT_EQ(encoding->white_point, c.white);
    EXPECT_EQ(encoding->transfer_function, c.transfer);
    EXPECT_EQ(encoding->rendering_intent, JXL_RENDERING_INTENT_RELATIVE);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cicp, Named,
    testing::Values(
        Case{{1, 13, 0, 1}, JXL_PRIMARIES_SRGB, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_SRGB},
        Case{{9, 16, 0, 1}, JXL_PRIMARIES_2100, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_PQ},
        Case{{9, 18, 0, 1}, JXL_PRIMARIES_2100, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_HLG},
        Case{{12, 13, 0, 1}, JXL_PRIMARIES_P3, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_SRGB},
        Case{{11, 17, 0, 1}, JXL_PRIMARIES_P3, JXL_WHITE_POINT_DCI, JXL_TRANSFER_FUNCTION_DCI},
        Case{{1, 8, 0, 1}, JXL_PRIMARIES_SRGB, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_LINEAR},
        Case{{1, 14, 0, 1}, JXL_PRIMARIES_SRGB, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_709},
        Case{{6, 6, 0, 1}, JXL_PRIMARIES_CUSTOM, JXL_WHITE_POINT_D65, JXL_TRANSFER_FUNCTION_709},
        Case{{10, 4, 0, 1}, JXL_PRIMARIES_CUSTOM, JXL_WHITE_POINT_E, JXL_TRANSFER_FUNCTION_GAMMA}));

TEST(Cicp, CustomPrimariesAndGammaCarryTheirValues) {
  const auto ntsc = color_encoding_from_cicp({4, 5, 0, 1}, false);
  ASSERT_TRUE(ntsc.has_value());
  EXPECT_DOUBLE_EQ(ntsc->primaries_green_xy[1], 0.71);
  EXPECT_DOUBLE_EQ(ntsc->white_point_xy[0], 0.310);
  EXPECT_EQ(ntsc->white_point, JXL_WHITE_POINT_CUSTOM);
  EXPECT_DOUBLE_EQ(ntsc->gamma, 1 / 2.8);
}

TEST(Cicp, WhatJpegXlCannotHoldHasNoEncoding) {
  for (const std::array<uint8_t, 4> cicp :
       {std::array<uint8_t, 4>{9, 16, 9, 1}, {9, 16, 0, 0}, {2, 13, 0, 1}, {1, 2, 0, 1},
        {1, 7, 0, 1}, {0, 0, 0, 1}, {255, 255, 0, 1}}) {
    EXPECT_FALSE(color_encoding_from_cicp(cicp, false).has_value())
        << int{cicp[0]} << " " << int{cicp[1]} << " " << int{cicp[2]} << " " << int{cicp[3]};
  }
}

// Back the other way, for a PNG written from a JPEG XL file: every encoding
// with named primaries and a named transfer has its code points (the
// canonical ones: BT.709's curve for 601 and 2020's too).
TEST(Cicp, NamedEncodingsGoBackToTheirCodePoints) {
  for (const std::array<uint8_t, 4> cicp :
       {std::array<uint8_t, 4>{1, 13, 0, 1}, {9, 16, 0, 1}, {9, 18, 0, 1}, {12, 13, 0, 1},
        {11, 17, 0, 1}, {1, 8, 0, 1}, {1, 1, 0, 1}, {9, 1, 0, 1}, {1, 4, 0, 1}, {1, 5, 0, 1}}) {
    const auto encoding = color_encoding_from_cicp(cicp, false);
    ASSERT_TRUE(encoding.has_value());
    EXPECT_EQ(cicp_from_color_encoding(*encoding), cicp) << int{cicp[0]} << " " << int{cicp[1]};
  }
  const auto grey = color_encoding_from_cicp({1, 18, 0, 1}, true);
  ASSERT_TRUE(grey.has_value());
  EXPECT_EQ(cicp_from_color_encoding(*grey), (std::array<uint8_t, 4>{1, 18, 0, 1}));
}

TEST(Cicp, EncodingsWithoutNamesHaveNoCodePoints) {
  const auto bt601 = color_encoding_from_cicp({6, 6, 0, 1}, false);  // primaries as chromaticities
  ASSERT_TRUE(bt601.has_value());
  EXPECT_FALSE(cicp_from_color_encoding(*bt601).has_value());
  JxlColorEncoding odd_gamma;
  JxlColorEncodingSetToSRGB(&odd_gamma, false);
  odd_gamma.transfer_function = JXL_TRANSFER_FUNCTION_GAMMA;
  odd_gamma.gamma = 1 / 1.8;
  EXPECT_FALSE(cicp_from_color_encoding(odd_gamma).has_value());
  JxlColorEncoding xyb = odd_gamma;
  xyb.color_space = JXL_COLOR_SPACE_XYB;
  xyb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
  EXPECT_FALSE(cicp_from_color_encoding(xyb).has_value());
}

}  // namespace
}  // namespace tessara
