// The decoder driver: runs one libjxl decoder over a whole JPEG XL file in
// memory and returns the image facts and either the rebuilt JPEG file or a
// view of the pixel samples, which libjxl wrote (or handed over to be
// converted) into memory a SampleStore chose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include "codec/errors.h"
#include "codec/layouts.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

// Decoded samples, interleaved, in the layout their SampleStore keeps them
// in: the kind libjxl decoded them as, and where they lie. The memory belongs
// to the store that placed them. Float16 samples are half-float bit patterns.
struct PixelSamples {
  using Kind = SampleKind;
  Kind kind = Kind::Uint8;
  uint32_t channels = 0;  // per pixel, alpha included
  std::span<const uint8_t> bytes;

  static size_t sample_size(Kind kind) noexcept { return layout_of(kind).size; }
};

// Writes `count` decoded samples from `in` to `out` in a store's layout.
// Called on libjxl's worker threads, on disjoint runs of samples.
using ConvertSamples = void (*)(const uint8_t* in, uint8_t* out, size_t count) noexcept;

// Where a frame's samples go. Without `convert`, libjxl writes them into
// `memory` as decoded; with it, each run of samples libjxl decodes is
// converted into `memory` at once, `out_sample_size` bytes a sample, so that
// the decoded layout never exists at full size.
struct SamplePlacement {
  uint8_t* memory = nullptr;  // nullptr when it cannot be had
  ConvertSamples convert = nullptr;
  size_t out_sample_size = 0;
};

// Chooses the memory libjxl decodes samples into, so that they land in their
// final buffer with no copy.
class SampleStore {
 public:
  // Memory for a frame of `bytes` bytes of decoded samples, or a null
  // `memory` (the decode then fails as out of memory). Called once per frame
  // libjxl writes, with the same arguments each time; the memory must stay
  // valid until the store is done with.
  virtual SamplePlacement place(PixelSamples::Kind kind, uint32_t channels,
                                size_t bytes) noexcept = 0;

 protected:
  ~SampleStore() = default;
};

struct DecodeMetadata {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t num_color_channels = 0;
  bool has_alpha = false;
  std::optional<std::vector<uint8_t>> icc;  // present when the profile was wanted
};

struct DecodedImage {
  bool is_jpeg() const noexcept { return std::holds_alternative<std::vector<uint8_t>>(content); }
  std::variant<std::vector<uint8_t>, PixelSamples> content;  // JPEG file or pixels
};

struct Decoded {
  DecodeMetadata metadata;
  DecodedImage image;
};

class DecoderDriver;

struct DecoderOptions {
  bool want_icc = true;
  size_t initial_jpeg_buffer_size = 512 * 1024;
  const ThreadsRunner* runner = nullptr;  // borrowed; must outlive the driver

  Result<DecoderDriver, DecodeError> build() const noexcept;
};

class DecoderDriver {
 public:
  // `data` is read in place and must stay unchanged during the call; pixel
  // samples go where `store` places them.
  Result<Decoded, DecodeError> decode_or_reconstruct(std::span<const uint8_t> data,
                                                     SampleStore& store) noexcept;

 private:
  friend struct DecoderOptions;
  DecoderDriver(JxlDecoderPtr decoder, const DecoderOptions& options) noexcept
      : decoder_(std::move(decoder)), options_(options) {}

  JxlDecoderPtr decoder_;
  DecoderOptions options_;
};

}  // namespace tessara
