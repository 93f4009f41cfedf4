// Sample layouts in one place: which samples libjxl is asked for at each bit
// depth, and how they are handed out by channel count and alpha (their size,
// their mode string, whether they are converted). The decoder driver, the
// sample store and the mode strings all read these tables, so a new layout is
// a new row; layouts_test checks what the rows must satisfy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>

#include <jxl/codestream_header.h>
#include <jxl/types.h>

namespace tessara {

// The sample types libjxl delivers, narrowest first. Float16 samples are
// half-float bit patterns.
enum class SampleKind : uint8_t { Uint8, Uint16, Float16, Float };

struct KindLayout {
  SampleKind kind;
  JxlDataType data_type;
  size_t size;  // bytes a sample
  // How these samples are handed out where their layout keeps precision
  // (grey); where it does not (colour), they become Uint8.
  SampleKind kept_as;
  const char* grey_mode;  // the mode of grey without alpha
  // What the type holds exactly: unsigned integers of up to `integer_bits`
  // bits, floats of up to `exponent_bits` and `mantissa_bits` bits.
  uint32_t integer_bits;
  uint32_t exponent_bits;
  uint32_t mantissa_bits;
};

// clang-format off
inline constexpr KindLayout kKindLayouts[] = {
    // kind               libjxl type       size  kept as              grey    integer exp mantissa
    {SampleKind::Uint8,   JXL_TYPE_UINT8,   1,    SampleKind::Uint8,   "L",    8,      0,  0},
    {SampleKind::Uint16,  JXL_TYPE_UINT16,  2,    SampleKind::Uint16,  "I;16", 16,     0,  0},
    {SampleKind::Float16, JXL_TYPE_FLOAT16, 2,    SampleKind::Float,   "F;16", 11,     5,  10},
    {SampleKind::Float,   JXL_TYPE_FLOAT,   4,    SampleKind::Float,   "F",    24,     8,  23},
};
// clang-format on

constexpr const KindLayout& layout_of(SampleKind kind) noexcept {
  return kKindLayouts[static_cast<size_t>(kind)];
}

constexpr bool rows_in_kind_order() noexcept {
  for (size_t i = 0; i < std::size(kKindLayouts); ++i) {
    if (static_cast<size_t>(kKindLayouts[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_in_kind_order(), "kKindLayouts is indexed by SampleKind");

// The samples tessara's decode asks libjxl for, by the file's depth:
// integers (no exponent bits) or floats of `min_bits` to `max_bits` bits.
// A depth without a row is refused as BitWidthUnsupported.
struct DecodedDepth {
  bool floating;
  uint32_t min_bits;
  uint32_t max_bits;
  SampleKind kind;
};

// clang-format off
inline constexpr DecodedDepth kDecodedDepths[] = {
    // floating  bits    decoded as
    {false,      0,  8,  SampleKind::Uint8},
    {false,      9,  16, SampleKind::Uint16},
    {false,      32, 32, SampleKind::Float},
    {true,       16, 16, SampleKind::Float16},
    {true,       32, 32, SampleKind::Float},
};
// clang-format on

constexpr std::optional<SampleKind> decoded_kind(uint32_t bits, uint32_t exponent_bits) noexcept {
  for (const DecodedDepth& row : kDecodedDepths) {
    if (row.floating == (exponent_bits != 0) && bits >= row.min_bits && bits <= row.max_bits) {
      return row.kind;
    }
  }
  return std::nullopt;
}

// Whether samples of `kind` hold every sample of a depth exactly.
constexpr bool holds(SampleKind kind, uint32_t bits, uint32_t exponent_bits) noexcept {
  const KindLayout& row = layout_of(kind);
  if (exponent_bits == 0) return bits <= row.integer_bits;
  const uint32_t mantissa = bits > exponent_bits ? bits - exponent_bits - 1 : 0;
  return exponent_bits <= row.exponent_bits && mantissa <= row.mantissa_bits;
}

// The samples a reader that wants every bit of the file asks libjxl for:
// the narrowest kind that holds the depth exactly, or, where none does
// (integers above 24 bits), the widest. Channels and alpha do not change it.
constexpr SampleKind full_precision_kind(uint32_t bits, uint32_t exponent_bits) noexcept {
  for (const KindLayout& row : kKindLayouts) {
    if (holds(row.kind, bits, exponent_bits)) return row.kind;
  }
  return std::end(kKindLayouts)[-1].kind;
}

// How samples are handed out by the channels of a pixel: grey keeps its
// precision (as KindLayout::kept_as), colour becomes 8-bit.
struct ChannelLayout {
  uint32_t channels;  // per pixel, alpha included
  uint32_t colour_channels;
  bool alpha;
  bool keeps_precision;
  const char* mode;  // nullptr: the grey mode of the sample kind
};

// clang-format off
inline constexpr ChannelLayout kChannelLayouts[] = {
    // channels  colour  alpha  keeps precision  mode
    {1,          1,      false, true,            nullptr},
    {2,          1,      true,  true,            "LA"},
    {3,          3,      false, false,           "RGB"},
    {4,          3,      true,  false,           "RGBA"},
};
// clang-format on

// The layout of pixels of `channels` samples, alpha included; null for a
// count libjxl never delivers.
constexpr const ChannelLayout* channel_layout(uint32_t channels) noexcept {
  for (const ChannelLayout& row : kChannelLayouts) {
    if (row.channels == channels) return &row;
  }
  return nullptr;
}

constexpr const ChannelLayout* channel_layout(uint32_t colour_channels, bool alpha) noexcept {
  for (const ChannelLayout& row : kChannelLayouts) {
    if (row.colour_channels == colour_channels && row.alpha == alpha) return &row;
  }
  return nullptr;
}

constexpr uint32_t channels_of(const JxlBasicInfo& info) noexcept {
  return info.num_color_channels + (info.alpha_bits > 0 ? 1 : 0);
}

// The kind samples of `kind` are handed out as in `layout`.
constexpr SampleKind handed_out_kind(SampleKind kind, const ChannelLayout& layout) noexcept {
  return layout.keeps_precision ? layout_of(kind).kept_as : SampleKind::Uint8;
}

constexpr const char* mode_of(SampleKind kind, const ChannelLayout& layout) noexcept {
  return layout.mode != nullptr ? layout.mode : layout_of(kind).grey_mode;
}

// libjxl's format for samples of `kind`: interleaved, in native byte order,
// rows packed.
constexpr JxlPixelFormat pixel_format(uint32_t channels, SampleKind kind) noexcept {
  return {channels, layout_of(kind).data_type, JXL_NATIVE_ENDIAN, 0};
}

}  // namespace tessara
