// Animated JPEG XL without Python: the facts of a file and its frame headers
// read without decoding pixels, a decoder that hands out one composited frame
// at a time and seeks by skipping, and an encoder fed one frame at a time.
// Still images go through the same calls as animations of one frame.
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

#include "codec/encoder.h"
#include "codec/errors.h"
#include "codec/layouts.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

// ---- Errors -------------------------------------------------------------------

struct AnimationError {
  enum class Kind : uint8_t {
    NotJpegXl,
    DecoderCreateFailed,
    Corrupt,        // libjxl refused the input
    Truncated,      // the input ends before the frame does
    OutOfMemory,    // libjxl or a buffer of ours could not allocate (MemoryError)
    TooManyFrames,  // more displayed frames than the walk's limit
    NoSuchFrame,    // an index at or past the end; `frames` says how many there are
    FormatRefused,  // libjxl cannot deliver the asked-for output format
    BufferSize,     // the caller's frame buffer is not frame_bytes() long
    Unexpected,     // a libjxl status the driver does not expect; `status` holds it
  };
  static constexpr uint64_t kNoFrame = UINT64_MAX;

  Kind kind = Kind::Corrupt;
  uint64_t frame = kNoFrame;  // the displayed frame it arose at, or kNoFrame (header)
  uint64_t frames = 0;        // NoSuchFrame: the frame count; TooManyFrames: the limit
  int status = 0;
};

// One line, e.g. "frame 3: the file is truncated".
std::string error_text(const AnimationError& error);

// ---- Facts and frame headers, without pixels ------------------------------------

struct AnimationFacts {
  // As frames are delivered: orientation already applied.
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t num_color_channels = 0;
  bool has_alpha = false;
  uint32_t bits_per_sample = 0;
  uint32_t exponent_bits_per_sample = 0;
  // The header's animation flag, cleared for a file with JPEG reconstruction
  // data (one JPEG is one picture). The tick rate and loop count are those of
  // the header, zero when there is none; num_loops 0 means forever.
  bool is_animated = false;
  // Reconstruction data seen before the first frame. read_animation_facts
  // looks for it only when the header is animated; walk_frames always does.
  bool has_jpeg_reconstruction = false;
  uint32_t tps_numerator = 0;
  uint32_t tps_denominator = 0;
  uint32_t num_loops = 0;
};

// One displayed frame (libjxl's coalescing: the composited picture a viewer
// shows); frames of zero duration that only build up the next are not counted.
struct FrameFacts {
  uint32_t duration = 0;  // ticks (AnimationFacts::tps_*); 0 for a still image
  bool is_last = false;
  std::string name;       // UTF-8, at most 1071 bytes (the format's limit)
};

// Reads up to the basic info (and, for an animated header, on to the first
// frame header, to learn whether JPEG reconstruction data precedes it).
// `data` is read in place.
Result<AnimationFacts, AnimationError> read_animation_facts(std::span<const uint8_t> data) noexcept;

// The walk's default limit on displayed frames. A frame header with no
// pixels takes a handful of bytes, so a small hostile file can declare a
// hundred thousand frames; each costs the walk a frame record and the
// reader a composite. 65536 frames is over 18 minutes at 60 frames a second,
// more than any picture format's animation is used for; longer material
// belongs in a video file.
inline constexpr size_t kMaxFrames = size_t{1} << 16;

struct FrameWalk {
  AnimationFacts facts;
  std::vector<FrameFacts> frames;  // those whose whole data lies in the input
  // Set when the walk ended early: the input broke off or is corrupt at frame
  // `frames.size()` (frames before it are whole), or it has more frames than
  // the limit. Empty for a file whose every frame was read.
  std::optional<AnimationError> stopped;
};

// Every displayed frame's header, by walking frame headers only: libjxl
// skips each frame's data without decoding it. Fails only where no frame
// can be listed (not JPEG XL, broken before the basic info, out of memory).
Result<FrameWalk, AnimationError> walk_frames(std::span<const uint8_t> data,
                                              size_t max_frames = kMaxFrames) noexcept;

// Whether displayed frame `index` decodes in full from `data`. A walk skips
// frame data by the sizes in the frame's table of contents, so it cannot tell
// a frame that ends exactly where the input does from one cut short, nor
// (libjxl stops at the last frame's header) a last frame cut short from a
// whole one: this decodes the frame, its pixels dropped as they come.
bool frame_whole(std::span<const uint8_t> data, uint64_t index) noexcept;

// ---- One frame at a time ------------------------------------------------------

// The samples a frame is delivered as: interleaved, native byte order, rows
// packed; channels 1 to 4 (alpha second or fourth; missing alpha is opaque,
// grey is repeated for colour; colour to fewer than 3 is refused by libjxl).
struct FrameFormat {
  SampleKind kind = SampleKind::Uint8;
  uint32_t channels = 0;  // 0: the file's own (colour channels plus alpha)
  // Integers as stored (a 12-bit file gives 0..4095 in Uint16) rather than
  // spread over the kind's range; no effect on floats or at the kind's depth.
  bool stored_depth = false;

  // The file's own channels at full precision, values as stored (codec/layouts.h).
  static FrameFormat full_precision(const AnimationFacts& facts) noexcept;
};

// Decodes displayed frames one at a time, composited as a viewer shows them,
// with orientation applied. Seeking forward skips frames without handing
// them out; seeking back rewinds and skips again. After an error the next
// call starts afresh from the beginning, so frames before a broken one stay
// decodable. Holds the libjxl decoder and its thread pool; the input is
// borrowed and must stay unchanged for the decoder's life.
class FrameDecoder {
 public:
  // `runner`: the decoder's own pool, or none to decode on the calling thread.
  static Result<FrameDecoder, AnimationError> open(std::span<const uint8_t> data,
                                                   FrameFormat format,
                                                   std::optional<ThreadsRunner> runner) noexcept;

  const AnimationFacts& facts() const noexcept { return facts_; }
  FrameFormat format() const noexcept { return format_; }
  // The colour profile of the samples as delivered.
  const std::vector<uint8_t>& icc() const noexcept { return icc_; }
  // Bytes of one frame in the format: width * height * channels * sample size.
  size_t frame_bytes() const noexcept { return frame_bytes_; }
  // The frame the next decode() without seeking would hand out.
  uint64_t position() const noexcept { return next_; }

  // Decodes displayed frame `index` into `out`, which must be frame_bytes()
  // long and is written in full on success; the frame's header is returned.
  // Past the last frame: NoSuchFrame, with the frame count (at most
  // kMaxFrames). Truncated names the frame the file ends in, which may be
  // one skipped on the way; other errors name `index`.
  Result<FrameFacts, AnimationError> decode(uint64_t index, std::span<uint8_t> out) noexcept;

 private:
  FrameDecoder(JxlDecoderPtr decoder, std::span<const uint8_t> data, FrameFormat format,
               std::optional<ThreadsRunner> runner) noexcept;
  Status<AnimationError> start() noexcept;
  Status<AnimationError> restart() noexcept;

  JxlDecoderPtr decoder_;
  std::span<const uint8_t> data_;
  FrameFormat format_;
  std::optional<ThreadsRunner> runner_;
  AnimationFacts facts_;
  std::vector<uint8_t> icc_;
  size_t frame_bytes_ = 0;
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
