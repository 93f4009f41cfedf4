// The one reader of a file's facts: size and orientation, the samples of
// colour and alpha, the colour profile, animation and frames, and whether
// libjxl rebuilds a JPEG from the file. Everything that needs a fact about a
// file (the frame decoder, the array functions, the plug-in, the converter)
// takes it from here, so that they cannot disagree. Read on libjxl's own
// events, so that every answer is libjxl's; no pixel is decoded.
#pragma once

#include <jxl/color_encoding.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/layouts.h"
#include "codec/result.h"

namespace tessara {

// ---- Errors -------------------------------------------------------------------

struct AnimationError {
  enum class Kind : uint8_t {
    NotJpegXl,
    DecoderCreateFailed,
    Corrupt,         // libjxl refused the input
    Truncated,       // the input ends before the frame does
    OutOfMemory,     // libjxl or a buffer of ours could not allocate (MemoryError)
    TooManyFrames,   // more displayed frames than the walk's limit
    TooManyLayers,   // a displayed frame composites more layers than the limit
    NoSuchFrame,     // an index at or past the end; `frames` says how many there are
    FormatRefused,   // libjxl cannot deliver the asked-for output format
    BufferSize,      // the caller's frame buffer is not frame_bytes() long
    Unexpected,      // a libjxl status the driver does not expect; `status` holds it
  };
  static constexpr uint64_t kNoFrame = UINT64_MAX;

  Kind kind = Kind::Corrupt;
  uint64_t frame = kNoFrame;  // the displayed frame it arose at, or kNoFrame (header)
  // NoSuchFrame: the frame count; TooManyFrames, TooManyLayers: the limit
  uint64_t frames = 0;
  int status = 0;
};

// One line, e.g. "frame 3: the file is truncated".
std::string error_text(const AnimationError& error);

// ---- Limits -------------------------------------------------------------------

// The default limit on displayed frames. A frame header with no pixels takes
// a handful of bytes, so a small hostile file can declare a hundred thousand
// frames; each costs the walk a frame record and the reader a composite.
// 65536 frames is over 18 minutes at 60 frames a second, more than any
// picture format's animation is used for; longer material belongs in a
// video file.
inline constexpr size_t kMaxFrames = size_t{1} << 16;

// The default limit on the layers composited into one displayed frame.
// libjxl blends each layer over the whole canvas, so a layer of one pixel
// costs as much as a full one: a 157 KB file of 3000 one-pixel layers over a
// 1024 x 1024 canvas keeps libjxl busy for over a minute. Photographs and
// renders have one layer, layered artwork a few dozen, and animations
// converted from GIF or APNG one per frame (a zero delay, rare, makes two or
// three); 256 layers leaves room for all of them and bounds a frame's cost
// to 256 passes over its pixels.
inline constexpr size_t kMaxLayers = 256;

// ---- Facts --------------------------------------------------------------------

struct SampleDepth {
  uint32_t bits = 0;           // 0: the channel is absent
  uint32_t exponent_bits = 0;  // 0: unsigned integers
  bool operator==(const SampleDepth&) const = default;
};

// One displayed frame (libjxl's coalescing: the composited picture a viewer
// shows); the layers of zero duration that only build it up are counted in
// it, not as frames.
struct FrameFacts {
  uint32_t duration = 0;  // ticks (FileFacts::tps_*); 0 for a still image
  bool is_last = false;
  std::string name;  // UTF-8, at most 1071 bytes (the format's limit)
  uint32_t layers = 1;  // composited into this frame, itself included
};

struct FileFacts {
  // Size as the codestream stores it, and its Exif-style orientation (1-8),
  // which libjxl applies when it delivers pixels.
  uint32_t stored_width = 0;
  uint32_t stored_height = 0;
  uint32_t orientation = 1;

  uint32_t num_color_channels = 0;
  SampleDepth colour;
  SampleDepth alpha;  // of the first alpha channel; bits 0 without one
  uint32_t alpha_index = 0;  // that channel among the extra channels
  bool alpha_premultiplied = false;
  uint32_t num_extra_channels = 0;  // alpha included

  // Colour. The original profile is the file's own: enumerated, when libjxl
  // can express it as a colour encoding, and always as ICC (libjxl writes
  // one for an encoding). The delivered profile is the one pixels come in
  // from the decoders here: the original, converted through libjxl's CMS
  // where a lossy (XYB) file's original cannot be expressed as an encoding
  // (libjxl alone would deliver linear sRGB).
  bool xyb_encoded = false;
  std::optional<JxlColorEncoding> encoding;
  std::vector<uint8_t> original_icc;
  std::vector<uint8_t> icc;
  bool through_cms = false;

  // The header's animation; the tick rate and loop count are zero without one.
  bool have_animation = false;
  uint32_t tps_numerator = 0;
  uint32_t tps_denominator = 0;
  uint32_t num_loops = 0;  // 0: forever

  // libjxl rebuilds a JPEG from the file: its reconstruction data lies in a
  // box libjxl reaches before the first frame, to which it then belongs. A
  // box after the codestream (or after a frame) is one libjxl never uses.
  bool jpeg_reconstruction = false;

  // The displayed frames read. A walk of every frame keeps those whose data
  // lies whole in the input; a read up to the first frame keeps its header.
  std::vector<FrameFacts> frames;
  // Set when reading ended before it was done: the input broke off or is
  // corrupt at displayed frame `frames.size()` (a header read, kNoFrame), or
  // a limit was reached there.
  std::optional<AnimationError> stopped;

  // As delivered: orientation applied.
  uint32_t width() const noexcept { return orientation >= 5 ? stored_height : stored_width; }
  uint32_t height() const noexcept { return orientation >= 5 ? stored_width : stored_height; }
  bool has_alpha() const noexcept { return alpha.bits > 0; }
  uint32_t channels() const noexcept { return num_color_channels + (has_alpha() ? 1u : 0u); }
};

// The kind that holds every sample of the file's colour and of its alpha
// exactly (codec/layouts.h), in which the array functions deliver them.
SampleKind full_precision_kind(const SampleDepth& colour, const SampleDepth& alpha) noexcept;
inline SampleKind full_precision_kind(const FileFacts& facts) noexcept {
  return full_precision_kind(facts.colour, facts.alpha);
}

struct FactsScope {
  // Up to the first displayed frame's header (what opening an image needs),
  // or every frame's.
  bool all_frames = true;
  size_t max_frames = kMaxFrames;
  size_t max_layers = kMaxLayers;
};

// The facts of the file in `data`, read in place: the whole file, or a
// prefix of it (more input then finishes what `stopped` says was cut short).
// Fails only where no facts can be given: not JPEG XL, broken before the
// colour encoding, or out of memory.
Result<FileFacts, AnimationError> read_facts(std::span<const uint8_t> data,
                                             FactsScope scope = {}) noexcept;

// Whether displayed frame `index` decodes in full from `data`. A walk skips
// frame data by the sizes in the frame's table of contents, so it cannot tell
// a frame that ends exactly where the input does from one cut short, nor
// (libjxl stops at the last frame's header) a last frame cut short from a
// whole one: this decodes the frame, its pixels dropped as they come.
bool frame_whole(std::span<const uint8_t> data, uint64_t index) noexcept;

}  // namespace tessara
