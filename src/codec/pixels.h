// Turning decoded samples into the byte layouts the plug-in expects: grey
// keeps its precision (little-endian), colour becomes 8-bit. No Python here.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "codec/decoder.h"

namespace tessara {

// Whether decoded samples already have the byte layout handed out: 8-bit
// samples always, grey (with or without alpha) 16-bit and float samples as
// they are (little-endian); colour and half-float samples need converting.
bool in_final_layout(PixelSamples::Kind kind, uint32_t colour_channels) noexcept;

// Byte length of the converted image, for samples not in their final layout.
size_t converted_size(const PixelSamples& samples, uint32_t colour_channels) noexcept;
// Converts into `out`, which holds converted_size() bytes.
void convert_samples(const PixelSamples& samples, uint32_t colour_channels,
                     std::span<uint8_t> out) noexcept;

// The mode string of an image: "L", "LA", "RGB", "RGBA", or for grey without
// alpha by sample kind "I;16", "F", "F;16". Empty for other channel counts.
std::string image_mode(uint32_t colour_channels, bool has_alpha, const PixelSamples* samples);

// Exact widening of IEEE half-precision bit patterns.
void widen_halves(std::span<const uint16_t> in, std::span<float> out) noexcept;
// sample * 255, clamped to 0..255, truncated; NaN gives 0.
void floats_to_bytes(std::span<const float> in, std::span<uint8_t> out) noexcept;
void high_bytes(std::span<const uint16_t> in, std::span<uint8_t> out) noexcept;

}  // namespace tessara
