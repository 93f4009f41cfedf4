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

// libjxl writes into the final buffer, which is large enough for the samples
// as decoded and as handed out; `finish` converts them there in place.
struct Placement {
  PixelSamples::Kind kind;
  uint32_t channels;
  bool converted;
  size_t out_bytes_per_sample;
};

class StorePlacement : public testing::TestWithParam<std::tuple<Placement, size_t>> {};

TEST_P(StorePlacement, ConvertsInTheFinalBuffer) {
  const auto& [c, pixels] = GetParam();
  const size_t samples = pixels * c.channels;
  const size_t size = samples * PixelSamples::sample_size(c.kind);
  OwnedImageBytes store;
  uint8_t* memory = store.place(c.kind, c.channels, size);
  ASSERT_NE(memory, nullptr);
  ASSERT_GE(store.bytes().size(), std::max(size, samples * c.out_bytes_per_sample));
  // A second frame of an animation gets the same memory.
  EXPECT_EQ(store.place(c.kind, c.channels, size), memory);
  // Values every kind holds exactly: i / 8 as a float (i % 2048, so halves
  // stay exact), or a 16-bit value whose high byte is i % 256.
  auto value = [](size_t i) { return static_cast<float>(i % 2048) / 8.0f; };
  for (size_t i = 0; i < samples; ++i) {
    const uint16_t half = std::bit_cast<uint16_t>(static_cast<_Float16>(value(i)));
    const uint16_t u16 = static_cast<uint16_t>((i % 256) << 8 | 0x7f);
    const float f = value(i);
    switch (c.kind) {
      case PixelSamples::Kind::Uint8: memory[i] = static_cast<uint8_t>(i); break;
      case PixelSamples::Kind::Uint16: std::memcpy(memory + 2 * i, &u16, 2); break;
      case PixelSamples::Kind::Float16: std::memcpy(memory + 2 * i, &half, 2); break;
      case PixelSamples::Kind::Float: std::memcpy(memory + 4 * i, &f, 4); break;
    }
  }
  const std::vector<uint8_t> decoded(memory, memory + size);
  ASSERT_TRUE(store.finish(PixelSamples{c.kind, c.channels, {memory, size}}));
  EXPECT_EQ(store.bytes().data(), memory);
  ASSERT_EQ(store.bytes().size(), samples * c.out_bytes_per_sample);
  const uint8_t* out = store.bytes().data();
  if (!c.converted) {
    EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), out));
    return;
  }
  for (size_t i = 0; i < samples; ++i) {
    const uint8_t* at = out + i * c.out_bytes_per_sample;
    if (c.out_bytes_per_sample == 4) {  // grey half floats, widened
      float got;
      std::memcpy(&got, at, 4);
      ASSERT_EQ(got, value(i)) << i;
    } else if (c.kind == PixelSamples::Kind::Uint16) {
      ASSERT_EQ(*at, i % 256) << i;
    } else {
      ASSERT_EQ(*at, static_cast<uint8_t>(std::min(value(i) * 255.0f, 255.0f))) << i;
    }
  }
}

using K = PixelSamples::Kind;
// Sizes below, at and across the conversion's blocks of 4096 samples.
INSTANTIATE_TEST_SUITE_P(
    Kinds, StorePlacement,
    testing::Combine(
        testing::Values(Placement{K::Uint8, 3, false, 1}, Placement{K::Uint8, 2, false, 1},
                        Placement{K::Uint16, 1, false, 2}, Placement{K::Uint16, 2, false, 2},
                        Placement{K::Float, 1, false, 4}, Placement{K::Float, 2, false, 4},
                        Placement{K::Uint16, 3, true, 1}, Placement{K::Uint16, 4, true, 1},
                        Placement{K::Float, 3, true, 1}, Placement{K::Float16, 4, true, 1},
                        Placement{K::Float16, 1, true, 4}, Placement{K::Float16, 2, true, 4}),
        testing::Values(size_t{6}, size_t{4096}, size_t{5000}, size_t{3 * 4096 + 1})));

}  // namespace
}  // namespace tessara
