// The sample conversions against plain reference formulas, over every half
// pattern and across the special float values.
#include "codec/pixels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
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

}  // namespace
}  // namespace tessara
