// What an Encoder holds: its validated settings and the mode table.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "codec/encoder.h"
#include "lib/python.h"

namespace tessara::py {

struct PixelType {
  enum class Kind : uint8_t { Uint8, Uint16, Float };
  Kind kind = Kind::Uint8;
  uint32_t num_channels = 1;  // Uint8 only; the others are one channel
  bool has_alpha = false;     // Uint8 only
};

struct EncoderFields {
  int64_t decoding_speed = 0;
  int64_t num_threads = -1;
  PixelType pixel_type;
  float quality = 1.0f;
  uint32_t effort = 7;
  bool lossless = false;
  bool use_container = false;
  bool use_original_profile = false;  // already OR lossless
};

PyObject* encode_call(PyObject* object, PyObject* args, PyObject* kwargs) noexcept;

// The pixel type of a mode name (exact, case-sensitive), if it is one.
std::optional<PixelType> pixel_type_of_mode(std::string_view mode) noexcept;

}  // namespace tessara::py
