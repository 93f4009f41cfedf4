// The encoder driver: one libjxl encoder that takes optional metadata boxes
// and one frame (pixels or a JPEG file) per run and returns the JPEG XL file;
// after a successful run it is ready for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include "codec/errors.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

enum class EncoderColorEncoding : uint8_t { Srgb, LinearSrgb, SrgbGrey, LinearSrgbGrey };

enum class BoxKind : uint8_t { Exif, Xml, Jumbf };

struct EncoderSettings {
  bool has_alpha = false;
  bool lossless = false;
  float distance = 1.0f;
  bool use_container = false;
  bool uses_original_profile = false;
  int64_t decoding_speed = 0;
  EncoderColorEncoding color = EncoderColorEncoding::Srgb;
};

// Interleaved samples borrowed from the caller, native byte order, packed rows.
template <typename T>
struct PixelFrame {
  const T* data = nullptr;
  size_t count = 0;  // elements, not bytes
  uint32_t channels = 1;
};

class EncoderDriver {
 public:
  // `runner` is borrowed and must outlive the driver.
  static Result<EncoderDriver, EncodeError> create(const ThreadsRunner& runner,
                                                   const EncoderSettings& settings) noexcept;

  void set_effort(uint8_t effort) noexcept { effort_ = effort; }

  // Boxes go before the frame; libjxl keeps them in the order they are added.
  Status<EncodeError> add_box(BoxKind kind, std::span<const uint8_t> contents,
                              bool compress) noexcept;

  Result<std::vector<uint8_t>, EncodeError> encode_pixels(PixelFrame<uint8_t> frame,
                                                          uint32_t width, uint32_t height) noexcept;
  Result<std::vector<uint8_t>, EncodeError> encode_pixels(PixelFrame<uint16_t> frame,
                                                          uint32_t width, uint32_t height) noexcept;
  Result<std::vector<uint8_t>, EncodeError> encode_pixels(PixelFrame<float> frame,
                                                          uint32_t width, uint32_t height) noexcept;
  // Stores reconstruction data so the JPEG file can be rebuilt bit for bit.
  Result<std::vector<uint8_t>, EncodeError> encode_jpeg(std::span<const uint8_t> jpeg) noexcept;

 private:
  EncoderDriver(JxlEncoderPtr encoder, const ThreadsRunner& runner,
                const EncoderSettings& settings) noexcept;

  JxlEncoderPtr encoder_;
  JxlEncoderFrameSettings* frame_settings_ = nullptr;
  const ThreadsRunner* runner_;
  EncoderSettings settings_;
  uint8_t effort_ = 7;
  bool boxes_enabled_ = false;
};

}  // namespace tessara
