// The sample conversions against plain reference formulas, over every half
// pattern and across the special float values.
#include "codec/pixels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <limits>
#include <vector>

namespace tessara {
namespace {

// Textbook half -> float, one case at a time.
float reference_half(uint16_t h) {
  const int sign = (h >> 15) ? -1 : 1;
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  if (exponent == 0) return static_cast<float>(sign * std::ldexp(mantissa, -24));
  if (exponent == 31) {
    return mantissa ? std::numeric_limits<float>::quiet_NaN()
                    : static_cast<float>(sign) * std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(sign * std::ldexp(1024 + mantissa, exponent - 25));
}

TEST(Pixels, EveryHalfPatternWidensExactly) {
  std::vector<uint16_t> halves(65536);
  for (uint32_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<uint16_t>(i);
  std::vector<float> wide(halves.size());
  widen_halves(halves, wide);
  for (uint32_t i = 0; i < halves.size(); ++i) {
    const float expected = reference_half(halves[i]);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(wide[i])) << i;
    } else {
      EXPECT_EQ(std::bit_cast<uint32_t>(wide[i]), std::bit_cast<uint32_t>(expected)) << i;
    }
  }
}

TEST(Pixels, FloatsBecomeClampedTruncatedBytes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Long enough that the vector loop and its scalar tail both run.
  const std::vector<std::pair<float, uint8_t>> cases = {
      {1.0f, 255}, {0.5f, 127}, {-0.2f, 0},   {3.0f, 255},  {nan, 0},        {-nan, 0},
      {inf, 255},  {-inf, 0},   {0.0f, 0},    {-0.0f, 0},   {1.0f / 255, 1}, {0.999f, 254},
      {0.9999f, 254}, {2e-3f, 0}, {1e30f, 255}, {-1e30f, 0}, {0.25f, 63},     {0.75f, 191}};
  std::vector<float> in;
  for (int round = 0; round < 3; ++round) {
    for (const auto& c : cases) in.push_back(c.first);
  }
  std::vector<uint8_t> out(in.size());
  floats_to_bytes(in, out);
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], cases[i % cases.size()].second) << i;
}

TEST(Pixels, HighBytesAndModes) {
  std::vector<uint16_t> in = {0, 255, 256, 0x1234, 0xffff, 0x8000, 0x00ff, 0x7fff, 0xfe01};
  std::vector<uint8_t> out(in.size());
  high_bytes(in, out);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 0, 1, 0x12, 0xff, 0x80, 0, 0x7f, 0xfe}));

  PixelSamples samples;
  using K = PixelSamples::Kind;
  const std::pair<K, const char*> grey[] = {
      {K::Uint8, "L"}, {K::Uint16, "I;16"}, {K::Float, "F"}, {K::Float16, "F;16"}};
  for (const auto& [kind, mode] : grey) {
    samples.kind = kind;
    EXPECT_EQ(image_mode(1, false, &samples), mode);
    EXPECT_EQ(image_mode(1, true, &samples), "LA");
    EXPECT_EQ(image_mode(3, false, &samples), "RGB");
    EXPECT_EQ(image_mode(3, true, &samples), "RGBA");
  }
  EXPECT_EQ(image_mode(1, false, nullptr), "L");
  EXPECT_EQ(image_mode(2, false, &samples), "");
  EXPECT_EQ(image_mode(4, true, &samples), "");
}

// The store's final buffer has exactly the size handed out. Samples already
// in their final layout are written there by libjxl as they are (what lands
// there is checked through real decodes, decoder_test's DecodeSamples); the
// others come as runs of samples, in any order (from libjxl's worker
// threads), each converted into its place.
struct Placement {
  PixelSamples::Kind kind;
  uint32_t channels;
  bool converted;
  size_t out_bytes_per_sample;
};

class StorePlacement : public testing::TestWithParam<std::tuple<Placement, size_t>> {};

TEST_P(StorePlacement, ConvertsEachRunIntoItsPlace) {
  const auto& [c, pixels] = GetParam();
  const size_t samples = pixels * c.channels;
  const size_t in_size = PixelSamples::sample_size(c.kind);
  const size_t size = samples * in_size;
  OwnedImageBytes store;
  const SamplePlacement at = store.place(c.kind, c.channels, size);
  ASSERT_NE(at.memory, nullptr);
  ASSERT_EQ(store.bytes().data(), at.memory);
  ASSERT_EQ(store.bytes().size(), samples * c.out_bytes_per_sample);
  ASSERT_EQ(at.convert != nullptr, c.converted);
  // A second frame of an animation gets the same memory.
  EXPECT_EQ(store.place(c.kind, c.channels, size).memory, at.memory);
  if (!c.converted) return;
  // Values every kind holds exactly: i / 8 as a float (i % 2048, so halves
  // stay exact), or a 16-bit value whose high byte is i % 256.
  auto value = [](size_t i) { return static_cast<float>(i % 2048) / 8.0f; };
  std::vector<uint8_t> decoded(size);
  for (size_t i = 0; i < samples; ++i) {
    const uint16_t half = std::bit_cast<uint16_t>(static_cast<_Float16>(value(i)));
    const uint16_t u16 = static_cast<uint16_t>((i % 256) << 8 | 0x7f);
    const float f = value(i);
    switch (c.kind) {
      case PixelSamples::Kind::Uint8: decoded[i] = static_cast<uint8_t>(i); break;
      case PixelSamples::Kind::Uint16: std::memcpy(&decoded[2 * i], &u16, 2); break;
      case PixelSamples::Kind::Float16: std::memcpy(&decoded[2 * i], &half, 2); break;
      case PixelSamples::Kind::Float: std::memcpy(&decoded[4 * i], &f, 4); break;
    }
  }
  // Runs of up to 1000 pixels, last first, each from its own aligned copy
  // as libjxl's row buffers are.
  const size_t run = 1000;
  for (size_t end = pixels; end > 0;) {
    const size_t start = end > run ? end - run : 0;
    const size_t first = start * c.channels, count = (end - start) * c.channels;
    std::vector<float> aligned((count * in_size + 3) / 4);
    std::memcpy(aligned.data(), &decoded[first * in_size], count * in_size);
    at.convert(reinterpret_cast<const uint8_t*>(aligned.data()),
               at.memory + first * at.out_sample_size, count);
    end = start;
  }
  EXPECT_EQ(at.out_sample_size, c.out_bytes_per_sample);
  const uint8_t* out = store.bytes().data();
  for (size_t i = 0; i < samples; ++i) {
    const uint8_t* got_at = out + i * c.out_bytes_per_sample;
    if (c.out_bytes_per_sample == 4) {  // grey half floats, widened
      float got;
      std::memcpy(&got, got_at, 4);
      ASSERT_EQ(got, value(i)) << i;
    } else if (c.kind == PixelSamples::Kind::Uint16) {
      ASSERT_EQ(*got_at, i % 256) << i;
    } else {
      ASSERT_EQ(*got_at, static_cast<uint8_t>(std::min(value(i) * 255.0f, 255.0f))) << i;
    }
  }
}

using K = PixelSamples::Kind;
// Sizes below, at and across the runs of 1000 pixels, and the half-float
// conversion's blocks of 1024 samples.
INSTANTIATE_TEST_SUITE_P(
    Kinds, StorePlacement,
    testing::Combine(
        testing::Values(Placement{K::Uint8, 3, false, 1}, Placement{K::Uint8, 2, false, 1},
                        Placement{K::Uint16, 1, false, 2}, Placement{K::Uint16, 2, false, 2},
                        Placement{K::Float, 1, false, 4}, Placement{K::Float, 2, false, 4},
                        Placement{K::Uint16, 3, true, 1}, Placement{K::Uint16, 4, true, 1},
                        Placement{K::Float, 3, true, 1}, Placement{K::Float16, 4, true, 1},
                        Placement{K::Float16, 1, true, 4}, Placement{K::Float16, 2, true, 4}),
        testing::Values(size_t{6}, size_t{1000}, size_t{1025}, size_t{3 * 1000 + 1})));

// The half checks against the reference widening, over every pattern.
TEST(Pixels, HalfChecksAgreeWithTheWidenedValues) {
  for (uint32_t i = 0; i < 65536; ++i) {
    const uint16_t h = static_cast<uint16_t>(i);
    const float wide = reference_half(h);
    const uint16_t one[] = {h};
    EXPECT_EQ(halves_finite(one), std::isfinite(wide)) << i;
    const float magnitude = std::fabs(wide);
    const bool unkept = std::isnan(wide) || (magnitude >= std::ldexp(1.0f, -15) && magnitude < std::ldexp(1.0f, -14));
    EXPECT_EQ(has_unkept_half(one), unkept) << i;
  }
}

TEST(Pixels, MaxSampleAndScaling) {
  const std::vector<uint16_t> wide = {3, 4095, 17, 0};
  const std::vector<uint8_t> narrow = {9, 200, 1};
  EXPECT_EQ(max_sample(wide), 4095u);
  EXPECT_EQ(max_sample(narrow), 200u);
  EXPECT_EQ(max_sample(std::span<const uint16_t>{}), 0u);
  // What libjxl hands out for 24-bit integers, back to the integers; with a
  // stride, the other channels (here alpha as 0..1 floats) are left alone.
  const float top = 16777215.0f;
  std::vector<float> v = {0.0f, 0.5f, 1.0f, 0.25f, 12345.0f / top, 1.0f, 16777214.0f / top, 0.0f};
  scale_and_round(v, 2, 0, top);
  EXPECT_EQ(v, (std::vector<float>{0.0f, 0.5f, 16777215.0f, 0.25f, 12345.0f, 1.0f, 16777214.0f, 0.0f}));
}

// Integers libjxl spread over a type's whole range come back exactly for
// every depth below it: the spread value is round(v * full / top).
TEST(Pixels, RescaledIntegersAreTheValuesStored) {
  for (const uint32_t bits : {1u, 4u, 8u, 10u, 12u, 15u}) {
    const uint32_t top = (1u << bits) - 1;
    std::vector<uint16_t> spread(2 * (size_t{top} + 1), 7);
    for (uint32_t v = 0; v <= top; ++v) {
      spread[2 * v + 1] = static_cast<uint16_t>(std::lround(static_cast<double>(v) * 65535.0 / top));
    }
    rescale_integers(spread, 2, 1, 65535, top);
    for (uint32_t v = 0; v <= top; ++v) {
      ASSERT_EQ(spread[2 * v + 1], v) << bits << " bits";
      ASSERT_EQ(spread[2 * v], 7) << "the other channel is left alone";
    }
  }
  std::vector<uint8_t> bytes = {0, 17, 34, 255};  // 4-bit values spread over 0..255
  rescale_integers(bytes, 1, 0, 255, 15);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 1, 2, 15}));
}

// Narrowing to halves undoes the exact widening for every pattern but NaN
// (kept a NaN), and rounds what lies between two halves to the nearer, ties
// to the even one.
TEST(Pixels, NarrowedHalvesRoundToNearestEven) {
  std::vector<float> wide;
  std::vector<uint16_t> patterns;
  for (uint32_t i = 0; i < 65536; ++i) {
    patterns.push_back(static_cast<uint16_t>(i));
    wide.push_back(reference_half(static_cast<uint16_t>(i)));
  }
  std::vector<uint16_t> back(patterns.size());
  narrow_to_halves(wide, back);
  for (uint32_t i = 0; i < 65536; ++i) {
    if (std::isnan(wide[i])) {
      EXPECT_TRUE(std::isnan(reference_half(back[i]))) << i;
    } else {
      ASSERT_EQ(back[i], patterns[i]) << i;
    }
  }
  const float tie = 1.0f + std::ldexp(1.0f, -11);  // halfway between 1 and the next half
  const std::vector<float> cases = {tie, std::nextafter(tie, 2.0f), 65519.0f, 65520.0f, 1e-8f,
                                    std::ldexp(3.0f, -26), -std::ldexp(1.0f, -25)};
  std::vector<uint16_t> got(cases.size());
  narrow_to_halves(cases, got);
  EXPECT_EQ(got, (std::vector<uint16_t>{0x3c00, 0x3c01, 0x7bff, 0x7c00, 0x0000, 0x0001, 0x8000}));
}

}  // namespace
}  // namespace tessara
