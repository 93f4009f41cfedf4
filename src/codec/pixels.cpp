// Sample conversion loops, written so the compiler can vectorise them.
#include "codec/pixels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <new>

static_assert(std::endian::native == std::endian::little,
              "grey samples are handed out as little-endian bytes in place");

namespace tessara {
namespace {

template <typename T>
std::span<const T> typed(const PixelSamples& samples) noexcept {
  return {reinterpret_cast<const T*>(samples.bytes.data()), samples.bytes.size() / sizeof(T)};
}

uint32_t colour_channels_of(uint32_t channels) noexcept { return channels >= 3 ? 3 : 1; }

}  // namespace

uint8_t* ImageBytes::place(PixelSamples::Kind kind, uint32_t channels, size_t bytes) noexcept {
  if (in_final_layout(kind, colour_channels_of(channels))) return final_buffer(bytes);
  if (scratch_size_ != bytes) {
    scratch_.reset(new (std::nothrow) uint8_t[bytes]);
    scratch_size_ = scratch_ ? bytes : 0;
  }
  return scratch_.get();
}

bool ImageBytes::finish(const PixelSamples& samples) noexcept {
  const uint32_t colour = colour_channels_of(samples.channels);
  if (in_final_layout(samples.kind, colour)) return true;
  const size_t size = converted_size(samples, colour);
  uint8_t* out = final_buffer(size);
  if (out == nullptr) return false;
  convert_samples(samples, colour, {out, size});
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
  // No early exit, so the loop vectorises; a NaN fails the comparison.
  bool within = true;
  for (const float v : samples) within &= std::fabs(v) <= limit;
  return within;
}

bool in_final_layout(PixelSamples::Kind kind, uint32_t colour_channels) noexcept {
  return kind == PixelSamples::Kind::Uint8 ||
         (colour_channels == 1 && kind != PixelSamples::Kind::Float16);
}

size_t converted_size(const PixelSamples& samples, uint32_t colour_channels) noexcept {
  const size_t count = samples.size();
  return samples.kind == PixelSamples::Kind::Float16 && colour_channels == 1 ? count * 4 : count;
}

void convert_samples(const PixelSamples& samples, uint32_t colour_channels,
                     std::span<uint8_t> out) noexcept {
  using K = PixelSamples::Kind;
  switch (samples.kind) {
    case K::Uint8:
      break;
    case K::Uint16:
      high_bytes(typed<uint16_t>(samples), out);
      break;
    case K::Float:
      floats_to_bytes(typed<float>(samples), out);
      break;
    case K::Float16:
      if (colour_channels == 1) {
        widen_halves(typed<uint16_t>(samples),
                     {reinterpret_cast<float*>(out.data()), out.size() / sizeof(float)});
      } else {
        // In blocks, so the widened floats stay in cache on their way to bytes.
        std::span<const uint16_t> halves = typed<uint16_t>(samples);
        float block[4096];
        for (size_t start = 0; start < halves.size(); start += std::size(block)) {
          const size_t n = std::min(std::size(block), halves.size() - start);
          widen_halves(halves.subspan(start, n), {block, n});
          floats_to_bytes({block, n}, out.subspan(start, n));
        }
      }
      break;
  }
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
