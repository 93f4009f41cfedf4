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

FrameDecoder::FrameDecoder(JxlDecoderPtr decoder, std::span<const uint8_t> data, FileFacts facts,
                           SampleDelivery delivery, std::optional<ThreadsRunner> runner) noexcept
    : decoder_(std::move(decoder)),
      data_(data),
      facts_(std::move(facts)),
      delivery_(delivery),
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
  if (format && static_cast<size_t>(format->kind) >= std::size(kKindLayouts)) {
    return Err{error_at(Kind::FormatRefused, AnimationError::kNoFrame)};
  }
  auto facts = read_facts(data);
  if (!facts) return Err{facts.error()};
  const FrameFormat chosen = format ? *format : FrameFormat::full_precision(facts.value());
  // Samples as stored come in the file's own channels only.
  if (chosen.stored_depth && chosen.channels != 0 &&
      chosen.channels != facts.value().channels()) {
    return Err{error_at(Kind::FormatRefused, AnimationError::kNoFrame)};
  }
  auto delivery = SampleDelivery::plan(facts.value(), chosen);
  if (!delivery) return Err{delivery.error()};
  auto decoder = make_decoder();
  if (!decoder) return Err{decoder.error()};
  FrameDecoder d(std::move(decoder.value()), data, std::move(facts.value()), delivery.value(),
                 std::move(runner));
  if (Check s = d.start(); !s) return Err{s.error()};
  return d;
}

std::span<uint8_t> FrameDecoder::fetch_buffer(std::span<uint8_t> out) noexcept {
  if (delivery_.fetched() == delivery_.format().kind) return out;
  return {reinterpret_cast<uint8_t*>(scratch_.data()), scratch_.size() * sizeof(float)};
}

Result<FrameFacts, AnimationError> FrameDecoder::decode(uint64_t index,
                                                        std::span<uint8_t> out) noexcept {
  if (out.size() != delivery_.bytes()) return Err{error_at(Kind::BufferSize, index)};
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
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        if (delivery_.fetched() != delivery_.format().kind &&
            !try_resize(scratch_, delivery_.fetched_bytes() / sizeof(float))) {
          failed_ = true;
          return Err{error_at(Kind::OutOfMemory, index)};
        }
        if (Check s = delivery_.set_output(dec, fetch_buffer(out), index); !s) {
          failed_ = true;
          return Err{s.error()};
        }
        break;
      }
      case JXL_DEC_FULL_IMAGE:
        if (!frame_seen) {
          failed_ = true;
          return Err{failure(step, index)};
        }
        delivery_.finish(fetch_buffer(out), out);
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
