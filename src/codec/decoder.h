// The decoder driver: runs one libjxl decoder over a whole JPEG XL file in
// memory and returns the image facts and either the rebuilt JPEG or pixels.
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

// Samples interleaved as libjxl writes them. Unless a SampleStore placed
// them elsewhere (`placed`), exactly one vector holds them: `u8` for Uint8,
// `u16` for Uint16 and Float16 (half-float bit patterns), `f32` for Float.
// libjxl writes straight into that memory, so there is no conversion copy.
struct PixelSamples {
  enum class Kind : uint8_t { Uint8, Uint16, Float, Float16 };
  Kind kind = Kind::Uint8;
  std::vector<uint8_t> u8;
  std::vector<uint16_t> u16;
  std::vector<float> f32;
  std::span<uint8_t> placed;  // memory owned by the SampleStore, if it took them

  size_t size() const noexcept;  // sample count
  // The samples' bytes, wherever they are.
  std::span<const uint8_t> bytes() const noexcept;
};

// Lets the caller choose where decoded samples are written, so that they can
// land in their final buffer with no copy.
class SampleStore {
 public:
  // Memory for `bytes` bytes of samples, or nullptr to keep them in
  // PixelSamples' own vectors. Sets `failed` when it meant to provide the
  // memory but could not; the decode then fails as out of memory. Called once
  // per frame libjxl writes, with the same arguments each time.
  virtual uint8_t* place(PixelSamples::Kind kind, uint32_t channels, size_t bytes,
                         bool& failed) noexcept = 0;

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
  SampleStore* sample_store = nullptr;     // borrowed; optional

  Result<DecoderDriver, DecodeError> build() const noexcept;
};

class DecoderDriver {
 public:
  // `data` is read in place and must stay unchanged during the call.
  Result<Decoded, DecodeError> decode_or_reconstruct(std::span<const uint8_t> data) noexcept;

 private:
  friend struct DecoderOptions;
  DecoderDriver(JxlDecoderPtr decoder, const DecoderOptions& options) noexcept
      : decoder_(std::move(decoder)), options_(options) {}

  // The event loop; fills `jpeg` (when given), `format` and `pixels`.
  Result<DecodeMetadata, DecodeError> run_decoder(std::span<const uint8_t> data, bool want_icc,
                                                  std::vector<uint8_t>* jpeg,
                                                  std::optional<JxlPixelFormat>& format,
                                                  PixelSamples& pixels);

  JxlDecoderPtr decoder_;
  DecoderOptions options_;
  JxlBasicInfo info_{};
};

}  // namespace tessara
