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
#include "codec/layouts.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

enum class EncoderColorEncoding : uint8_t { Srgb, LinearSrgb, SrgbGrey, LinearSrgbGrey };

enum class BoxKind : uint8_t { Exif, Xml, Jumbf };

// Coding for progressive decoding, as cjxl names it: DC frames (0 to 2:
// a 1:8 preview of its own, refined from 1:64 and 1:512), AC in spectral
// passes, modular images squeezed into a pyramid. -1 leaves libjxl's choice.
struct Progression {
  int64_t dc = -1;
  int64_t ac = -1;
  int64_t responsive = -1;

  bool asked() const noexcept { return dc > 0 || ac > 0 || responsive > 0; }
};

struct EncoderSettings {
  bool has_alpha = false;
  bool lossless = false;
  float distance = 1.0f;
  bool use_container = false;
  bool uses_original_profile = false;
  int64_t decoding_speed = 0;
  EncoderColorEncoding color = EncoderColorEncoding::Srgb;
  // How readers turn the stored pixels upright (Exif's numbering, 1 to 8).
  JxlOrientation orientation = JXL_ORIENT_IDENTITY;
};

// Interleaved samples borrowed from the caller, native byte order, packed rows.
template <typename T>
struct PixelFrame {
  const T* data = nullptr;
  size_t count = 0;  // elements, not bytes
  uint32_t channels = 1;
};

// A frame of any sample kind, at a depth of its own, in a colour space of its
// own: what the array encoder hands over. Samples are read in place.
struct SampleFrame {
  SampleKind kind = SampleKind::Uint8;
  std::span<const uint8_t> bytes;  // interleaved, native byte order, packed rows
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 1;  // colour and alpha: 1 grey, 2 grey+alpha, 3 colour, 4 colour+alpha
  // Integers only: the bits stored, at most the kind's own and for Uint16
  // at least 9 (0: the kind's). The samples must not exceed them.
  uint32_t bits = 0;
  // Empty: integers are sRGB, floats linear sRGB.
  std::span<const uint8_t> icc;
};

// What libjxl 0.11.2 cannot be given, found before it is.
enum class FrameProblem : uint8_t {
  None,
  // Lossy coding ends the process inside libjxl on NaN, infinity and huge
  // magnitudes.
  NotFinite,
  // Lossless coding of half floats turns NaN and the subnormals
  // 0x0200-0x03FF (and their negatives) into other values.
  UnkeptHalf,
  AboveDepth,  // an integer sample above the frame's bits
  Shape,       // a size of zero, or bytes that do not match the size
};

FrameProblem check_frame(const SampleFrame& frame, bool lossless) noexcept;

// Sets the options of `p` that are not -1 (and whole-frame buffering when
// any asks for progression); for both encoders.
Status<EncodeError> apply_progression(JxlEncoder* enc, JxlEncoderFrameSettings* frame_settings,
                                      const Progression& p) noexcept;

// The effort libjxl is really asked for: lossless effort 1 on integers of 9
// to 16 bits corrupts libjxl 0.11.2's heap on noisy images, so those get 2.
uint8_t effective_effort(uint8_t effort, bool lossless, const SampleFrame& frame) noexcept;

class EncoderDriver {
 public:
  // `runner` is borrowed and must outlive the driver.
  static Result<EncoderDriver, EncodeError> create(const ThreadsRunner& runner,
                                                   const EncoderSettings& settings) noexcept;

  void set_effort(uint8_t effort) noexcept { effort_ = effort; }
  // For encode_samples.
  void set_progression(const Progression& progression) noexcept { progression_ = progression; }

  // Boxes go before the frame; libjxl keeps them in the order they are added.
  Status<EncodeError> add_box(BoxKind kind, std::span<const uint8_t> contents,
                              bool compress) noexcept;

  Result<std::vector<uint8_t>, EncodeError> encode_pixels(PixelFrame<uint8_t> frame,
                                                          uint32_t width, uint32_t height) noexcept;
  Result<std::vector<uint8_t>, EncodeError> encode_pixels(PixelFrame<uint16_t> frame,
                                                          uint32_t width, uint32_t height) noexcept;
  Result<std::vector<uint8_t>, EncodeError> encode_pixels(PixelFrame<float> frame,
                                                          uint32_t width, uint32_t height) noexcept;
  // Any sample kind at its frame's depth, tagged with its profile, or with
  // `encoding` (an encoding libjxl names, such as a PNG's cICP gives; its
  // colour space follows the frame's channels) when there is one. The
  // settings' has_alpha and color are not used: the frame says them. Fails
  // as BadInput on a FrameProblem.
  Result<std::vector<uint8_t>, EncodeError> encode_samples(
      const SampleFrame& frame, const JxlColorEncoding* encoding = nullptr) noexcept;
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
  Progression progression_;
  bool boxes_enabled_ = false;
};

}  // namespace tessara
