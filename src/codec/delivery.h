// How a frame's samples are asked of libjxl and made what a format promises.
// The frame decoder and the progressive decoder deliver through this alike,
// so that a file gives the same samples from both.
#pragma once

#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/facts.h"
#include "codec/layouts.h"
#include "codec/result.h"

namespace tessara {

// The samples a frame is delivered as: interleaved, native byte order, rows
// packed; channels 1 to 4 (alpha second or fourth; missing alpha is opaque,
// grey is repeated for colour; colour to fewer than 3 is refused by libjxl).
struct FrameFormat {
  SampleKind kind = SampleKind::Uint8;
  uint32_t channels = 0;  // 0: the file's own (colour channels plus alpha)
  // Every sample as stored: integers as their values (a 12-bit file gives
  // 0..4095, alpha at its own depth), floats as they are, rather than each
  // channel spread over the kind's range.
  bool stored_depth = false;

  // The file's own channels in the one kind that holds them all, as stored.
  static FrameFormat full_precision(const FileFacts& facts) noexcept;
};

class SampleDelivery {
 public:
  // The samples of `format` for a file with these facts; FormatRefused for
  // a kind or channel count libjxl cannot deliver.
  static Result<SampleDelivery, AnimationError> plan(const FileFacts& facts,
                                                     FrameFormat format) noexcept;

  const FrameFormat& format() const noexcept { return format_; }
  // What libjxl writes: the format's kind, or Float where a Float16 format
  // holds integer channels as stored (scaled in 32 bits: a half's 11 bits
  // of precision would round them).
  SampleKind fetched() const noexcept { return fetched_; }
  // The depth of the integer samples libjxl writes: the colour's as stored
  // (every channel then has it), or the whole range of the fetched kind.
  uint32_t fetched_bits() const noexcept;
  size_t pixels() const noexcept { return pixels_; }
  // Of one frame: the format's samples, and libjxl's.
  size_t bytes() const noexcept;
  size_t fetched_bytes() const noexcept;

  // At JXL_DEC_NEED_IMAGE_OUT_BUFFER: libjxl writes the frame into
  // `buffer`, fetched_bytes() long. Errors name `frame`.
  Status<AnimationError> set_output(JxlDecoder* dec, std::span<uint8_t> buffer,
                                    uint64_t frame) const noexcept;
  // libjxl's samples in `fetched` (changed in place) as the format's in
  // `out`, bytes() long: the same memory unless fetched() is not the
  // format's kind.
  void finish(std::span<uint8_t> fetched, std::span<uint8_t> out) const noexcept;

 private:
  // libjxl's setting for values as stored serves every channel: it reads
  // them all at the colour's depth.
  bool one_depth() const noexcept { return !has_alpha_ || alpha_ == colour_; }
  bool codestream_depth() const noexcept;

  FrameFormat format_;
  SampleKind fetched_ = SampleKind::Uint8;
  SampleDepth colour_;
  SampleDepth alpha_;
  bool has_alpha_ = false;
  size_t pixels_ = 0;
};

}  // namespace tessara
