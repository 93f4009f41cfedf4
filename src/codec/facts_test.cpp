// The fact reader and the samples as stored: files made here with libjxl's
// own encoder (alpha at another depth than colour, layers), read whole and
// by prefix, and their frames compared with what plain libjxl delivers when
// asked for each channel as stored. Where JPEG reconstruction data counts is
// judged by djxl in tests/test_facts.py.
#include "codec/facts.h"

#include <gtest/gtest.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codec/animation.h"
#include "codec/test_tools.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;
using Kind = AnimationError::Kind;

// Depth of a channel: integer bits, or a float of `bits` with exponent bits.
struct Depth {
  uint32_t bits;
  uint32_t exponent_bits;
};

uint32_t top(uint32_t bits) { return static_cast<uint32_t>((uint64_t{1} << bits) - 1); }

// An RGBA file (still, or `frames` frames of one tick) whose colour and
// alpha are stored at their own depths, lossless. Integer channels hold
// (x*7 + y*13 + c*29 + frame*3) mod 2^bits; float channels k/1024.
Bytes mixed_file(Depth colour, Depth alpha, uint32_t frames = 1, uint32_t w = 21, uint32_t h = 13) {
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = w;
  info.ysize = h;
  info.bits_per_sample = colour.bits;
  info.exponent_bits_per_sample = colour.exponent_bits;
  info.alpha_bits = alpha.bits;
  info.alpha_exponent_bits = alpha.exponent_bits;
  info.num_extra_channels = 1;
  info.uses_original_profile = JXL_TRUE;
  if (frames > 1) {
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = 10;
    info.animation.tps_denominator = 1;
  }
  EXPECT_EQ(JxlEncoderSetBasicInfo(enc.get(), &info), JXL_ENC_SUCCESS);
  JxlExtraChannelInfo channel;
  JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &channel);
  channel.bits_per_sample = alpha.bits;
  channel.exponent_bits_per_sample = alpha.exponent_bits;
  EXPECT_EQ(JxlEncoderSetExtraChannelInfo(enc.get(), 0, &channel), JXL_ENC_SUCCESS);
  JxlColorEncoding srgb;
  JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
  EXPECT_EQ(JxlEncoderSetColorEncoding(enc.get(), &srgb), JXL_ENC_SUCCESS);
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  EXPECT_EQ(JxlEncoderSetFrameLossless(fs, JXL_TRUE), JXL_ENC_SUCCESS);
  // Floats go in as they are; integers as stored, in 32-bit floats over
  // their range (exact for the depths here).
  for (uint32_t f = 0; f < frames; ++f) {
    if (frames > 1) {
      JxlFrameHeader header;
      JxlEncoderInitFrameHeader(&header);
      header.duration = 1;
      EXPECT_EQ(JxlEncoderSetFrameHeader(fs, &header), JXL_ENC_SUCCESS);
    }
    auto sample = [&](const Depth& d, uint32_t x, uint32_t y, uint32_t c) {
      const uint64_t v = x * 7 + y * 13 + c * 29 + f * 3;
      if (d.exponent_bits != 0) return static_cast<float>(v % 1024) / 1024.0f;
      return static_cast<float>(static_cast<double>(v % (uint64_t{top(d.bits)} + 1)) / top(d.bits));
    };
    std::vector<float> rgb, a;
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        for (uint32_t c = 0; c < 3; ++c) rgb.push_back(sample(colour, x, y, c));
        a.push_back(sample(alpha, x, y, 3));
      }
    }
    const JxlPixelFormat three{3, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
    const JxlPixelFormat one{1, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
    EXPECT_EQ(JxlEncoderAddImageFrame(fs, &three, rgb.data(), rgb.size() * 4), JXL_ENC_SUCCESS);
    EXPECT_EQ(JxlEncoderSetExtraChannelBuffer(fs, &one, a.data(), a.size() * 4, 0), JXL_ENC_SUCCESS);
  }
  JxlEncoderCloseInput(enc.get());
  return drain_encoder(enc.get());
}

// Frame `index` as plain libjxl delivers each channel as stored: the colour
// in the image buffer and the alpha in its own extra-channel buffer, each at
// its own depth (integers as values, in uint16 or as floats over 0..1
// scaled back), as doubles.
std::vector<double> libjxl_samples(const Bytes& file, const FileFacts& facts, size_t index) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE);
  JxlDecoderSetInput(dec.get(), file.data(), file.size());
  JxlDecoderCloseInput(dec.get());
  const size_t pixels = size_t{facts.width()} * facts.height();
  // Values as stored come as integers where both channels are integers of
  // 16 bits at most, and as floats (integers over 0..1) otherwise.
  auto integer = [](const SampleDepth& d) { return d.exponent_bits == 0 && d.bits <= 16; };
  const JxlDataType type = integer(facts.colour) && integer(facts.alpha) ? JXL_TYPE_UINT16 : JXL_TYPE_FLOAT;
  const JxlPixelFormat colour_format{3, type, JXL_NATIVE_ENDIAN, 0};
  const JxlPixelFormat alpha_format{1, type, JXL_NATIVE_ENDIAN, 0};
  std::vector<uint8_t> colour(pixels * 3 * 4), alpha(pixels * 4);
  const JxlBitDepth stored{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
  for (size_t frame = 0;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      EXPECT_EQ(JxlDecoderSetImageOutBuffer(dec.get(), &colour_format, colour.data(),
                                            pixels * 3 * (colour_format.data_type == JXL_TYPE_UINT16 ? 2 : 4)),
                JXL_DEC_SUCCESS);
      EXPECT_EQ(JxlDecoderSetExtraChannelBuffer(dec.get(), &alpha_format, alpha.data(),
                                                pixels * (alpha_format.data_type == JXL_TYPE_UINT16 ? 2 : 4), 0),
                JXL_DEC_SUCCESS);
      if (colour_format.data_type == JXL_TYPE_UINT16) {
        EXPECT_EQ(JxlDecoderSetImageOutBitDepth(dec.get(), &stored), JXL_DEC_SUCCESS);
      }
    } else if (status == JXL_DEC_FULL_IMAGE) {
      if (frame++ == index) break;
    } else {
      ADD_FAILURE() << "libjxl status " << status;
      return {};
    }
  }
  auto value = [&](const std::vector<uint8_t>& buffer, const SampleDepth& d, size_t i) {
    if (type == JXL_TYPE_UINT16) {
      uint16_t v;
      std::memcpy(&v, &buffer[2 * i], 2);
      return static_cast<double>(v);
    }
    float v;
    std::memcpy(&v, &buffer[4 * i], 4);
    return d.exponent_bits == 0 ? std::nearbyint(double{v} * top(d.bits)) : double{v};
  };
  std::vector<double> out;
  for (size_t p = 0; p < pixels; ++p) {
    for (size_t c = 0; c < 3; ++c) out.push_back(value(colour, facts.colour, p * 3 + c));
    out.push_back(value(alpha, facts.alpha, p));
  }
  return out;
}

double half_to_double(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const double mantissa = h & 0x3ff;
  const double magnitude = exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024 + mantissa, exponent - 25);
  return (h & 0x8000) != 0 ? -magnitude : magnitude;
}

std::vector<double> decoded_samples(const Bytes& out, SampleKind kind) {
  std::vector<double> values;
  const size_t size = layout_of(kind).size;
  for (size_t i = 0; i < out.size(); i += size) {
    switch (kind) {
      case SampleKind::Uint8: values.push_back(out[i]); break;
      case SampleKind::Uint16: {
        uint16_t v;
        std::memcpy(&v, &out[i], 2);
        values.push_back(v);
        break;
      }
      case SampleKind::Float16: {
        uint16_t v;
        std::memcpy(&v, &out[i], 2);
        values.push_back(half_to_double(v));
        break;
      }
      case SampleKind::Float: {
        float v;
        std::memcpy(&v, &out[i], 4);
        values.push_back(v);
        break;
      }
    }
  }
  return values;
}

struct MixedCase {
  const char* name;
  Depth colour;
  Depth alpha;
  SampleKind kind;  // the one that holds both
};

class MixedDepths : public testing::TestWithParam<MixedCase> {};

// Every channel as stored, in the one kind that holds both: what libjxl
// gives when asked for each channel at its own depth, in every frame.
TEST_P(MixedDepths, EveryChannelComesAsLibjxlStoresIt) {
  const MixedCase& c = GetParam();
  for (const uint32_t frames : {1u, 3u}) {
    const Bytes file = mixed_file(c.colour, c.alpha, frames);
    ASSERT_FALSE(file.empty());
    auto decoder = FrameDecoder::open(file, std::nullopt, std::nullopt);
    ASSERT_TRUE(decoder.ok()) << error_text(decoder.error());
    const FileFacts& facts = decoder.value().facts();
    EXPECT_EQ(facts.alpha.bits, c.alpha.bits);
    EXPECT_EQ(static_cast<int>(decoder.value().format().kind), static_cast<int>(c.kind));
    EXPECT_EQ(static_cast<int>(full_precision_kind(facts)), static_cast<int>(c.kind));
    Bytes out(decoder.value().frame_bytes());
    for (const size_t index : {size_t{frames} - 1, size_t{0}}) {
      ASSERT_TRUE(decoder.value().decode(index, out).ok());
      EXPECT_EQ(decoded_samples(out, c.kind), libjxl_samples(file, facts, index)) << "frame " << index;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Facts, MixedDepths,
    testing::Values(MixedCase{"rgb8_alpha16", {8, 0}, {16, 0}, SampleKind::Uint16},
                    MixedCase{"rgb16_alpha8", {16, 0}, {8, 0}, SampleKind::Uint16},
                    MixedCase{"rgb12_alpha4", {12, 0}, {4, 0}, SampleKind::Uint16},
                    MixedCase{"rgb1_alpha8", {1, 0}, {8, 0}, SampleKind::Uint8},
                    MixedCase{"rgb8_alpha1", {8, 0}, {1, 0}, SampleKind::Uint8},
                    MixedCase{"rgb24_alpha8", {24, 0}, {8, 0}, SampleKind::Float},
                    MixedCase{"half_alpha8", {16, 5}, {8, 0}, SampleKind::Float16},
                    MixedCase{"half_alpha12", {16, 5}, {12, 0}, SampleKind::Float},
                    MixedCase{"float_alpha16", {32, 8}, {16, 0}, SampleKind::Float},
                    MixedCase{"rgb10_alpha_half", {10, 0}, {16, 5}, SampleKind::Float16}),
    [](const auto& p) { return std::string(p.param.name); });

// A still image of one full layer and `layers - 1` one-pixel layers.
Bytes layered_still(uint32_t layers, uint32_t w = 32, uint32_t h = 16) {
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = w;
  info.ysize = h;
  info.uses_original_profile = JXL_TRUE;
  EXPECT_EQ(JxlEncoderSetBasicInfo(enc.get(), &info), JXL_ENC_SUCCESS);
  JxlColorEncoding srgb;
  JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
  EXPECT_EQ(JxlEncoderSetColorEncoding(enc.get(), &srgb), JXL_ENC_SUCCESS);
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  EXPECT_EQ(JxlEncoderSetFrameLossless(fs, JXL_TRUE), JXL_ENC_SUCCESS);
  const JxlPixelFormat rgb{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  const Bytes full(size_t{w} * h * 3, 100);
  EXPECT_EQ(JxlEncoderAddImageFrame(fs, &rgb, full.data(), full.size()), JXL_ENC_SUCCESS);
  for (uint32_t j = 1; j < layers; ++j) {
    JxlFrameHeader header;
    JxlEncoderInitFrameHeader(&header);
    header.layer_info.have_crop = JXL_TRUE;
    header.layer_info.crop_x0 = static_cast<int32_t>(j % w);
    header.layer_info.crop_y0 = static_cast<int32_t>(j / w % h);
    header.layer_info.xsize = 1;
    header.layer_info.ysize = 1;
    header.layer_info.blend_info.blendmode = JXL_BLEND_REPLACE;
    EXPECT_EQ(JxlEncoderSetFrameHeader(fs, &header), JXL_ENC_SUCCESS);
    const uint8_t pixel[3] = {1, 2, 3};
    EXPECT_EQ(JxlEncoderAddImageFrame(fs, &rgb, pixel, 3), JXL_ENC_SUCCESS);
  }
  JxlEncoderCloseInput(enc.get());
  return drain_encoder(enc.get());
}

// Layers are counted into the frame they build; beyond the limit the walk
// stops there, and the frame decoder refuses the frame without writing a
// byte of it.
TEST(Facts, LayersAreCountedAndBoundedBeforeDecoding) {
  const Bytes file = layered_still(9);
  auto facts = read_facts(file);
  ASSERT_TRUE(facts.ok());
  ASSERT_EQ(facts.value().frames.size(), 1u);
  EXPECT_EQ(facts.value().frames[0].layers, 9u);
  EXPECT_FALSE(facts.value().stopped);

  auto limited = read_facts(file, {true, kMaxFrames, 8});
  ASSERT_TRUE(limited.ok());
  EXPECT_TRUE(limited.value().frames.empty());
  ASSERT_TRUE(limited.value().stopped);
  EXPECT_EQ(limited.value().stopped->kind, Kind::TooManyLayers);
  EXPECT_EQ(error_text(*limited.value().stopped), "frame 0: more than 8 layers to composite into one frame");

  const Bytes many = layered_still(static_cast<uint32_t>(kMaxLayers) + 1);
  auto decoder = FrameDecoder::open(many, FrameFormat{SampleKind::Uint8, 3}, std::nullopt);
  ASSERT_TRUE(decoder.ok());
  Bytes out(decoder.value().frame_bytes(), 0xab);
  auto refused = decoder.value().decode(0, out);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, Kind::TooManyLayers);
  EXPECT_EQ(refused.error().frames, kMaxLayers);
  EXPECT_EQ(out, Bytes(out.size(), 0xab));
  const Bytes within = layered_still(kMaxLayers);  // the decoder reads it in place
  auto allowed = FrameDecoder::open(within, FrameFormat{SampleKind::Uint8, 3}, std::nullopt);
  ASSERT_TRUE(allowed.ok());
  Bytes composited(allowed.value().frame_bytes());
  ASSERT_TRUE(allowed.value().decode(0, composited).ok());
  EXPECT_EQ(composited[3], 1);  // the pixel at (1, 0) is a layer's
}

// Read by growing prefixes, the facts up to frame 0 are those of the whole
// file as soon as its first frame header is in; before the colour encoding
// a prefix is cut short, never corrupt.
TEST(Facts, PrefixesGiveTheFactsOnceFrameZerosHeaderIsIn) {
  const Bytes file = mixed_file({8, 0}, {16, 0}, 3, 40, 30);
  auto whole = read_facts(file, {false});
  ASSERT_TRUE(whole.ok());
  ASSERT_EQ(whole.value().frames.size(), 1u);
  bool complete = false;
  for (size_t n = 0; n <= file.size(); ++n) {
    auto part = read_facts({file.data(), n}, {false});
    if (!part) {
      ASSERT_FALSE(complete) << n;
      ASSERT_TRUE(part.error().kind == Kind::Truncated || part.error().kind == Kind::NotJpegXl) << n;
      continue;
    }
    if (part.value().frames.empty()) {
      ASSERT_TRUE(part.value().stopped);
      EXPECT_EQ(part.value().stopped->kind, Kind::Truncated);
      continue;
    }
    complete = true;
    EXPECT_EQ(part.value().frames[0].duration, whole.value().frames[0].duration);
    EXPECT_EQ(part.value().icc, whole.value().icc);
    EXPECT_EQ(part.value().alpha, whole.value().alpha);
  }
  EXPECT_TRUE(complete);
}

}  // namespace
}  // namespace tessara
