// Tests of the colour a lossless file declares for an ICC profile: libjxl's
// own profile of an encoding becomes that encoding, read back by libjxl's
// decoder with the very profile bytes; every other profile stays a profile.
#include "codec/color_profile.h"

#include <gtest/gtest.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode_cxx.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "codec/animation.h"
#include "codec/encoder.h"
#include "codec/encoder_status.h"
#include "codec/facts.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;

struct EncodingCase {
  const char* name;
  JxlColorSpace space;
  JxlPrimaries primaries;
  JxlTransferFunction transfer;
  JxlRenderingIntent intent = JXL_RENDERING_INTENT_RELATIVE;
};

JxlColorEncoding encoding_of(const EncodingCase& c) {
  JxlColorEncoding e{};
  e.color_space = c.space;
  e.white_point = JXL_WHITE_POINT_D65;
  e.primaries = c.primaries;
  e.transfer_function = c.transfer;
  e.rendering_intent = c.intent;
  return e;
}

bool grey(const JxlColorEncoding& e) { return e.color_space == JXL_COLOR_SPACE_GRAY; }

auto fields(const JxlColorEncoding& e) {
  return std::tuple{e.color_space, e.white_point, grey(e) ? JXL_PRIMARIES_SRGB : e.primaries,
                    e.transfer_function, e.rendering_intent};
}

// libjxl's profile of `color`: that of a 1x1 lossless file declared in it
// through libjxl's API alone.
Bytes profile_of(const JxlColorEncoding& color) {
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = info.ysize = 1;
  info.uses_original_profile = JXL_TRUE;
  info.num_color_channels = grey(color) ? 1 : 3;
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  const uint8_t pixel[3] = {};
  const JxlPixelFormat format{info.num_color_channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  Bytes file(4096);
  uint8_t* next = file.data();
  size_t avail = file.size();
  EXPECT_TRUE(JxlEncoderSetBasicInfo(enc.get(), &info) == JXL_ENC_SUCCESS &&
              JxlEncoderSetColorEncoding(enc.get(), &color) == JXL_ENC_SUCCESS &&
              JxlEncoderSetFrameLossless(fs, JXL_TRUE) == JXL_ENC_SUCCESS &&
              JxlEncoderAddImageFrame(fs, &format, pixel, format.num_channels) == JXL_ENC_SUCCESS);
  JxlEncoderCloseInput(enc.get());
  EXPECT_EQ(JxlEncoderProcessOutput(enc.get(), &next, &avail), JXL_ENC_SUCCESS);
  file.resize(file.size() - avail);
  auto facts = read_facts(file);
  return facts.ok() ? facts.value().original_icc : Bytes{};
}

// The encoding libjxl's decoder finds declared in a file; nothing when the
// file holds an ICC profile.
std::optional<JxlColorEncoding> declared_encoding(const Bytes& file) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_COLOR_ENCODING);
  JxlDecoderSetInput(dec.get(), file.data(), file.size());
  JxlDecoderCloseInput(dec.get());
  EXPECT_EQ(JxlDecoderProcessInput(dec.get()), JXL_DEC_COLOR_ENCODING);
  JxlColorEncoding e;
  if (JxlDecoderGetColorAsEncodedProfile(dec.get(), JXL_COLOR_PROFILE_TARGET_ORIGINAL, &e) !=
      JXL_DEC_SUCCESS) {
    return std::nullopt;
  }
  return e;
}

// A lossless still, or animation of two frames, of 3x2 pixels with `icc`.
Result<Bytes, EncodeError> written_with(std::span<const uint8_t> icc, uint32_t channels,
                                        bool animated = false) {
  const Bytes pixels(6 * channels, 100);
  if (animated) {
    AnimationSettings s;
    s.width = 3;
    s.height = 2;
    s.channels = channels;
    s.lossless = true;
    s.icc = icc;
    auto enc = AnimationEncoder::create(s, create_runner(0));
    if (!enc) return Err{enc.error()};
    for (int i = 0; i < 2; ++i) TESSARA_TRY(enc.value().add_frame(pixels, 10));
    return enc.value().finish();
  }
  auto runner = create_runner(0);
  EncoderSettings settings;
  settings.lossless = true;
  auto driver = EncoderDriver::create(*runner, settings);
  if (!driver) return Err{driver.error()};
  return driver.value().encode_samples({SampleKind::Uint8, pixels, 3, 2, channels, 0, icc});
}

// libjxl's own profile of an encoding is declared as the encoding; the same
// profile signed by another colour engine is a profile of its own, kept as
// its bytes. Either way a reader gets the very bytes back.
class Profiles : public testing::TestWithParam<std::tuple<EncodingCase, bool>> {};

TEST_P(Profiles, LosslessFilesDeclareTheEncodingOrKeepTheBytes) {
  const auto& [c, other_engine] = GetParam();
  const JxlColorEncoding made = encoding_of(c);
  Bytes icc = profile_of(made);
  if (other_engine) std::copy_n("lcms", 4, icc.begin() + 4);
  for (bool animated : {false, true}) {
    auto file = written_with(icc, grey(made) ? 1 : 3, animated);
    ASSERT_TRUE(file.ok()) << error_text(file.error());
    const std::optional<JxlColorEncoding> stored = declared_encoding(file.value());
    ASSERT_EQ(stored.has_value(), !other_engine);
    if (stored) {
      EXPECT_EQ(fields(*stored), fields(made));
    }
    EXPECT_TRUE(read_facts(file.value()).value().original_icc == icc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, Profiles,
    testing::Combine(testing::Values(EncodingCase{"display_p3", JXL_COLOR_SPACE_RGB,
                                                  JXL_PRIMARIES_P3, JXL_TRANSFER_FUNCTION_SRGB,
                                                  JXL_RENDERING_INTENT_PERCEPTUAL},
                                     EncodingCase{"rec2020", JXL_COLOR_SPACE_RGB,
                                                  JXL_PRIMARIES_2100, JXL_TRANSFER_FUNCTION_709},
                                     EncodingCase{"pq", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_2100,
                                                  JXL_TRANSFER_FUNCTION_PQ},
                                     EncodingCase{"hlg", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_2100,
                                                  JXL_TRANSFER_FUNCTION_HLG},
                                     EncodingCase{"linear_srgb", JXL_COLOR_SPACE_RGB,
                                                  JXL_PRIMARIES_SRGB, JXL_TRANSFER_FUNCTION_LINEAR},
                                     EncodingCase{"grey_srgb", JXL_COLOR_SPACE_GRAY,
                                                  JXL_PRIMARIES_SRGB, JXL_TRANSFER_FUNCTION_SRGB}),
                     testing::Bool()),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) + (std::get<1>(p.param) ? "_other" : "");
    });

// A profile of the other kind of colour is refused as it always was, as bad
// input, though its encoding is recognised.
TEST(ProfileKinds, ProfileOfTheOtherKindIsRefusedAsBefore) {
  const Bytes grey_icc = profile_of(
      encoding_of({"", JXL_COLOR_SPACE_GRAY, JXL_PRIMARIES_SRGB, JXL_TRANSFER_FUNCTION_SRGB}));
  const Bytes rgb_icc = profile_of(
      encoding_of({"", JXL_COLOR_SPACE_RGB, JXL_PRIMARIES_P3, JXL_TRANSFER_FUNCTION_SRGB}));
  for (auto [icc, channels] : {std::pair{&grey_icc, 3u}, std::pair{&rgb_icc, 1u}}) {
    auto file = written_with(*icc, channels);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(file.error(), EncodeError::BadInput);
  }
}

}  // namespace
}  // namespace tessara
