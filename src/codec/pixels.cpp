// Sample conversion loops, written so the compiler can vectorise them.
#include "codec/pixels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <new>
#include <type_traits>

static_assert(std::endian::native == std::endian::little,
              "grey samples are handed out as little-endian bytes as decoded");

namespace tessara {
namespace {

uint32_t colour_channels_of(uint32_t channels) noexcept { return channels >= 3 ? 3 : 1; }

// A conversion between spans as a ConvertSamples over the bytes libjxl
// hands over and the final buffer; both are aligned for their sample types
// (libjxl's row buffers and the start of a sample in the final buffer).
template <typename In, typename Out, void (*Convert)(std::span<const In>, std::span<Out>) noexcept>
void over_bytes(const uint8_t* in, uint8_t* out, size_t count) noexcept {
  Convert(std::span<const In>(reinterpret_cast<const In*>(in), count),
          std::span<Out>(reinterpret_cast<Out*>(out), count));
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

}  // namespace

SamplePlacement ImageBytes::place(PixelSamples::Kind kind, uint32_t channels,
                                  size_t bytes) noexcept {
  const uint32_t colour = colour_channels_of(channels);
  const ConvertSamples convert = converter_for(kind, colour);
  if (convert == nullptr) return {final_buffer(bytes), nullptr, 0};
  const size_t count = bytes / PixelSamples::sample_size(kind);
  const size_t out_size = converted_size(kind, colour, 1);
  return {final_buffer(count * out_size), convert, out_size};
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

size_t converted_size(PixelSamples::Kind kind, uint32_t colour_channels, size_t count) noexcept {
  if (colour_channels != 1) return count;  // colour: one byte per sample
  return kind == PixelSamples::Kind::Float16 ? count * 4 : count * PixelSamples::sample_size(kind);
}

ConvertSamples converter_for(PixelSamples::Kind kind, uint32_t colour_channels) noexcept {
  using K = PixelSamples::Kind;
  const bool grey = colour_channels == 1;
  switch (kind) {
    case K::Uint8: return nullptr;
    case K::Uint16: return grey ? nullptr : over_bytes<uint16_t, uint8_t, high_bytes>;
    case K::Float: return grey ? nullptr : over_bytes<float, uint8_t, floats_to_bytes>;
    case K::Float16:
      return grey ? over_bytes<uint16_t, float, widen_halves>
                  : over_bytes<uint16_t, uint8_t, halves_to_bytes>;
  }
  return nullptr;
}

std::string image_mode(uint32_t colour_channels, bool has_alpha, const PixelSamples* samples) {
  if (colour_channels == 3) return has_alpha ? "RGBA" : "RGB";
  if (colour_channels != 1) return {};
  if (has_alpha) return "LA";
  if (samples == nullptr) return "L";
  switch (samples->kind) {
    case PixelSamples::Kind::Uint16: return "I;16";
    case PixelSamples::Kind::Float: return "F";
    case PixelSamples::Kind::Float16: return "F;16";
    case PixelSamples::Kind::Uint8: break;
  }
  return "L";
}

}  // namespace tessara
