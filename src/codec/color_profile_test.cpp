// Tests of the colour a lossless file declares for an ICC profile: libjxl's
// own profile of an encoding becomes that encoding, read back by libjxl's
// decoder with the very profile bytes; every other profile stays a profile.
#include "codec/color_profile.h"

#include <gtest/gtest.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "codec/animation.h"
#include "codec/arrays.h"
#include "codec/encoder.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;

struct EncodingCase {
  const char* name;
  JxlColorSpace space;
  JxlPrimaries primaries;
  JxlTransferFunction transfer;
  double gamma = 0;
  JxlRenderingIntent intent = JXL_RENDERING_INTENT_RELATIVE;
};

JxlColorEncoding encoding_of(const EncodingCase& c) {
  JxlColorEncoding e{};
  e.color_space = c.space;
  e.white_point = JXL_WHITE_POINT_D65;
  e.primaries = c.primaries;
  e.transfer_function = c.transfer;
  e.gamma = c.gamma;
  e.rendering_intent = c.intent;
  return e;
}

bool grey(const JxlColorEncoding& e) { return e.color_space == JXL_COLOR_SPACE_GRAY; }

// A small lossless file declared in `color` by libjxl's API alone.
Bytes file_in(const JxlColorEncoding& color) {
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = 3;
  info.ysize = 2;
  info.uses_original_profile = JXL_TRUE;
  info.num_color_channels = grey(color) ? 1 : 3;
  EXPECT_EQ(JxlEncoderSetBasicInfo(enc.get(), &info), JXL_ENC_SUCCESS);
  EXPECT_EQ(JxlEncoderSetColorEncoding(enc.get(), &color), JXL_ENC_SUCCESS);
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  JxlEncoderSetFrameLossless(fs, JXL_TRUE);
  const Bytes pixels(18, 77);
  const JxlPixelFormat format{info.num_color_channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  EXPECT_EQ(JxlEncoderAddImageFrame(fs, &format, pixels.data(), 6 * info.num_color_channels),
            JXL_ENC_SUCCESS);
  JxlEncoderCloseInput(enc.get());
  Bytes file(4096);
  uint8_t* next = file.data();
  size_t avail = file.size();
  EXPECT_EQ(JxlEncoderProcessOutput(enc.get(), &next, &avail), JXL_ENC_SUCCESS);
  file.resize(file.size() - avail);
  return file;
}

Bytes profile_of(const Bytes& file) {
  auto header = read_header(file);
  EXPECT_TRUE(header.ok());
  return header.ok() ? header.value().icc : Bytes{};
}

// What libjxl's decoder finds declared in a file: the encoding, or nothing
// when the file holds an ICC profile; and the profile it hands out.
struct Declared {
  std::optional<JxlColorEncoding> encoding;
  Bytes icc;
};

Declared declared(const Bytes& file) {
  Declared d;
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_COLOR_ENCODING);
  JxlDecoderSetInput(dec.get(), file.data(), file.size());
  JxlDecoderCloseInput(dec.get());
  EXPECT_EQ(JxlDecoderProcessInput(dec.get()), JXL_DEC_COLOR_ENCODING);
  JxlColorEncoding e;
  if (JxlDecoderGetColorAsEncodedProfile(dec.get(), JXL_COLOR_PROFILE_TARGET_ORIGINAL, &e) ==
      JXL_DEC_SUCCESS) {
    d.encoding = e;
  }
  size_t size = 0;
  EXPECT_EQ(JxlDecoderGetICCProfileSize(dec.get(), JXL_COLOR_PROFILE_TARGET_ORIGINAL, &size),
            JXL_DEC_SUCCESS);
  d.icc.resize(size);
  EXPECT_EQ(JxlDecoderGetColorAsICCProfile(dec.get(), JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                           d.icc.data(), size),
            JXL_DEC_SUCCESS);
  return d;
}

void expect_same_encoding(const JxlColorEncoding& a, const JxlColorEncoding& b) {
  EXPECT_EQ(a.color_space, b.color_space);
  EXPECT_EQ(a.white_point, b.white_point);
  if (!grey(a)) {
    EXPECT_EQ(a.primaries, b.primaries);
  }
  EXPECT_EQ(a.transfer_function, b.transfer_function);
  if (a.transfer_function == JXL_TRANSFER_FUNCTION_GAMMA) {
    EXPECT_NEAR(a.gamma, b.gamma, 1e-6);
  }
  EXPECT_EQ(a.rendering_intent, b.rendering_intent);
}

// A lossless or lossy still of 3x2 pixels with `icc` (colour channels as the
// profile's kind, or as `channels` says).
Result<Bytes, EncodeError> still_with(std::span<const uint8_t> icc, bool lossless,
                                      uint32_t channels) {
  auto runner = create_runner(0);
  EncoderSettings settings;
  settings.lossless = lossless;
  auto driver = EncoderDriver::create(*runner, settings);
  if (!driver) return Err{driver.error()};
  const Bytes pixels(6 * channels, 100);
  SampleFrame frame;
  frame.bytes = pixels;
  frame.width = 3;
  frame.height = 2;
  frame.channels = channels;
  frame.icc = icc;
  return driver.value().encode_samples(frame);
}

class LibjxlProfile : public testing::TestWithParam<EncodingCase> {};

TEST_P(LibjxlProfile, IsTakenForItsEncoding) {
  const JxlColorEncoding made = encoding_of(GetParam());
  const Bytes icc = profile_of(file_in(made));
  ASSERT_FALSE(icc.empty());
  auto found = encoding_of_profile(icc);
  ASSERT_TRUE(found.ok());
  ASSERT_TRUE(found.value().has_value());
  expect_same_encoding(*found.value(), made);
}

TEST_P(LibjxlProfile, LosslessFileDeclaresTheEncodingWithTheSameProfileBytes) {
  const JxlColorEncoding made = encoding_of(GetParam());
  const Bytes icc = profile_of(file_in(made));
  auto file = still_with(icc, true, grey(made) ? 1 : 3);
  ASSERT_TRUE(file.ok()) << error_text(file.error());
  const Declared d = declared(file.value());
  ASSERT_TRUE(d.encoding.has_value()) << "the file holds the profile, not the encoding";
  expect_same_encoding(*d.encoding, made);
  EXPECT_TRUE(d.icc == icc);
}

TEST_P(LibjxlProfile, AnimationDeclaresTheEncodingToo) {
  const JxlColorEncoding made = encoding_of(GetParam());
  const Bytes icc = profile_of(file_in(made));
  AnimationSettings s;
  s.width = 3;
  s.height = 2;
  s.channels = grey(made) ? 1 : 3;
  s.lossless = true;
  s.icc = icc;
  auto enc = AnimationEncoder::create(s, create_runner(0));
  ASSERT_TRUE(enc.ok()) << error_text(enc.error());
  const Bytes frame(enc.value().frame_bytes(), 9);
  ASSERT_TRUE(enc.value().add_frame(frame, 10).ok());
  ASSERT_TRUE(enc.value().add_frame(frame, 10).ok());
  auto file = enc.value().finish();
  ASSERT_TRUE(file.ok());
  const Declared d = declared(file.value());
  ASSERT_TRUE(d.encoding.has_value());
  expect_same_encoding(*d.encoding, made);
  EXPECT_TRUE(d.icc == icc);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, LibjxlProfile,
    testing::Values(
        EncodingCase{"srgb", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_SRGB, JXL_TRANSFER_FUNCTION_SRGB},
        EncodingCase{"display_p3", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_P3,
                     JXL_TRANSFER_FUNCTION_SRGB, 0, JXL_RENDERING_INTENT_PERCEPTUAL},
        EncodingCase{"rec2020", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_2100,
                     JXL_TRANSFER_FUNCTION_709},
        EncodingCase{"pq", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_2100, JXL_TRANSFER_FUNCTION_PQ},
        EncodingCase{"hlg", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_2100, JXL_TRANSFER_FUNCTION_HLG},
        EncodingCase{"linear_srgb", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_SRGB,
                     JXL_TRANSFER_FUNCTION_LINEAR},
        EncodingCase{"gamma_2", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_SRGB,
                     JXL_TRANSFER_FUNCTION_GAMMA, 0.5},
        EncodingCase{"grey_srgb", JXL_COLOR_SPACE_GRAY, JXL_PRIMARIES_SRGB,
                     JXL_TRANSFER_FUNCTION_SRGB},
        EncodingCase{"grey_linear", JXL_COLOR_SPACE_GRAY, JXL_PRIMARIES_SRGB,
                     JXL_TRANSFER_FUNCTION_LINEAR}),
    [](const auto& p) { return std::string(p.param.name); });

// libjxl's Display P3 profile changed in one way each: every one is a
// profile of its own, stored as the bytes given.
struct AlteredCase {
  const char* name;
  void (*alter)(Bytes&);
};

class AlteredProfile : public testing::TestWithParam<AlteredCase> {};

TEST_P(AlteredProfile, IsKeptAsAProfile) {
  const JxlColorEncoding p3 = encoding_of({"", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_P3,
                                           JXL_TRANSFER_FUNCTION_SRGB});
  Bytes icc = profile_of(file_in(p3));
  ASSERT_GT(icc.size(), 200u);
  GetParam().alter(icc);
  auto found = encoding_of_profile(icc);
  ASSERT_TRUE(found.ok());
  EXPECT_FALSE(found.value().has_value());
  auto file = still_with(icc, true, 3);
  ASSERT_TRUE(file.ok()) << error_text(file.error());
  const Declared d = declared(file.value());
  EXPECT_FALSE(d.encoding.has_value());
  EXPECT_TRUE(d.icc == icc);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, AlteredProfile,
    testing::Values(
        // The same colours from another program's colour engine.
        AlteredCase{"other_cmm", [](Bytes& icc) { std::copy_n("lcms", 4, icc.begin() + 4); }},
        // Another date: the bytes differ, so a reader would get others back.
        AlteredCase{"other_date", [](Bytes& icc) { icc[25] ^= 1; }},
        // The last byte of the last tag's data (a curve or the CICP tag).
        AlteredCase{"last_byte", [](Bytes& icc) { icc.back() ^= 1; }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ProfileCandidates, WhatIsNoLibjxlProfileIsPassedOver) {
  Bytes short_header(100, 0);
  std::copy_n("jxl ", 4, short_header.begin() + 4);
  Bytes garbage(300, 0x5A);
  std::copy_n("jxl ", 4, garbage.begin() + 4);
  for (const Bytes& icc : {Bytes{}, short_header, garbage}) {
    auto found = encoding_of_profile(icc);
    ASSERT_TRUE(found.ok());
    EXPECT_FALSE(found.value().has_value());
  }
  // libjxl refuses garbage as a profile, as it always did.
  auto file = still_with(garbage, true, 3);
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error(), EncodeError::BadInput);
}

// A profile of the other kind of colour fails as it failed before the
// encoding was recognised: libjxl refuses the profile, as bad input.
TEST(ProfileCandidates, ProfileOfTheOtherKindIsRefusedAsBefore) {
  const Bytes grey_icc = profile_of(file_in(
      encoding_of({"", JXL_COLOR_SPACE_GRAY, JXL_PRIMARIES_SRGB, JXL_TRANSFER_FUNCTION_SRGB})));
  const Bytes rgb_icc = profile_of(file_in(
      encoding_of({"", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_P3, JXL_TRANSFER_FUNCTION_SRGB})));
  for (bool lossless : {true, false}) {
    auto colour = still_with(grey_icc, lossless, 3);
    ASSERT_FALSE(colour.ok());
    EXPECT_EQ(colour.error(), EncodeError::BadInput);
    auto grey_pixels = still_with(rgb_icc, lossless, 1);
    ASSERT_FALSE(grey_pixels.ok());
    EXPECT_EQ(grey_pixels.error(), EncodeError::BadInput);
  }
}

}  // namespace
}  // namespace tessara
