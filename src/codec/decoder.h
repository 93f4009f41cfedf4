// The decoder driver: runs one libjxl decoder over a whole JPEG XL file in
// memory and returns the image facts and either the rebuilt JPEG file or a
// view of the pixel samples, which libjxl wrote into memory a SampleStore chose.
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
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

// Decoded samples, interleaved as libjxl writes them, in native byte order:
// their kind and where they lie. The memory belongs to the SampleStore that
// placed them. Float16 samples are half-float bit patterns.
struct PixelSamples {
  enum class Kind : uint8_t { Uint8, Uint16, Float, Float16 };
  Kind kind = Kind::Uint8;
  uint32_t channels = 0;  // per pixel, alpha included
  std::span<const uint8_t> bytes;

  size_t size() const noexcept { return bytes.size() / sample_size(kind); }  // sample count
  static size_t sample_size(Kind kind) noexcept {
    return kind == Kind::Uint8 ? 1 : kind == Kind::Float ? 4 : 2;
  }
};

// Chooses the memory libjxl decodes samples into, so that they can land in
// their final buffer with no copy.
class SampleStore {
 public:
  // Memory for `bytes` bytes of samples, or nullptr when it cannot be had
  // (the decode then fails as out of memory). Called once per frame libjxl
  // writes, with the same arguments each time; the memory must stay valid
  // until the store is done with.
  virtual uint8_t* place(PixelSamples::Kind kind, uint32_t channels, size_t bytes) noexcept = 0;

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
