// What the layout tables must satisfy, checked against arithmetic rather
// than against a copy of the rows: the full-precision kind holds every value
// of a depth, a depth has one decoded kind at most, every pixel layout is
// found from either side, and grey keeps what it was decoded with.
#include "codec/layouts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
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

// The values of a depth that are hardest to hold: for integers the largest;
// for floats (IEEE-style, exponent bias 2^(e-1) - 1) the largest finite
// value, the smallest subnormal, and a full mantissa at the smallest and the
// unit exponent.
std::vector<double> extremes(uint32_t bits, uint32_t exponent_bits) {
  if (exponent_bits == 0) return {std::ldexp(1.0, static_cast<int>(bits)) - 1};
  const int mantissa = static_cast<int>(bits - exponent_bits - 1);
  const int bias = (1 << (exponent_bits - 1)) - 1;
  const double full = 2 - std::ldexp(1.0, -mantissa);
  return {std::ldexp(full, bias), std::ldexp(1.0, 1 - bias - mantissa), std::ldexp(full, 1 - bias),
          full};
}

struct Depth {
  uint32_t bits;
  uint32_t exponent_bits;
};

// Every depth a JPEG XL file can declare: integers of 1 to 31 bits; floats
// of 2 to 8 exponent bits and 2 to 23 mantissa bits, 32 bits at most.
std::vector<Depth> file_depths() {
  std::vector<Depth> depths;
  for (uint32_t bits = 1; bits <= 31; ++bits) depths.push_back({bits, 0});
  for (uint32_t e = 2; e <= 8; ++e) {
    for (uint32_t m = 2; m <= 23 && e + m + 1 <= 32; ++m) depths.push_back({e + m + 1, e});
  }
  return depths;
}

std::string named(Depth d) {
  return std::to_string(d.bits) + " bits, " + std::to_string(d.exponent_bits) + " exponent bits";
}

TEST(Layouts, FullPrecisionIsTheNarrowestKindThatHoldsTheDepth) {
  auto holds_all = [](SampleKind kind, Depth d) {
    for (double v : extremes(d.bits, d.exponent_bits)) {
      if (!survives(kind, v)) return false;
    }
    return true;
  };
  for (const Depth d : file_depths()) {
    const SampleKind full = full_precision_kind(d.bits, d.exponent_bits);
    bool held = false;
    for (const KindLayout& row : kKindLayouts) {
      held = holds_all(row.kind, d);
      if (held) {
        EXPECT_EQ(row.kind, full) << named(d);
        break;
      }
    }
    // Integers above 24 bits fit no kind: the widest loses least.
    if (!held) {
      EXPECT_EQ(full, SampleKind::Float) << named(d);
      EXPECT_EQ(d.exponent_bits, 0u) << named(d);
    }
  }
  // The depths the decoding side of the package names.
  EXPECT_EQ(full_precision_kind(8, 0), SampleKind::Uint8);
  EXPECT_EQ(full_precision_kind(12, 0), SampleKind::Uint16);
  EXPECT_EQ(full_precision_kind(20, 0), SampleKind::Float);
  EXPECT_EQ(full_precision_kind(16, 5), SampleKind::Float16);
  EXPECT_EQ(full_precision_kind(32, 8), SampleKind::Float);
}

TEST(Layouts, KindsAreNarrowestFirst) {
  for (size_t i = 1; i < std::size(kKindLayouts); ++i) {
    EXPECT_LE(kKindLayouts[i - 1].size, kKindLayouts[i].size) << i;
  }
}

TEST(Layouts, ADepthDecodesToOneKindAtMost) {
  for (uint32_t e = 0; e <= 10; ++e) {
    for (uint32_t bits = 0; bits <= 64; ++bits) {
      int rows = 0;
      for (const DecodedDepth& row : kDecodedDepths) {
        rows += row.floating == (e != 0) && bits >= row.min_bits && bits <= row.max_bits;
      }
      EXPECT_LE(rows, 1) << named({bits, e});
      EXPECT_EQ(decoded_kind(bits, e).has_value(), rows == 1) << named({bits, e});
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
    JxlBasicInfo info{};
    info.num_color_channels = layout->colour_channels;
    info.alpha_bits = layout->alpha ? 8 : 0;
    EXPECT_EQ(channels_of(info), channels);
  }
  EXPECT_EQ(channel_layout(2, false), nullptr);
}

// A grey image's mode says how its samples were decoded, so the modes of
// the kinds differ; with alpha or colour, the mode is the layout's own.
TEST(Layouts, GreyModesNameTheirKind) {
  std::set<std::string> grey;
  for (const KindLayout& kind : kKindLayouts) {
    EXPECT_TRUE(grey.insert(mode_of(kind.kind, *channel_layout(1))).second) << kind.grey_mode;
    for (uint32_t channels = 2; channels <= 4; ++channels) {
      EXPECT_STREQ(mode_of(kind.kind, *channel_layout(channels)), channel_layout(channels)->mode);
    }
  }
}

}  // namespace
}  // namespace tessara
