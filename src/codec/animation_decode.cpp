// Reading frames: the frame-at-a-time decoder over libjxl's event loop with
// the whole file as input, on the facts the fact reader gives.
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "codec/animation.h"
#include "codec/decode_steps.h"
#include "codec/memory.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using namespace steps;  // NOLINT(google-build-using-namespace)

// libjxl hands integers out over the whole range of an integer type, or
// over 0..1 as floats, by default; the largest value each channel stores
// brings them back (0 for a float channel, which needs nothing).
uint32_t largest_value(const SampleDepth& depth) noexcept {
  if (depth.exponent_bits != 0 || depth.bits == 0 || depth.bits > 32) return 0;
  return static_cast<uint32_t>((uint64_t{1} << depth.bits) - 1);
}

// Whether libjxl's own setting for values as stored serves every channel:
// it reads them all at the colour's depth.
bool one_depth(const FileFacts& facts) noexcept {
  return !facts.has_alpha() || facts.alpha == facts.colour;
}

// A frame's header for the caller; its name is copied without a throw.
Result<FrameFacts, AnimationError> copy_of(const FrameFacts& frame, uint64_t index) noexcept {
  FrameFacts copy;
  copy.duration = frame.duration;
  copy.is_last = frame.is_last;
  copy.layers = frame.layers;
  if (!try_resize(copy.name, frame.name.size())) return Err{error_at(Kind::OutOfMemory, index)};
  std::copy(frame.name.begin(), frame.name.end(), copy.name.begin());
  return copy;
}

}  // namespace

FrameFormat FrameFormat::full_precision(const FileFacts& facts) noexcept {
  return {full_precision_kind(facts), facts.channels(), true};
}

FrameDecoder::FrameDecoder(JxlDecoderPtr decoder, std::span<const uint8_t> data, FileFacts facts,
                           FrameFormat format, std::optional<ThreadsRunner> runner) noexcept
    : decoder_(std::move(decoder)),
      data_(data),
      facts_(std::move(facts)),
      format_(format),
      runner_(std::move(runner)) {}

// Settings kept across rewinds (not across a reset): the pool and the events.
// The colour management is not: a rewind drops it with the headers.
Status<AnimationError> FrameDecoder::start() noexcept {
  JxlDecoder* dec = decoder_.get();
  const uint64_t none = AnimationError::kNoFrame;
  if (runner_) {
    if (Check s = check_status(
            JxlDecoderSetParallelRunner(dec, runner_->runner_function(), runner_->opaque()), none);
        !s) {
      return s;
    }
  }
  if (Check s = check_status(
          JxlDecoderSubscribeEvents(dec, JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE),
          none);
      !s) {
    return s;
  }
  if (facts_.through_cms) {
    if (Check s = use_cms(dec); !s) return s;
  }
  return set_input(dec, data_);
}

// Back to the start of the file: a rewind keeps what libjxl learnt about the
// frames (which makes skipping cheaper); after an error, a full reset.
Status<AnimationError> FrameDecoder::restart() noexcept {
  JxlDecoder* dec = decoder_.get();
  next_ = 0;
  if (failed_) {
    JxlDecoderReset(dec);
    if (Check s = start(); !s) return s;
  } else {
    JxlDecoderRewind(dec);
    if (facts_.through_cms) {
      if (Check s = use_cms(dec); !s) return s;
    }
    if (Check s = set_input(dec, data_); !s) return s;
  }
  needs_restart_ = false;
  failed_ = false;
  return {};
}

Result<FrameDecoder, AnimationError> FrameDecoder::open(std::span<const uint8_t> data,
                                                        std::optional<FrameFormat> format,
                                                        std::optional<ThreadsRunner> runner) noexcept {
  const uint64_t none = AnimationError::kNoFrame;
  if (format && static_cast<size_t>(format->kind) >= std::size(kKindLayouts)) {
    return Err{error_at(Kind::FormatRefused, none)};
  }
  auto facts = read_facts(data);
  if (!facts) return Err{facts.error()};
  auto decoder = make_decoder();
  if (!decoder) return Err{decoder.error()};
  FrameFormat chosen = format ? *format : FrameFormat::full_precision(facts.value());
  if (chosen.channels == 0) chosen.channels = facts.value().channels();
  // libjxl delivers colour in three channels or four, never fewer.
  const uint32_t fewest = facts.value().num_color_channels == 1 ? 1 : 3;
  if (chosen.channels < fewest || chosen.channels > 4 ||
      (chosen.stored_depth && chosen.channels != facts.value().channels())) {
    return Err{error_at(Kind::FormatRefused, none)};
  }
  FrameDecoder d(std::move(decoder.value()), data, std::move(facts.value()), chosen,
                 std::move(runner));
  // Integers as stored in a half float are scaled in 32 bits: a half's
  // 11 bits of precision would round them.
  d.fetched_ = chosen.kind;
  if (chosen.stored_depth && chosen.kind == SampleKind::Float16 &&
      (largest_value(d.facts_.colour) != 0 || largest_value(d.facts_.alpha) != 0)) {
    d.fetched_ = SampleKind::Float;
  }
  // Sizes as delivered (at most 2^30 a side): no product overflows 64 bits.
  const uint64_t bytes = uint64_t{d.facts_.width()} * d.facts_.height() * chosen.channels *
                         layout_of(chosen.kind).size;
  if (bytes > SIZE_MAX) return Err{error_at(Kind::OutOfMemory, none)};
  d.frame_bytes_ = static_cast<size_t>(bytes);
  if (Check s = d.start(); !s) return Err{s.error()};
  return d;
}

// Where libjxl writes the frame: `out`, or the scratch buffer the samples
// are narrowed from; and at which depth.
Status<AnimationError> FrameDecoder::set_output(std::span<uint8_t> out, uint64_t index) noexcept {
  JxlDecoder* dec = decoder_.get();
  const JxlPixelFormat pixel = pixel_format(format_.channels, fetched_);
  std::span<uint8_t> target = out;
  if (fetched_ != format_.kind) {
    if (!try_resize(scratch_, out.size() / layout_of(format_.kind).size)) {
      return Err{error_at(Kind::OutOfMemory, index)};
    }
    target = {reinterpret_cast<uint8_t*>(scratch_.data()), scratch_.size() * sizeof(float)};
  }
  if (Check s = check_call(
          [&] { return JxlDecoderSetImageOutBuffer(dec, &pixel, target.data(), target.size()); },
          index);
      !s) {
    return s;
  }
  // libjxl's values as stored take the colour's depth for every channel; at
  // the kind's own depth the setting changes nothing, and libjxl's usual
  // path is kept.
  const KindLayout& layout = layout_of(fetched_);
  if (format_.stored_depth && layout.exponent_bits == 0 && one_depth(facts_) &&
      facts_.colour.bits != layout.size * 8) {
    const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
    return check_status(JxlDecoderSetImageOutBitDepth(dec, &depth), index);
  }
  return {};
}

// Samples as stored where libjxl could not deliver them so: each channel at
// its own depth, then narrowed into half floats if fetched as floats.
void FrameDecoder::finish_samples(std::span<uint8_t> out) noexcept {
  if (!format_.stored_depth) return;
  const size_t stride = format_.channels;
  const uint32_t colour_max = largest_value(facts_.colour);
  const uint32_t alpha_max = facts_.has_alpha() ? largest_value(facts_.alpha) : colour_max;
  const KindLayout& layout = layout_of(fetched_);
  for (size_t c = 0; c < stride; ++c) {
    const bool alpha = facts_.has_alpha() && c + 1 == stride;
    const uint32_t to_max = alpha ? alpha_max : colour_max;
    if (layout.exponent_bits != 0) {
      if (to_max == 0) continue;
      std::span<float> floats = fetched_ == format_.kind
                                    ? std::span<float>{reinterpret_cast<float*>(out.data()),
                                                       out.size() / sizeof(float)}
                                    : std::span<float>{scratch_};
      scale_and_round(floats, stride, c, static_cast<float>(to_max));
    } else if (!one_depth(facts_)) {
      const uint32_t from_max = layout.size == 1 ? 0xffu : 0xffffu;
      if (to_max == from_max) continue;
      if (layout.size == 1) {
        rescale_integers(out, stride, c, from_max, to_max);
      } else {
        rescale_integers({reinterpret_cast<uint16_t*>(out.data()), out.size() / 2}, stride, c,
                         from_max, to_max);
      }
    }
  }
  if (fetched_ != format_.kind) {
    narrow_to_halves(scratch_, {reinterpret_cast<uint16_t*>(out.data()), out.size() / 2});
  }
}

Result<FrameFacts, AnimationError> FrameDecoder::decode(uint64_t index,
                                                        std::span<uint8_t> out) noexcept {
  if (out.size() != frame_bytes_) return Err{error_at(Kind::BufferSize, index)};
  // Only frames the walk found whole are decoded: where it stopped, the
  // reason it stopped is the answer, and nothing is spent on the frame.
  const std::vector<FrameFacts>& frames = facts_.frames;
  if (index >= frames.size()) {
    if (facts_.stopped && index >= facts_.stopped->frame) return Err{*facts_.stopped};
    AnimationError e = error_at(Kind::NoSuchFrame, index);
    e.frames = frames.size();
    return Err{e};
  }
  if (needs_restart_ || index < next_) {
    if (Check s = restart(); !s) {
      failed_ = true;
      needs_restart_ = true;
      return Err{s.error()};
    }
  }
  JxlDecoder* dec = decoder_.get();
  // Frames before `index` are passed over without pixels; libjxl still
  // composites those that later frames are drawn on.
  if (index > next_) JxlDecoderSkipFrames(dec, static_cast<size_t>(index - next_));
  bool frame_seen = false;
  // Anything but the frame's end leaves libjxl's state unusable for the next
  // frame, so every way out below but success asks for a restart.
  needs_restart_ = true;
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_COLOR_ENCODING:
        // Again after a rewind, when the profile must be asked for again.
        if (facts_.through_cms) {
          if (Check s = deliver_in(dec, facts_.original_icc); !s) {
            failed_ = true;
            return Err{error_at(s.error().kind, index)};
          }
        }
        break;
      case JXL_DEC_FRAME: frame_seen = true; break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        if (Check s = set_output(out, index); !s) {
          failed_ = true;
          return Err{s.error()};
        }
        break;
      case JXL_DEC_FULL_IMAGE:
        if (!frame_seen) {
          failed_ = true;
          return Err{failure(step, index)};
        }
        finish_samples(out);
        next_ = index + 1;
        needs_restart_ = false;
        return copy_of(frames[index], index);
      default:
        failed_ = true;
        // The walk found the frames up to `index` whole: libjxl running out
        // of frames or of input here means it reads the file differently now.
        if (step.status == JXL_DEC_SUCCESS) return Err{error_at(Kind::Corrupt, index)};
        return Err{failure(step, index)};
    }
  }
}

}  // namespace tessara
