// The decodes behind the array functions of tessara_pillow: a whole image at
// the file's own precision into memory the caller then owns, and the image's
// facts without its pixels. No Python here.
#pragma once

#include <jxl/codestream_header.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/errors.h"
#include "codec/layouts.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

// Samples interleaved, rows packed, native byte order; Float16 as half-float
// bit patterns. Integers are the values stored (a 12-bit file gives
// 0..4095), also when integers above 16 bits come as Float.
struct ArrayImage {
  std::unique_ptr<uint8_t[]> samples;  // what libjxl wrote into, handed over
  size_t bytes = 0;
  SampleKind kind = SampleKind::Uint8;
  uint32_t width = 0;  // as oriented
  uint32_t height = 0;
  uint32_t channels = 0;  // colour and alpha
};

// Pixels of a file with JPEG reconstruction data are decoded too; an
// animation gives its last frame. More than `max_pixels` pixels fail as
// TooLarge before pixel memory is asked for. `runner` may be null.
Result<ArrayImage, DecodeError> decode_full_precision(std::span<const uint8_t> data,
                                                     const ThreadsRunner* runner,
                                                     uint64_t max_pixels) noexcept;

struct ImageHeader {
  JxlBasicInfo info{};  // the file's orientation; sizes as oriented
  std::vector<uint8_t> icc;  // the profile of the pixels as decode_full_precision delivers them
  bool jpeg_reconstruction = false;
};

// Reads up to the colour encoding; no frame is decoded.
Result<ImageHeader, DecodeError> read_header(std::span<const uint8_t> data) noexcept;

}  // namespace tessara
