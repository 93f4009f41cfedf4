// What the layout tables must satisfy, checked against arithmetic rather
// than against a copy of the rows.
#include "codec/layouts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tessara {
namespace {

// Whether `value` survives a round trip through a sample of `kind`.
bool survives(SampleKind kind, double value) {
  switch (kind) {
    case SampleKind::Uint8: return value >= 0 && value <= 255 && value == std::floor(value);
    case SampleKind::Uint16: return value >= 0 && value <= 65535 && value == std::floor(value);
    case SampleKind::Float16: return static_cast<double>(static_cast<_Float16>(value)) == value;
    case SampleKind::Float: return static_cast<double>(static_cast<float>(value)) == value;
  }
  return false;
}

// The values of a depth hardest to hold: the largest integer; for floats
// (IEEE-style, bias 2^(e-1) - 1) the largest finite value, the smallest
// subnormal, and a full mantissa at the smallest normal and the unit exponent.
std::vector<double> extremes(uint32_t bits, uint32_t exponent_bits) {
  if (exponent_bits == 0) return {std::ldexp(1.0, static_cast<int>(bits)) - 1};
  const int mantissa = static_cast<int>(bits - exponent_bits - 1);
  const int bias = (1 << (exponent_bits - 1)) - 1;
  const double full = 2 - std::ldexp(1.0, -mantissa);
  return {std::ldexp(full, bias), std::ldexp(1.0, 1 - bias - mantissa), std::ldexp(full, 1 - bias),
          full};
}

TEST(Layouts, FullPrecisionIsTheNarrowestKindThatHoldsTheDepth) {
  // Every depth a file can declare: integers of 1 to 31 bits; floats of 2 to
  // 8 exponent and 2 to 23 mantissa bits, 32 bits at most.
  std::vector<std::pair<uint32_t, uint32_t>> depths;
  for (uint32_t bits = 1; bits <= 31; ++bits) depths.emplace_back(bits, 0);
  for (uint32_t e = 2; e <= 8; ++e) {
    for (uint32_t m = 2; m <= 23 && e + m + 1 <= 32; ++m) depths.emplace_back(e + m + 1, e);
  }
  for (const auto& [bits, e] : depths) {
    const std::string depth = std::to_string(bits) + " bits, exponent " + std::to_string(e);
    const SampleKind full = full_precision_kind(bits, e);
    bool held = false;
    for (const KindLayout& row : kKindLayouts) {
      held = true;
      for (double v : extremes(bits, e)) held = held && survives(row.kind, v);
      if (held) {
        EXPECT_EQ(static_cast<int>(row.kind), static_cast<int>(full)) << depth;
        break;
      }
    }
    // Integers above 24 bits fit no kind: the widest loses least.
    if (!held) {
      EXPECT_TRUE(full == SampleKind::Float && e == 0) << depth;
    }
  }
  // The first that holds is the narrowest.
  for (size_t i = 1; i < std::size(kKindLayouts); ++i) {
    EXPECT_LE(kKindLayouts[i - 1].size, kKindLayouts[i].size) << i;
  }
}

// decoded_kind takes the first row that matches: overlapping rows would hide
// one another.
TEST(Layouts, ADepthDecodesToOneKindAtMost) {
  for (uint32_t e = 0; e <= 10; ++e) {
    for (uint32_t bits = 0; bits <= 64; ++bits) {
      int rows = 0;
      for (const DecodedDepth& row : kDecodedDepths) {
        rows += row.floating == (e != 0) && bits >= row.min_bits && bits <= row.max_bits;
      }
      EXPECT_LE(rows, 1) << bits << " bits, exponent " << e;
    }
  }
}

// Grey is handed out at the precision it was decoded with; colour is 8-bit.
TEST(Layouts, GreyKeepsWhatItWasDecodedWith) {
  for (const ChannelLayout& layout : kChannelLayouts) {
    for (const KindLayout& kind : kKindLayouts) {
      const KindLayout& out = layout_of(handed_out_kind(kind.kind, layout));
      if (!layout.keeps_precision) {
        EXPECT_EQ(out.size, 1u) << layout.channels;
        continue;
      }
      EXPECT_GE(out.integer_bits, kind.integer_bits) << layout.channels;
      EXPECT_GE(out.exponent_bits, kind.exponent_bits) << layout.channels;
      EXPECT_GE(out.mantissa_bits, kind.mantissa_bits) << layout.channels;
    }
  }
}

TEST(Layouts, EveryPixelLayoutIsFoundFromEitherSide) {
  for (uint32_t channels = 0; channels <= 8; ++channels) {
    const ChannelLayout* layout = channel_layout(channels);
    // libjxl delivers grey or colour, each with or without alpha.
    ASSERT_EQ(layout != nullptr, channels >= 1 && channels <= 4) << channels;
    if (layout == nullptr) continue;
    EXPECT_EQ(layout->colour_channels + (layout->alpha ? 1 : 0), channels);
    EXPECT_EQ(channel_layout(layout->colour_channels, layout->alpha), layout);
  }
}

// A grey image's mode says how its samples were decoded.
TEST(Layouts, GreyModesNameTheirKind) {
  std::set<std::string> grey;
  for (const KindLayout& kind : kKindLayouts) {
    EXPECT_TRUE(grey.insert(mode_of(kind.kind, *channel_layout(1))).second) << kind.grey_mode;
  }
}

}  // namespace
}  // namespace tessara
