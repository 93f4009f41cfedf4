#include "codec/delivery.h"

#include <iterator>

#include "codec/decode_steps.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using namespace steps;  // NOLINT(google-build-using-namespace)

// libjxl hands integers out over the whole range of an integer type, or
// over 0..1 as floats, by default; the largest value each channel stores
// brings them back (0 for a float channel, which needs nothing).
uint32_t largest_value(const SampleDepth& depth) noexcept {
  if (depth.exponent_bits != 0 || depth.bits == 0 || depth.bits > 32) return 0;
  return static_cast<uint32_t>((uint64_t{1} << depth.bits) - 1);
}

}  // namespace

FrameFormat FrameFormat::full_precision(const FileFacts& facts) noexcept {
  return {full_precision_kind(facts), facts.channels(), true};
}

Result<SampleDelivery, AnimationError> SampleDelivery::plan(const FileFacts& facts,
                                                            FrameFormat format) noexcept {
  const uint64_t none = AnimationError::kNoFrame;
  if (static_cast<size_t>(format.kind) >= std::size(kKindLayouts)) {
    return Err{error_at(Kind::FormatRefused, none)};
  }
  if (format.channels == 0) format.channels = facts.channels();
  // libjxl delivers colour in three channels or four, never fewer.
  const uint32_t fewest = facts.num_color_channels == 1 ? 1 : 3;
  if (format.channels < fewest || format.channels > 4) {
    return Err{error_at(Kind::FormatRefused, none)};
  }
  SampleDelivery d;
  d.format_ = format;
  d.colour_ = facts.colour;
  d.alpha_ = facts.alpha;
  d.has_alpha_ = facts.has_alpha();
  d.fetched_ = format.kind;
  if (format.stored_depth && format.kind == SampleKind::Float16 &&
      (largest_value(facts.colour) != 0 || largest_value(facts.alpha) != 0)) {
    d.fetched_ = SampleKind::Float;
  }
  // Sizes as delivered (at most 2^30 a side): no product overflows 64 bits.
  const uint64_t pixels = uint64_t{facts.width()} * facts.height();
  if (pixels * format.channels * layout_of(SampleKind::Float).size > SIZE_MAX) {
    return Err{error_at(Kind::OutOfMemory, none)};
  }
  d.pixels_ = static_cast<size_t>(pixels);
  return d;
}

size_t SampleDelivery::bytes() const noexcept {
  return pixels_ * format_.channels * layout_of(format_.kind).size;
}

size_t SampleDelivery::fetched_bytes() const noexcept {
  return pixels_ * format_.channels * layout_of(fetched_).size;
}

// libjxl's values as stored take the colour's depth for every channel; at
// the kind's own depth the setting changes nothing, and libjxl's usual path
// is kept.
bool SampleDelivery::codestream_depth() const noexcept {
  const KindLayout& layout = layout_of(fetched_);
  return format_.stored_depth && layout.exponent_bits == 0 && one_depth() &&
         colour_.bits != layout.size * 8;
}

uint32_t SampleDelivery::fetched_bits() const noexcept {
  return codestream_depth() ? colour_.bits : static_cast<uint32_t>(layout_of(fetched_).size * 8);
}

Status<AnimationError> SampleDelivery::set_output(JxlDecoder* dec, std::span<uint8_t> buffer,
                                                  uint64_t frame) const noexcept {
  const JxlPixelFormat pixel = pixel_format(format_.channels, fetched_);
  if (Check s = check_call(
          [&] { return JxlDecoderSetImageOutBuffer(dec, &pixel, buffer.data(), buffer.size()); },
          frame);
      !s) {
    return s;
  }
  if (!codestream_depth()) return {};
  const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
  return check_status(JxlDecoderSetImageOutBitDepth(dec, &depth), frame);
}

// Samples as stored where libjxl could not deliver them so: each channel at
// its own depth, then narrowed into half floats if fetched as floats.
void SampleDelivery::finish(std::span<uint8_t> fetched, std::span<uint8_t> out) const noexcept {
  if (!format_.stored_depth) return;
  const size_t stride = format_.channels;
  const uint32_t colour_max = largest_value(colour_);
  const uint32_t alpha_max = has_alpha_ ? largest_value(alpha_) : colour_max;
  const KindLayout& layout = layout_of(fetched_);
  for (size_t c = 0; c < stride; ++c) {
    const bool alpha = has_alpha_ && c + 1 == stride;
    const uint32_t to_max = alpha ? alpha_max : colour_max;
    if (layout.exponent_bits != 0) {
      if (to_max == 0) continue;
      scale_and_round({reinterpret_cast<float*>(fetched.data()), fetched.size() / sizeof(float)},
                      stride, c, static_cast<float>(to_max));
    } else if (!one_depth()) {
      const uint32_t from_max = layout.size == 1 ? 0xffu : 0xffffu;
      if (to_max == from_max) continue;
      if (layout.size == 1) {
        rescale_integers(fetched, stride, c, from_max, to_max);
      } else {
        rescale_integers({reinterpret_cast<uint16_t*>(fetched.data()), fetched.size() / 2}, stride,
                         c, from_max, to_max);
      }
    }
  }
  if (fetched_ != format_.kind) {
    narrow_to_halves(
        {reinterpret_cast<const float*>(fetched.data()), fetched.size() / sizeof(float)},
        {reinterpret_cast<uint16_t*>(out.data()), out.size() / 2});
  }
}

}  // namespace tessara
