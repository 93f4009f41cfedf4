// Turning decoded samples into the byte layouts the plug-in expects: grey
// keeps its precision (little-endian), colour becomes 8-bit. No Python here.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codec/decoder.h"

namespace tessara {

// The image bytes: either a view into the decoded samples (when they already
// have the wanted layout) or a converted buffer.
struct ImageBytes {
  std::vector<uint8_t> converted;
  std::vector<float> widened;
  std::span<const uint8_t> view;

  std::span<const uint8_t> bytes() const noexcept { return view; }
};

// `colour_channels` is 1 or 3; `samples` must outlive the result.
ImageBytes image_bytes(const PixelSamples& samples, uint32_t colour_channels);

// The mode string of an image: "L", "LA", "RGB", "RGBA", or for grey without
// alpha by sample kind "I;16", "F", "F;16". Empty for other channel counts.
std::string image_mode(uint32_t colour_channels, bool has_alpha, const PixelSamples* samples);

// Exact widening of IEEE half-precision bit patterns.
void widen_halves(std::span<const uint16_t> in, std::span<float> out) noexcept;
// sample * 255, clamped to 0..255, truncated; NaN gives 0.
void floats_to_bytes(std::span<const float> in, std::span<uint8_t> out) noexcept;
void high_bytes(std::span<const uint16_t> in, std::span<uint8_t> out) noexcept;

}  // namespace tessara
