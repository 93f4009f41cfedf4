// Animated JPEG XL without Python: a decoder that hands out one composited
// frame at a time and seeks by skipping, and an encoder fed one frame at a
// time. Still images go through the same calls as animations of one frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include "codec/delivery.h"
#include "codec/encoder.h"
#include "codec/errors.h"
#include "codec/facts.h"
#include "codec/layouts.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

// ---- One frame at a time ------------------------------------------------------

// Decodes displayed frames one at a time, composited as a viewer shows them,
// with orientation applied, in the profile FileFacts::icc names. Seeking
// forward skips frames without handing them out; seeking back rewinds and
// skips again. After an error the next call starts afresh from the
// beginning, so frames before a broken one stay decodable. Holds the libjxl
// decoder and its thread pool; the input is borrowed and must stay unchanged
// for the decoder's life.
class FrameDecoder {
 public:
  // The file's facts are read first, with every frame header (read_facts);
  // `format` empty: FrameFormat::full_precision. `runner`: the decoder's own
  // pool, or none to decode on the calling thread.
  static Result<FrameDecoder, AnimationError> open(std::span<const uint8_t> data,
                                                   std::optional<FrameFormat> format,
                                                   std::optional<ThreadsRunner> runner) noexcept;

  const FileFacts& facts() const noexcept { return facts_; }
  FrameFormat format() const noexcept { return delivery_.format(); }
  // The colour profile of the samples as delivered.
  const std::vector<uint8_t>& icc() const noexcept { return facts_.icc; }
  // Bytes of one frame in the format: width * height * channels * sample size.
  size_t frame_bytes() const noexcept { return delivery_.bytes(); }
  // The frame the next decode() without seeking would hand out.
  uint64_t position() const noexcept { return next_; }

  // Decodes displayed frame `index` into `out`, which must be frame_bytes()
  // long and is written in full on success; the frame's header is returned.
  // Frames the walk of headers did not find whole are refused before any
  // decoding, as the walk stopped there (truncated, corrupt, more layers or
  // frames than the limits); past the last frame: NoSuchFrame, with the
  // frame count. Other errors name `index`.
  Result<FrameFacts, AnimationError> decode(uint64_t index, std::span<uint8_t> out) noexcept;

 private:
  FrameDecoder(JxlDecoderPtr decoder, std::span<const uint8_t> data, FileFacts facts,
               SampleDelivery delivery, std::optional<ThreadsRunner> runner) noexcept;
  Status<AnimationError> start() noexcept;
  Status<AnimationError> restart() noexcept;
  // Where libjxl writes a frame bound for `out`: `out`, or scratch_.
  std::span<uint8_t> fetch_buffer(std::span<uint8_t> out) noexcept;

  JxlDecoderPtr decoder_;
  std::span<const uint8_t> data_;
  FileFacts facts_;
  SampleDelivery delivery_;
  std::optional<ThreadsRunner> runner_;
  // Where libjxl writes a frame that is fetched in another kind than it is
  // delivered in (SampleDelivery::fetched).
  std::vector<float> scratch_;
  uint64_t next_ = 0;
  // libjxl's state no longer continues at `next_`: after an error, or after
  // the end of the input was reached.
  bool needs_restart_ = false;
  bool failed_ = false;  // an error: a full reset rather than a rewind
};

// ---- Writing ------------------------------------------------------------------

struct AnimationSettings {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 3;  // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
  SampleKind sample = SampleKind::Uint8;
  // Integers only: the bits stored, at most the kind's own and for Uint16 at
  // least 9 (0: the kind's); samples are given as stored (0..4095 for 12).
  uint32_t bits = 0;
  // Without an ICC profile the samples are sRGB, or linear sRGB when set.
  bool linear = false;
  std::span<const uint8_t> icc;  // read during create() only
  // 1000 ticks a second: durations in milliseconds are exact.
  uint32_t tps_numerator = 1000;
  uint32_t tps_denominator = 1;
  uint32_t num_loops = 0;  // 0: forever
  bool lossless = false;
  float distance = 1.0f;
  uint8_t effort = 7;
  int64_t decoding_speed = 0;
  Progression progression = {};
  bool use_container = false;  // boxes make a container whatever this says
  bool uses_original_profile = false;
  // How readers turn every stored frame upright (Exif's numbering, 1 to 8).
  JxlOrientation orientation = JXL_ORIENT_IDENTITY;
};

// Encodes an animation fed one frame at a time. libjxl copies each frame when
// it is added and codes it when the next one comes (or at finish(): it must
// know which frame is the last before coding it), so it holds one frame's
// pixels at a time and the caller none. Boxes go before the first frame.
class AnimationEncoder {
 public:
  static Result<AnimationEncoder, EncodeError> create(const AnimationSettings& settings,
                                                      std::optional<ThreadsRunner> runner) noexcept;

  Status<EncodeError> add_box(BoxKind kind, std::span<const uint8_t> contents,
                              bool compress) noexcept;
  // `samples`: one frame in the settings' layout, frame_bytes() long. A frame
  // of zero duration is composited into the next one by every reader (it is a
  // layer, not a displayed frame) and is not counted as a frame.
  Status<EncodeError> add_frame(std::span<const uint8_t> samples, uint32_t duration,
                                std::string_view name = {}) noexcept;
  // The file; BadInput without any frame. The encoder is spent afterwards.
  Result<std::vector<uint8_t>, EncodeError> finish() noexcept;

  size_t frame_bytes() const noexcept { return frame_bytes_; }
  size_t frames_added() const noexcept { return frames_; }

 private:
  AnimationEncoder(JxlEncoderPtr encoder, const AnimationSettings& settings,
                   std::optional<ThreadsRunner> runner) noexcept;
  Status<EncodeError> drain() noexcept;

  JxlEncoderPtr encoder_;
  JxlEncoderFrameSettings* frame_settings_ = nullptr;
  std::optional<ThreadsRunner> runner_;
  AnimationSettings settings_;
  size_t frame_bytes_ = 0;
  size_t frames_ = 0;
  std::vector<uint8_t> output_;
  size_t written_ = 0;  // bytes of output_ libjxl has written
  bool boxes_enabled_ = false;
  bool finished_ = false;
};

}  // namespace tessara
