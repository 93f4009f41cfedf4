// Sample conversion loops, written so the compiler can vectorise them.
#include "codec/pixels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>

static_assert(std::endian::native == std::endian::little,
              "grey samples are handed out as little-endian bytes as decoded");

namespace tessara {
namespace {

// The C++ type of a sample of each kind as libjxl writes it (Float16: bit
// patterns); over_bytes checks it against the sample sizes of the layouts.
template <SampleKind K>
using sample_t = std::conditional_t<K == SampleKind::Float, float,
                                    std::conditional_t<K == SampleKind::Uint8, uint8_t, uint16_t>>;

// A conversion between spans as a ConvertSamples over the bytes libjxl
// hands over and the final buffer; both are aligned for their sample types
// (libjxl's row buffers and the start of a sample in the final buffer).
template <SampleKind From, SampleKind To,
          void (*Convert)(std::span<const sample_t<From>>, std::span<sample_t<To>>) noexcept>
void over_bytes(const uint8_t* in, uint8_t* out, size_t count) noexcept {
  static_assert(sizeof(sample_t<From>) == layout_of(From).size &&
                sizeof(sample_t<To>) == layout_of(To).size);
  Convert(std::span<const sample_t<From>>(reinterpret_cast<const sample_t<From>*>(in), count),
          std::span<sample_t<To>>(reinterpret_cast<sample_t<To>*>(out), count));
}

// Half floats to bytes through a block of floats that stays in cache.
void halves_to_bytes(std::span<const uint16_t> in, std::span<uint8_t> out) noexcept {
  float wide[1024];
  for (size_t start = 0; start < in.size(); start += std::size(wide)) {
    const size_t n = std::min(std::size(wide), in.size() - start);
    widen_halves(in.subspan(start, n), {wide, n});
    floats_to_bytes({wide, n}, out.subspan(start, n));
  }
}

struct Conversion {
  SampleKind from;
  SampleKind to;
  ConvertSamples run;
};

template <SampleKind From, SampleKind To,
          void (*Convert)(std::span<const sample_t<From>>, std::span<sample_t<To>>) noexcept>
constexpr Conversion converting() noexcept {
  return {From, To, over_bytes<From, To, Convert>};
}

using K = SampleKind;
constexpr Conversion kConversions[] = {
    converting<K::Uint16, K::Uint8, high_bytes>(),
    converting<K::Float, K::Uint8, floats_to_bytes>(),
    converting<K::Float16, K::Float, widen_halves>(),
    converting<K::Float16, K::Uint8, halves_to_bytes>(),
};

// The conversion of samples decoded as `from` into the kind handed out,
// null where they are handed out as decoded.
constexpr ConvertSamples conversion(SampleKind from, SampleKind to) noexcept {
  if (from == to) return nullptr;
  for (const Conversion& c : kConversions) {
    if (c.from == from && c.to == to) return c.run;
  }
  return nullptr;
}

constexpr bool every_layout_converts() noexcept {
  for (const KindLayout& kind : kKindLayouts) {
    for (const ChannelLayout& layout : kChannelLayouts) {
      const SampleKind out = handed_out_kind(kind.kind, layout);
      if (out != kind.kind && conversion(kind.kind, out) == nullptr) return false;
    }
  }
  return true;
}
static_assert(every_layout_converts(), "a layout handed out in another kind needs a conversion");

}  // namespace

SamplePlacement ImageBytes::place(SampleKind kind, uint32_t channels, size_t bytes) noexcept {
  const ChannelLayout* layout = channel_layout(channels);
  if (layout == nullptr) return {};  // libjxl delivers 1 to 4 channels
  const SampleKind out = handed_out_kind(kind, *layout);
  const ConvertSamples convert = conversion(kind, out);
  if (convert == nullptr) return {final_buffer(bytes), nullptr, 0};
  const size_t count = bytes / layout_of(kind).size;
  const size_t out_size = layout_of(out).size;
  return {final_buffer(count * out_size), convert, out_size};
}

bool hand_out(SampleKind from, SampleKind to, const uint8_t* in, uint8_t* out,
              size_t count) noexcept {
  if (from == to) {
    if (count > 0) std::memcpy(out, in, count * layout_of(from).size);
    return true;
  }
  const ConvertSamples convert = conversion(from, to);
  if (convert == nullptr) return false;
  convert(in, out, count);
  return true;
}

uint8_t* OwnedImageBytes::final_buffer(size_t bytes) noexcept {
  if (buffer_ && size_ == bytes) return buffer_.get();
  buffer_.reset(new (std::nothrow) uint8_t[bytes]);
  size_ = buffer_ ? bytes : 0;
  return buffer_.get();
}

void widen_halves(std::span<const uint16_t> in, std::span<float> out) noexcept {
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    uint32_t h = in[i];
    uint32_t sign = (h & 0x8000u) << 16;
    uint32_t magnitude = h & 0x7fffu;
    // Shifted into a float's exponent and mantissa, a finite half (normal or
    // subnormal) is off by exactly 2^-112; the product is exact.
    float scaled = std::bit_cast<float>(magnitude << 13) * 0x1p112f;
    uint32_t finite = std::bit_cast<uint32_t>(scaled);
    uint32_t special = 0x7f800000u | ((magnitude & 0x3ffu) << 13);  // inf, NaN
    out[i] = std::bit_cast<float>(sign | (magnitude >= 0x7c00u ? special : finite));
  }
}

void floats_to_bytes(std::span<const float> in, std::span<uint8_t> out) noexcept {
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    float v = in[i] * 255.0f;
    v = v > 0.0f ? v : 0.0f;  // also maps NaN to 0
    v = v < 255.0f ? v : 255.0f;
    out[i] = static_cast<uint8_t>(static_cast<int32_t>(v));
  }
}

void high_bytes(std::span<const uint16_t> in, std::span<uint8_t> out) noexcept {
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(in[i] >> 8);
}

bool all_within(std::span<const float> samples, float limit) noexcept {
  // A count with no early exit, so the loop vectorises; NaN fails <=.
  uint32_t outside = 0;
  for (const float v : samples) outside |= std::fabs(v) <= limit ? 0u : 1u;
  return outside == 0;
}

bool halves_finite(std::span<const uint16_t> halves) noexcept {
  uint32_t special = 0;
  for (const uint16_t h : halves) special |= (h & 0x7c00u) == 0x7c00u ? 1u : 0u;
  return special == 0;
}

bool has_unkept_half(std::span<const uint16_t> halves) noexcept {
  uint32_t lost = 0;
  for (const uint16_t h : halves) {
    const uint32_t magnitude = h & 0x7fffu;
    lost |= (magnitude & 0x7e00u) == 0x0200u || magnitude > 0x7c00u ? 1u : 0u;
  }
  return lost != 0;
}

template <typename T>
uint32_t max_of(std::span<const T> samples) noexcept {
  T max = 0;
  for (const T v : samples) max = v > max ? v : max;
  return max;
}

uint32_t max_sample(std::span<const uint8_t> samples) noexcept { return max_of(samples); }
uint32_t max_sample(std::span<const uint16_t> samples) noexcept { return max_of(samples); }

void scale_and_round(std::span<float> samples, size_t stride, size_t first, float factor) noexcept {
  for (size_t i = first; i < samples.size(); i += stride) {
    samples[i] = std::nearbyint(samples[i] * factor);
  }
}

template <typename T>
void rescale(std::span<T> samples, size_t stride, size_t first, uint32_t from_max,
             uint32_t to_max) noexcept {
  const uint64_t to = to_max, from = from_max;
  for (size_t i = first; i < samples.size(); i += stride) {
    samples[i] = static_cast<T>((samples[i] * to * 2 + from) / (from * 2));
  }
}

void rescale_integers(std::span<uint8_t> samples, size_t stride, size_t first, uint32_t from_max,
                      uint32_t to_max) noexcept {
  rescale(samples, stride, first, from_max, to_max);
}

void rescale_integers(std::span<uint16_t> samples, size_t stride, size_t first, uint32_t from_max,
                      uint32_t to_max) noexcept {
  rescale(samples, stride, first, from_max, to_max);
}

void narrow_to_halves(std::span<const float> in, std::span<uint16_t> out) noexcept {
  const size_t n = in.size() < out.size() ? in.size() : out.size();
  for (size_t i = 0; i < n; ++i) {
    uint32_t bits = 0;
    std::memcpy(&bits, &in[i], sizeof bits);
    const uint32_t sign = (bits >> 16) & 0x8000u;
    const uint32_t magnitude = bits & 0x7fffffffu;
    uint32_t half = 0;
    if (magnitude > 0x7f800000u) {
      half = 0x7e00u;  // NaN
    } else if (magnitude >= 0x477ff000u) {
      half = 0x7c00u;  // beyond the largest half once rounded: infinity
    } else if (magnitude >= 0x38800000u) {
      // Normal: drop 13 mantissa bits, rounding to nearest even; a carry
      // into the exponent is the right result.
      const uint32_t rebased = magnitude - 0x38000000u;
      half = (rebased + 0x0fffu + ((rebased >> 13) & 1u)) >> 13;
    } else if (magnitude > 0x33000000u) {
      // Subnormal: the implicit bit made explicit, shifted into place.
      const uint32_t mantissa = (magnitude & 0x007fffffu) | 0x00800000u;
      const uint32_t shift = 126u - (magnitude >> 23);  // 14 and up
      const uint32_t kept = mantissa >> shift;
      const uint32_t rest = mantissa & ((1u << shift) - 1u);
      const uint32_t halfway = 1u << (shift - 1);
      half = kept + (rest > halfway || (rest == halfway && (kept & 1u)) ? 1u : 0u);
    }
    out[i] = static_cast<uint16_t>(sign | half);
  }
}

std::string image_mode(uint32_t colour_channels, bool has_alpha, const PixelSamples* samples) {
  const ChannelLayout* layout = channel_layout(colour_channels, has_alpha);
  if (layout == nullptr) return {};
  return mode_of(samples != nullptr ? samples->kind : SampleKind::Uint8, *layout);
}

}  // namespace tessara
