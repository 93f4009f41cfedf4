// Sample conversion loops, written so the compiler can vectorise them.
#include "codec/pixels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <new>
#include <type_traits>

static_assert(std::endian::native == std::endian::little,
              "grey samples are handed out as little-endian bytes in place");

namespace tessara {
namespace {

uint32_t colour_channels_of(uint32_t channels) noexcept { return channels >= 3 ? 3 : 1; }

// Converts `count` samples of type In at `base` into samples of type Out at
// `base`, block by block. Blocks go in the order in which each block's
// output overwrites only input already read: front to back when the output
// is smaller, back to front when it is larger. Only the first block overlaps
// its own output, so its input is copied aside; every other block's input and
// output are disjoint, and `convert` (a loop the compiler vectorises) runs on
// them as on separate buffers.
template <typename In, typename Out, typename Convert>
void in_place(uint8_t* base, size_t count, Convert convert) noexcept {
  constexpr size_t kBlock = 4096;
  const In* in = reinterpret_cast<const In*>(base);
  Out* out = reinterpret_cast<Out*>(base);
  auto run = [&](size_t start) {
    const size_t n = std::min(kBlock, count - start);
    convert(std::span<const In>(in + start, n), std::span<Out>(out + start, n));
  };
  auto run_first = [&] {
    In first[kBlock];
    const size_t n = std::min(kBlock, count);
    std::copy_n(in, n, first);
    convert(std::span<const In>(first, n), std::span<Out>(out, n));
  };
  static_assert(sizeof(Out) != sizeof(In));
  if constexpr (sizeof(Out) < sizeof(In)) {
    run_first();
    for (size_t start = kBlock; start < count; start += kBlock) run(start);
  } else {
    for (size_t start = count <= kBlock ? 0 : (count - 1) / kBlock * kBlock; start >= kBlock;
         start -= kBlock) {
      run(start);
    }
    run_first();
  }
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

uint8_t* ImageBytes::place(PixelSamples::Kind kind, uint32_t channels, size_t bytes) noexcept {
  const uint32_t colour = colour_channels_of(channels);
  if (in_final_layout(kind, colour)) return final_buffer(bytes);
  const size_t count = bytes / PixelSamples::sample_size(kind);
  return final_buffer(std::max(bytes, converted_size(kind, colour, count)));
}

bool ImageBytes::finish(const PixelSamples& samples) noexcept {
  const uint32_t colour = colour_channels_of(samples.channels);
  if (in_final_layout(samples.kind, colour)) return true;
  convert_in_place(samples, colour);
  const size_t size = converted_size(samples.kind, colour, samples.size());
  return size >= samples.bytes.size() || shrink_final_buffer(size);
}

uint8_t* OwnedImageBytes::final_buffer(size_t bytes) noexcept {
  if (buffer_ && size_ == bytes) return buffer_.get();
  buffer_.reset(new (std::nothrow) uint8_t[bytes]);
  size_ = buffer_ ? bytes : 0;
  return buffer_.get();
}

bool OwnedImageBytes::shrink_final_buffer(size_t bytes) noexcept {
  size_ = std::min(size_, bytes);
  return true;
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

bool in_final_layout(PixelSamples::Kind kind, uint32_t colour_channels) noexcept {
  return kind == PixelSamples::Kind::Uint8 ||
         (colour_channels == 1 && kind != PixelSamples::Kind::Float16);
}

size_t converted_size(PixelSamples::Kind kind, uint32_t colour_channels, size_t count) noexcept {
  if (colour_channels != 1) return count;  // colour: one byte per sample
  return kind == PixelSamples::Kind::Float16 ? count * 4 : count * PixelSamples::sample_size(kind);
}

void convert_in_place(const PixelSamples& samples, uint32_t colour_channels) noexcept {
  using K = PixelSamples::Kind;
  // libjxl wrote the samples; from here on they are only reached as bytes
  // of the buffer they lie in, which the store owns.
  uint8_t* base = const_cast<uint8_t*>(samples.bytes.data());
  const size_t count = samples.size();
  switch (samples.kind) {
    case K::Uint8: break;
    case K::Uint16:
      if (colour_channels != 1) in_place<uint16_t, uint8_t>(base, count, high_bytes);
      break;
    case K::Float:
      if (colour_channels != 1) in_place<float, uint8_t>(base, count, floats_to_bytes);
      break;
    case K::Float16:
      if (colour_channels == 1) {
        in_place<uint16_t, float>(base, count, widen_halves);
      } else {
        in_place<uint16_t, uint8_t>(base, count, halves_to_bytes);
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
