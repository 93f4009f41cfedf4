// Progressive decoding without Python: a still image (or one displayed frame
// of an animation) from bytes as they arrive, at the file's own precision, and
// the picture they hold at each stage (the 1:8 preview, later passes, the
// whole image), rendered only when it is asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include "codec/layouts.h"
#include "codec/result.h"
#include "codec/runner.h"

namespace tessara {

// How far the bytes so far take the picture, as libjxl reports it: nothing
// yet, the 1:8 preview (every DC group), a later pass of the detail, or the
// whole image. libjxl reports the two middle stages only for lossy (VarDCT)
// images without alpha or other extra channels that span more than one
// group; others go from None to Complete.
enum class Stage : uint8_t { None, Preview, Pass, Complete };

const char* stage_name(Stage stage) noexcept;

struct ProgressiveError {
  enum class Kind : uint8_t {
    NotJpegXl,            // the first bytes are no JPEG XL signature
    DecoderCreateFailed,
    Corrupt,              // libjxl refused the bytes
    OutOfMemory,          // libjxl or a buffer of ours could not allocate (MemoryError)
    TooLarge,             // more pixels than the decoder's limit
    NoImageYet,           // a picture was asked for before the image header arrived
    Unexpected,           // a libjxl status the decoder does not expect; `status` holds it
  };
  Kind kind = Kind::Corrupt;
  int status = 0;
};

// One line, e.g. "libjxl refused the bytes: the file is corrupt".
std::string error_text(const ProgressiveError& error);

// What the image header says, as the samples are delivered (orientation
// applied), and the samples' layout: interleaved colour then alpha, rows
// packed, native byte order, at full precision (codec/layouts.h). Integers
// up to 24 bits (held as Uint8/Uint16) are as stored, a 12-bit file giving
// 0..4095; Float samples of an integer file are libjxl's 0..1. An 8-bit
// image of more than one channel is decoded four bytes a pixel, as Pillow
// keeps "LA", "RGB" and "RGBA" (grey repeated, missing alpha opaque), so
// that its whole picture is handed to Pillow without a copy.
struct ProgressiveFacts {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t colour_channels = 0;
  bool has_alpha = false;
  uint32_t bits_per_sample = 0;
  uint32_t exponent_bits_per_sample = 0;
  uint32_t orientation = 1;  // the file's own (1-8); the samples are upright
  bool is_animated = false;
  SampleKind kind = SampleKind::Uint8;
  uint32_t channels = 0;          // colour and alpha
  uint32_t samples_channels = 0;  // as decoded: `channels`, or 4 (above)
  size_t frame_bytes = 0;         // of samples as decoded
};

// What render() drew: the stage it shows, and whether libjxl drew any pixel
// (false: the samples are all zero, as nothing has been rendered yet).
struct Rendered {
  Stage stage = Stage::None;
  bool drawn = false;
};

// Decodes bytes fed in pieces of any size. Bytes libjxl has not consumed are
// kept (copied) until the next feed; the rest is read in place during the
// call only. Memory follows a whole decode: libjxl's state and one buffer
// of the image's samples, allocated (zeroed) once the frame starts; libjxl's
// state is freed once the image is complete. Not thread-safe.
class ProgressiveDecoder {
 public:
  // `max_pixels` (0: none) bounds width x height before any pixel memory is
  // asked for; `runner`: the decoder's own pool, or none for the calling
  // thread; `frame`: the displayed frame decoded (those before it are
  // skipped, composited where later ones need them).
  static Result<ProgressiveDecoder, ProgressiveError> create(
      uint64_t max_pixels, std::optional<ThreadsRunner> runner, uint64_t frame = 0) noexcept;

  // Decodes as far as the bytes so far go. After an error every later call
  // returns it again; after the image is complete more bytes are ignored.
  Status<ProgressiveError> feed(std::span<const uint8_t> data) noexcept;

  Stage stage() const noexcept { return stage_; }
  // Known once the image header has arrived.
  const std::optional<ProgressiveFacts>& facts() const noexcept { return facts_; }
  // The colour profile of the samples as delivered; empty until known.
  const std::vector<uint8_t>& icc() const noexcept { return icc_; }
  uint64_t bytes_fed() const noexcept { return fed_; }

  // Brings samples() up to the best picture the bytes so far hold. With
  // `any_picture` unset a picture is drawn from the first stage on only
  // (before it: {None, false}, nothing done); with it, what libjxl can draw
  // of fewer bytes too (a lossless image's groups that arrived), else the
  // zeros the buffer started as. Drawing is done once per state: asked
  // again before more bytes, it costs nothing. NoImageYet before the image
  // header with `any_picture`.
  Result<Rendered, ProgressiveError> render(bool any_picture) noexcept;
  // The samples as last rendered, facts()->frame_bytes long; empty before
  // the frame starts (then they would be all zero), and once taken.
  std::span<const uint8_t> samples() const noexcept {
    return {samples_.get(), samples_ ? facts_->frame_bytes : 0};
  }
  // The samples of the complete image, handed over (nothing before).
  std::unique_ptr<uint8_t[]> take_samples() noexcept {
    return stage_ == Stage::Complete ? std::move(samples_) : nullptr;
  }

 private:
  ProgressiveDecoder(JxlDecoderPtr decoder, uint64_t max_pixels,
                     std::optional<ThreadsRunner> runner) noexcept;
  Status<ProgressiveError> start(uint64_t frame) noexcept;
  Status<ProgressiveError> run(std::span<const uint8_t> input) noexcept;
  Status<ProgressiveError> on_basic_info() noexcept;
  Status<ProgressiveError> on_color_encoding() noexcept;
  Status<ProgressiveError> on_image_out_buffer() noexcept;
  void on_progression() noexcept;
  void finish() noexcept;
  Status<ProgressiveError> fail(ProgressiveError error) noexcept;

  // The pool outlives the decoder that runs on it (members go in reverse).
  std::optional<ThreadsRunner> runner_;
  JxlDecoderPtr decoder_;  // null once the image is complete or has failed
  uint64_t max_pixels_ = 0;
  std::vector<uint8_t> unconsumed_;  // bytes libjxl has yet to consume
  uint64_t fed_ = 0;
  bool signature_checked_ = false;
  std::optional<ProgressiveFacts> facts_;
  std::vector<uint8_t> icc_;
  std::unique_ptr<uint8_t[]> samples_;
  Stage stage_ = Stage::None;
  // Set while samples() show the state libjxl is in: cleared by progress.
  std::optional<Rendered> rendered_;
  std::optional<ProgressiveError> failed_;
};

// ---- The samples as handed out ----------------------------------------------

// The samples of the arrays functions, `channels` a pixel: as decoded, but
// integers above 16 bits (decoded as Float) back to the values stored.
// `out` is frame_bytes / samples_channels * channels long.
void to_array_samples(const ProgressiveFacts& facts, std::span<const uint8_t> in,
                      std::span<uint8_t> out) noexcept;

// The layout Pillow keeps an image of the plug-in's mode in, as the plug-in
// loads the file: grey without alpha keeps its precision ("L" bytes, "I;16"
// spread over 16 bits, "F" floats); everything else is four bytes a pixel
// at 8 bits (grey repeated, missing alpha opaque; "LA", "RGB", "RGBA"),
// 16-bit samples by their high byte, floats times 255, clamped, truncated.
struct PillowLayout {
  SampleKind kind = SampleKind::Uint8;
  uint32_t channels = 1;
  size_t bytes = 0;
};
PillowLayout pillow_layout(const ProgressiveFacts& facts) noexcept;
// Whether the samples as decoded are in that layout already.
bool decoded_for_pillow(const ProgressiveFacts& facts) noexcept;
// Converts samples into `out`, pillow_layout(facts).bytes long.
void to_pillow_samples(const ProgressiveFacts& facts, std::span<const uint8_t> in,
                       std::span<uint8_t> out) noexcept;

}  // namespace tessara
