// Turning decoded samples into the byte layouts the plug-in expects: grey
// keeps its precision (little-endian), colour becomes 8-bit; and the sample
// store that decodes them into the final buffer, converting those that need
// it as libjxl writes them, so that no other full-size buffer exists. No
// Python here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "codec/decoder.h"

namespace tessara {

// The image bytes handed out, in a final buffer of exactly their size:
// libjxl decodes into it, and samples not in their final layout are
// converted into it run by run.
class ImageBytes : public SampleStore {
 public:
  SamplePlacement place(PixelSamples::Kind kind, uint32_t channels,
                        size_t bytes) noexcept final;

 protected:
  ~ImageBytes() = default;
  // `bytes` bytes of uninitialised final memory (libjxl or the conversion
  // writes every byte that is handed out), or nullptr when out of memory.
  // Asked again for the same size, it returns the same memory.
  virtual uint8_t* final_buffer(size_t bytes) noexcept = 0;
};

// ImageBytes that owns its final buffer: what tests, fuzzers and benchmarks
// decode into, so they run the very path the module does.
class OwnedImageBytes final : public ImageBytes {
 public:
  std::span<const uint8_t> bytes() const noexcept { return {buffer_.get(), size_}; }

 private:
  uint8_t* final_buffer(size_t bytes) noexcept override;

  std::unique_ptr<uint8_t[]> buffer_;
  size_t size_ = 0;
};

// The mode string of an image (codec/layouts.h): "L", "LA", "RGB", "RGBA",
// or for grey without alpha by sample kind "I;16", "F", "F;16"; a rebuilt
// JPEG (no samples) is 8-bit. Empty for other channel counts.
std::string image_mode(uint32_t colour_channels, bool has_alpha, const PixelSamples* samples);

// `count` samples of `from` as the module hands them out in `to`
// (handed_out_kind in codec/layouts.h): 16-bit samples by their high byte,
// floats times 255 (floats_to_bytes), half floats widened; copied where the
// kinds are one. False for a pair the module never converts.
bool hand_out(SampleKind from, SampleKind to, const uint8_t* in, uint8_t* out,
              size_t count) noexcept;

// Exact widening of IEEE half-precision bit patterns.
void widen_halves(std::span<const uint16_t> in, std::span<float> out) noexcept;
// sample * 255, clamped to 0..255, truncated; NaN gives 0.
void floats_to_bytes(std::span<const float> in, std::span<uint8_t> out) noexcept;
void high_bytes(std::span<const uint16_t> in, std::span<uint8_t> out) noexcept;

// Whether every sample's magnitude is at most `limit` (NaN never is).
bool all_within(std::span<const float> samples, float limit) noexcept;
// Whether no half float (bit pattern) is infinite or NaN.
bool halves_finite(std::span<const uint16_t> halves) noexcept;
// Whether a half float is one libjxl 0.11.2's lossless coding does not keep:
// a NaN (stored as a finite value beyond the half range) or one of the
// subnormals 0x0200-0x03FF or their negatives.
bool has_unkept_half(std::span<const uint16_t> halves) noexcept;
// The largest sample (0 for none).
uint32_t max_sample(std::span<const uint8_t> samples) noexcept;
uint32_t max_sample(std::span<const uint16_t> samples) noexcept;
// Every `stride`-th sample from `first`, times `factor`, rounded to the
// nearest integer, in place: integers libjxl delivered as fractions of their
// largest value, back to the values stored.
void scale_and_round(std::span<float> samples, size_t stride, size_t first, float factor) noexcept;
// Every `stride`-th sample from `first`, an integer libjxl spread over
// 0..from_max, back onto 0..to_max (the values stored), rounded, in place.
void rescale_integers(std::span<uint8_t> samples, size_t stride, size_t first, uint32_t from_max,
                      uint32_t to_max) noexcept;
void rescale_integers(std::span<uint16_t> samples, size_t stride, size_t first, uint32_t from_max,
                      uint32_t to_max) noexcept;
// Half-float bit patterns of floats, rounded to nearest (ties to even), so
// exact for every value a half holds.
void narrow_to_halves(std::span<const float> in, std::span<uint16_t> out) noexcept;

}  // namespace tessara
