// Sample conversion loops, written so the compiler can vectorise them.
#include "codec/pixels.h"

#include <bit>

static_assert(std::endian::native == std::endian::little,
              "grey samples are handed out as little-endian bytes in place");

namespace tessara {
namespace {

template <typename T>
std::span<const uint8_t> as_bytes_view(const std::vector<T>& v) {
  return {reinterpret_cast<const uint8_t*>(v.data()), v.size() * sizeof(T)};
}

ImageBytes owned(std::vector<uint8_t> bytes) {
  ImageBytes out{std::move(bytes), {}, {}};
  out.view = out.converted;
  return out;
}

}  // namespace

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

ImageBytes image_bytes(const PixelSamples& samples, uint32_t colour_channels) {
  using K = PixelSamples::Kind;
  const bool grey = colour_channels == 1;
  switch (samples.kind) {
    case K::Uint8:
      return ImageBytes{{}, {}, samples.u8};
    case K::Uint16:
      if (grey) return ImageBytes{{}, {}, as_bytes_view(samples.u16)};
      {
        std::vector<uint8_t> out(samples.u16.size());
        high_bytes(samples.u16, out);
        return owned(std::move(out));
      }
    case K::Float:
      if (grey) return ImageBytes{{}, {}, as_bytes_view(samples.f32)};
      {
        std::vector<uint8_t> out(samples.f32.size());
        floats_to_bytes(samples.f32, out);
        return owned(std::move(out));
      }
    case K::Float16: {
      std::vector<float> wide(samples.u16.size());
      widen_halves(samples.u16, wide);
      if (grey) {
        ImageBytes out{{}, std::move(wide), {}};
        out.view = as_bytes_view(out.widened);
        return out;
      }
      std::vector<uint8_t> out(wide.size());
      floats_to_bytes(wide, out);
      return owned(std::move(out));
    }
  }
  return ImageBytes{};
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
