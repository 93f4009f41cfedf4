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

#include "codec/delivery.h"
#include "codec/facts.h"
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
    TooManyLayers,        // the frame composites more layers than the fact reader's limit
    NoImageYet,           // a picture was asked for before the image header arrived
    BadFormat,            // a format libjxl cannot deliver, or samples the decoder has not
    Unexpected,           // a libjxl status the decoder does not expect; `status` holds it
  };
  Kind kind = Kind::Corrupt;
  int status = 0;
};

// One line, e.g. "libjxl refused the bytes: the file is corrupt".
std::string error_text(const ProgressiveError& error);

// What render() drew: the stage it shows, and whether libjxl drew any pixel
// (false: the samples are all zero, as nothing has been rendered yet).
struct Rendered {
  Stage stage = Stage::None;
  bool drawn = false;
};

// What the samples are for: Pillow's picture and the array functions'
// samples, or Pillow's picture only.
//
// Without a format the decoder delivers as the array functions do
// (FrameFormat::full_precision: every channel as stored, in the one kind
// that holds them all), except that an 8-bit image of more than one
// channel is decoded four bytes a pixel, as Pillow keeps "LA", "RGB" and
// "RGBA" (grey repeated, missing alpha opaque), so that its whole picture is
// handed to Pillow without a copy. The Pillow picture is drawn from those
// samples as the module hands samples out (codec/pixels.h), and where the
// module would take 8-bit alpha from libjxl but the samples hold it deeper,
// libjxl writes that alpha at 8 bits beside them.
//
// With a format (the kind and 1 or 4 channels libjxl is asked for, at its
// whole range: what the plug-in's load asks libjxl for), Pillow's picture
// is libjxl's samples of it as the module hands them out.

// Decodes bytes fed in pieces of any size. Bytes libjxl has not consumed are
// kept (copied) until the next feed, and so are the bytes up to the frame's
// header until the file's facts are read from them (codec/facts.h); the
// rest is read in place during the call only. A frame of more layers than
// the fact reader allows (kMaxLayers) is refused before libjxl composites
// many more of them. Memory follows a whole
// decode: libjxl's state and one buffer of the image's samples, allocated
// (zeroed) once the frame starts; libjxl's state is freed once the image
// is complete. Not thread-safe.
class ProgressiveDecoder {
 public:
  // `max_pixels` (0: none) bounds width x height before any pixel memory is
  // asked for; `runner`: the decoder's own pool, or none for the calling
  // thread; `frame`: the displayed frame decoded (those before it are
  // skipped, composited where later ones need them); `pillow`: the format
  // of a decoder for Pillow's picture only (above).
  static Result<ProgressiveDecoder, ProgressiveError> create(
      uint64_t max_pixels, std::optional<ThreadsRunner> runner, uint64_t frame = 0,
      std::optional<FrameFormat> pillow = std::nullopt) noexcept;

  // Decodes as far as the bytes so far go. After an error every later call
  // returns it again; after the image is complete more bytes are ignored.
  Status<ProgressiveError> feed(std::span<const uint8_t> data) noexcept;

  Stage stage() const noexcept { return stage_; }
  // The file's facts, from the one reader of them, once the colour profile
  // has arrived; the samples are in the profile they name (FileFacts::icc).
  const std::optional<FileFacts>& facts() const noexcept { return facts_; }
  uint64_t bytes_fed() const noexcept { return fed_; }

  // Brings samples() up to the best picture the bytes so far hold. With
  // `any_picture` unset a picture is drawn from the first stage on only
  // (before it: {None, false}, nothing done); with it, what libjxl can draw
  // of fewer bytes too (a lossless image's groups that arrived), else the
  // zeros the buffer started as. Drawing is done once per state: asked
  // again before more bytes, it costs nothing. NoImageYet before the facts
  // with `any_picture`.
  Result<Rendered, ProgressiveError> render(bool any_picture) noexcept;
  // The samples as last rendered, as libjxl wrote them; empty before the
  // frame starts (then they would be all zero), and once taken.
  std::span<const uint8_t> samples() const noexcept {
    return {samples_.get(), samples_ ? decoded_.fetched_bytes() : 0};
  }
  // The samples of the complete image, handed over (nothing before).
  std::unique_ptr<uint8_t[]> take_samples() noexcept {
    return stage_ == Stage::Complete ? std::move(samples_) : nullptr;
  }

  // Once the facts are in. The array functions' samples of the picture in
  // `decoded` (samples(), or those taken), into `out`, array_bytes() long;
  // BadFormat for a decoder for Pillow's picture only.
  size_t array_bytes() const noexcept { return array_.bytes(); }
  Status<ProgressiveError> array_samples(std::span<const uint8_t> decoded,
                                         std::span<uint8_t> out) const noexcept;
  // Pillow's picture: 1 sample a pixel for grey without alpha (8 or 16 bits
  // or float, as the module keeps grey), else 4 bytes.
  struct PillowLayout {
    SampleKind kind = SampleKind::Uint8;
    uint32_t channels = 1;
    size_t bytes = 0;
  };
  PillowLayout pillow_layout() const noexcept;
  // Whether samples() are Pillow's picture as they are.
  bool decoded_for_pillow() const noexcept;
  // Pillow's picture of `decoded` into `out`, pillow_layout().bytes long.
  void pillow_samples(std::span<const uint8_t> decoded, std::span<uint8_t> out) const noexcept;

 private:
  ProgressiveDecoder(JxlDecoderPtr decoder, uint64_t max_pixels,
                     std::optional<ThreadsRunner> runner, uint64_t frame,
                     std::optional<FrameFormat> pillow) noexcept;
  Status<ProgressiveError> start() noexcept;
  Status<ProgressiveError> keep_head(std::span<const uint8_t> data) noexcept;
  Status<ProgressiveError> count_layers(bool now) noexcept;
  Status<ProgressiveError> layers_read(const FileFacts& facts) noexcept;
  Status<ProgressiveError> run(std::span<const uint8_t> input) noexcept;
  Status<ProgressiveError> on_color_encoding() noexcept;
  Status<ProgressiveError> on_image_out_buffer() noexcept;
  void on_progression() noexcept;
  void finish() noexcept;
  Status<ProgressiveError> fail(ProgressiveError error) noexcept;
  // Whether libjxl writes an 8-bit alpha of its own for Pillow's picture.
  bool alpha_apart() const noexcept;

  // The pool outlives the decoder that runs on it (members go in reverse).
  std::optional<ThreadsRunner> runner_;
  JxlDecoderPtr decoder_;  // null once the image is complete or has failed
  uint64_t max_pixels_ = 0;
  uint64_t frame_ = 0;
  std::optional<FrameFormat> pillow_;
  std::vector<uint8_t> unconsumed_;  // bytes libjxl has yet to consume
  // Every byte fed until the facts are read up to the frame's header (beyond
  // the first piece, which is read in place while it is fed), where they
  // are during a feed, and how many of them the reader last read.
  std::vector<uint8_t> head_;
  std::span<const uint8_t> head_view_;
  size_t head_read_ = 0;
  bool layers_known_ = false;
  uint64_t fed_ = 0;
  bool signature_checked_ = false;
  std::optional<FileFacts> facts_;
  SampleDelivery decoded_;  // as libjxl writes samples_
  SampleDelivery array_;    // the array functions' samples
  std::unique_ptr<uint8_t[]> samples_;
  std::unique_ptr<uint8_t[]> alpha8_;  // see alpha_apart()
  Stage stage_ = Stage::None;
  // Set while samples() show the state libjxl is in: cleared by progress.
  std::optional<Rendered> rendered_;
  std::optional<ProgressiveError> failed_;
};

}  // namespace tessara
