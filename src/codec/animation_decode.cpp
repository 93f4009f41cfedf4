// Reading animations: the frame-header walk and the frame-at-a-time decoder,
// both over libjxl's event loop with the whole file as input, so that a
// request for more input always means the file broke off.
#include <iterator>
#include <string>
#include <utility>

#include "codec/animation.h"
#include "codec/memory.h"

namespace tessara {
namespace {

using Kind = AnimationError::Kind;
using Check = Status<AnimationError>;

AnimationError error_at(Kind kind, uint64_t frame) noexcept {
  AnimationError e;
  e.kind = kind;
  e.frame = frame;
  return e;
}

// libjxl's answer at a point where only success is expected.
Check check_status(JxlDecoderStatus status, uint64_t frame) noexcept {
  if (status == JXL_DEC_SUCCESS) return {};
  if (status == JXL_DEC_ERROR) return Err{error_at(Kind::Corrupt, frame)};
  AnimationError e = error_at(Kind::Unexpected, frame);
  e.status = static_cast<int>(status);
  return Err{e};
}

// A libjxl call that may allocate: std::bad_alloc out of it is OutOfMemory.
template <typename Call>
Check check_call(Call&& call, uint64_t frame) noexcept {
  const std::optional<JxlDecoderStatus> status = allocating_call(call);
  if (!status) return Err{error_at(Kind::OutOfMemory, frame)};
  return check_status(*status, frame);
}

// JxlDecoderProcessInput with its allocation failures as a status of ours.
struct Step {
  JxlDecoderStatus status = JXL_DEC_ERROR;
  bool out_of_memory = false;
};

Step process(JxlDecoder* dec) noexcept {
  const std::optional<JxlDecoderStatus> status =
      allocating_call([&] { return JxlDecoderProcessInput(dec); });
  if (!status) return {JXL_DEC_ERROR, true};
  return {*status, false};
}

// A status that ends a frame's processing abnormally, as the error it means.
AnimationError failure(const Step& step, uint64_t frame) noexcept {
  if (step.out_of_memory) return error_at(Kind::OutOfMemory, frame);
  // The whole file is the input, so a request for more means it ended early.
  if (step.status == JXL_DEC_NEED_MORE_INPUT) return error_at(Kind::Truncated, frame);
  if (step.status == JXL_DEC_ERROR) return error_at(Kind::Corrupt, frame);
  AnimationError e = error_at(Kind::Unexpected, frame);
  e.status = static_cast<int>(step.status);
  return e;
}

Result<JxlDecoderPtr, AnimationError> make_decoder() noexcept {
  const std::optional<JxlDecoder*> created =
      allocating_call([] { return JxlDecoderCreate(nullptr); });
  if (!created) return Err{error_at(Kind::OutOfMemory, AnimationError::kNoFrame)};
  JxlDecoderPtr decoder(*created);
  if (!decoder) return Err{error_at(Kind::DecoderCreateFailed, AnimationError::kNoFrame)};
  return decoder;
}

Check set_input(JxlDecoder* dec, std::span<const uint8_t> data) noexcept {
  const JxlSignature signature = JxlSignatureCheck(data.data(), data.size());
  if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) {
    return Err{error_at(Kind::NotJpegXl, AnimationError::kNoFrame)};
  }
  // The input is left open: libjxl then asks for more where the file ends
  // early (which, with the whole file given, means it is truncated) instead
  // of reporting the same error as for corrupt data.
  return check_status(JxlDecoderSetInput(dec, data.data(), data.size()), AnimationError::kNoFrame);
}

// A decoder over data that reports the headers only: no pixel event is
// wanted, so libjxl skips every frame's data by the sizes in its table of
// contents.
Result<JxlDecoderPtr, AnimationError> header_decoder(std::span<const uint8_t> data) noexcept {
  auto decoder = make_decoder();
  if (!decoder) return Err{decoder.error()};
  JxlDecoder* dec = decoder.value().get();
  if (Check s = check_status(JxlDecoderSubscribeEvents(
                                 dec, JXL_DEC_BASIC_INFO | JXL_DEC_JPEG_RECONSTRUCTION |
                                          JXL_DEC_FRAME),
                             AnimationError::kNoFrame);
      !s) {
    return Err{s.error()};
  }
  if (Check s = set_input(dec, data); !s) return Err{s.error()};
  return decoder;
}

void take_basic_info(const JxlBasicInfo& info, AnimationFacts& facts) noexcept {
  facts.width = info.xsize;
  facts.height = info.ysize;
  facts.num_color_channels = info.num_color_channels;
  facts.has_alpha = info.alpha_bits > 0;
  facts.bits_per_sample = info.bits_per_sample;
  facts.exponent_bits_per_sample = info.exponent_bits_per_sample;
  facts.is_animated = info.have_animation != JXL_FALSE && !facts.has_jpeg_reconstruction;
  if (info.have_animation != JXL_FALSE) {
    facts.tps_numerator = info.animation.tps_numerator;
    facts.tps_denominator = info.animation.tps_denominator;
    facts.num_loops = info.animation.num_loops;
  }
}

Check on_basic_info(JxlDecoder* dec, AnimationFacts& facts) noexcept {
  JxlBasicInfo info;
  if (Check s = check_status(JxlDecoderGetBasicInfo(dec, &info), AnimationError::kNoFrame); !s) {
    return s;
  }
  take_basic_info(info, facts);
  return {};
}

// JPEG reconstruction data is one JPEG file: one picture, whatever the
// header claims.
void on_jpeg_reconstruction(AnimationFacts& facts) noexcept {
  facts.has_jpeg_reconstruction = true;
  facts.is_animated = false;
}

Result<FrameFacts, AnimationError> frame_facts(JxlDecoder* dec, uint64_t frame) noexcept {
  JxlFrameHeader header;
  if (Check s = check_status(JxlDecoderGetFrameHeader(dec, &header), frame); !s) {
    return Err{s.error()};
  }
  FrameFacts facts;
  facts.duration = header.duration;
  facts.is_last = header.is_last != JXL_FALSE;
  if (header.name_length > 0) {
    // The format caps names at 1071 bytes, so this is never a large allocation.
    if (header.name_length > 4096 || !try_resize(facts.name, size_t{header.name_length} + 1)) {
      return Err{error_at(Kind::OutOfMemory, frame)};
    }
    if (Check s = check_status(JxlDecoderGetFrameName(dec, facts.name.data(), facts.name.size()),
                               frame);
        !s) {
      return Err{s.error()};
    }
    facts.name.resize(header.name_length);
  }
  return facts;
}

void discard_pixels(void* /*opaque*/, size_t /*x*/, size_t /*y*/, size_t /*pixels*/,
                    const void* /*samples*/) noexcept {}

}  // namespace

bool frame_whole(std::span<const uint8_t> data, uint64_t index) noexcept {
  auto decoder = make_decoder();
  if (!decoder) return false;
  JxlDecoder* dec = decoder.value().get();
  if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
      !set_input(dec, data)) {
    return false;
  }
  JxlDecoderSkipFrames(dec, static_cast<size_t>(index));
  JxlBasicInfo info{};
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) return false;
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        const JxlPixelFormat format{info.num_color_channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        const std::optional<JxlDecoderStatus> set = allocating_call([&] {
          return JxlDecoderSetImageOutCallback(dec, &format, discard_pixels, nullptr);
        });
        if (set != JXL_DEC_SUCCESS) return false;
        break;
      }
      case JXL_DEC_FULL_IMAGE: return true;
      default: return false;
    }
  }
}

std::string error_text(const AnimationError& error) {
  std::string where =
      error.frame == AnimationError::kNoFrame ? "" : "frame " + std::to_string(error.frame) + ": ";
  switch (error.kind) {
    case Kind::NotJpegXl: return "not a JPEG XL file";
    case Kind::DecoderCreateFailed: return "cannot create a decoder";
    case Kind::Corrupt: return where + "the file is corrupt";
    case Kind::Truncated: return where + "the file is truncated";
    case Kind::OutOfMemory: return "out of memory";
    case Kind::TooManyFrames:
      return "more than " + std::to_string(error.frames) + " frames";
    case Kind::NoSuchFrame:
      return "no frame " + std::to_string(error.frame) + ": the file has " +
             std::to_string(error.frames) + (error.frames == 1 ? " frame" : " frames");
    case Kind::FormatRefused: return "this output format is not available for the image";
    case Kind::BufferSize: return "the frame buffer does not have the frame's size";
    case Kind::Unexpected: {
      const char* name = decoder_status_name(static_cast<JxlDecoderStatus>(error.status));
      return where + "unexpected decoder status " +
             (name != nullptr ? std::string(name) : std::to_string(error.status));
    }
  }
  return where + "the file is corrupt";
}

Result<AnimationFacts, AnimationError> read_animation_facts(
    std::span<const uint8_t> data) noexcept {
  auto decoder = header_decoder(data);
  if (!decoder) return Err{decoder.error()};
  JxlDecoder* dec = decoder.value().get();
  AnimationFacts facts;
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_BASIC_INFO: {
        if (Check s = on_basic_info(dec, facts); !s) return Err{s.error()};
        // A still header is the whole answer; an animated one is checked
        // for JPEG reconstruction data, which comes before the first frame.
        if (!facts.is_animated) return facts;
        break;
      }
      // Before or after the basic info, depending on where the box lies.
      case JXL_DEC_JPEG_RECONSTRUCTION:
        on_jpeg_reconstruction(facts);
        if (facts.width != 0) return facts;
        break;
      case JXL_DEC_FRAME: return facts;
      // Once the basic info is read, a file that breaks before its first
      // frame has said all it can say here; the frames' readers report it.
      default:
        if (facts.width != 0) return facts;
        return Err{failure(step, AnimationError::kNoFrame)};
    }
  }
}

Result<FrameWalk, AnimationError> walk_frames(std::span<const uint8_t> data,
                                              size_t max_frames) noexcept {
  auto decoder = header_decoder(data);
  if (!decoder) return Err{decoder.error()};
  JxlDecoder* dec = decoder.value().get();
  FrameWalk walk;
  // A frame counts once libjxl has moved past its data: the next frame's
  // header or the end of the file proves it whole.
  std::optional<FrameFacts> pending;
  auto settle = [&]() noexcept -> bool {
    if (!pending) return true;
    FrameFacts* slot = try_emplace_back(walk.frames);
    if (slot == nullptr) return false;
    *slot = std::move(*pending);
    pending.reset();
    return true;
  };
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_BASIC_INFO:
        if (Check s = on_basic_info(dec, walk.facts); !s) return Err{s.error()};
        break;
      case JXL_DEC_JPEG_RECONSTRUCTION: on_jpeg_reconstruction(walk.facts); break;
      case JXL_DEC_FRAME: {
        if (!settle()) return Err{error_at(Kind::OutOfMemory, AnimationError::kNoFrame)};
        const uint64_t index = walk.frames.size();
        if (index >= max_frames) {
          AnimationError e = error_at(Kind::TooManyFrames, index);
          e.frames = max_frames;
          walk.stopped = e;
          return walk;
        }
        auto facts = frame_facts(dec, index);
        if (!facts) {
          if (facts.error().kind == Kind::OutOfMemory) return Err{facts.error()};
          walk.stopped = facts.error();
          return walk;
        }
        pending = std::move(facts.value());
        break;
      }
      case JXL_DEC_SUCCESS:
        if (!settle()) return Err{error_at(Kind::OutOfMemory, AnimationError::kNoFrame)};
        return walk;
      default: {
        if (walk.facts.width == 0) return Err{failure(step, AnimationError::kNoFrame)};
        AnimationError e = failure(step, walk.frames.size());
        if (e.kind == Kind::OutOfMemory) return Err{e};
        // Cut exactly at the end of a frame: that frame is whole, the next
        // one is missing.
        if (e.kind == Kind::Truncated && pending && frame_whole(data, walk.frames.size())) {
          if (!settle()) return Err{error_at(Kind::OutOfMemory, AnimationError::kNoFrame)};
          e.frame = walk.frames.size();
        }
        walk.stopped = e;
        return walk;
      }
    }
  }
}

FrameFormat FrameFormat::full_precision(const AnimationFacts& facts) noexcept {
  return {full_precision_kind(facts.bits_per_sample, facts.exponent_bits_per_sample),
          facts.num_color_channels + (facts.has_alpha ? 1u : 0u), true};
}

FrameDecoder::FrameDecoder(JxlDecoderPtr decoder, std::span<const uint8_t> data,
                           FrameFormat format, std::optional<ThreadsRunner> runner) noexcept
    : decoder_(std::move(decoder)), data_(data), format_(format), runner_(std::move(runner)) {}

// Settings kept across rewinds (not across a reset): the pool and the events.
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
          JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                             JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE),
          none);
      !s) {
    return s;
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
    if (Check s = set_input(dec, data_); !s) return s;
  }
  needs_restart_ = false;
  failed_ = false;
  return {};
}

Result<FrameDecoder, AnimationError> FrameDecoder::open(std::span<const uint8_t> data,
                                                        FrameFormat format,
                                                        std::optional<ThreadsRunner> runner) noexcept {
  auto decoder = make_decoder();
  if (!decoder) return Err{decoder.error()};
  if (static_cast<size_t>(format.kind) >= std::size(kKindLayouts)) {
    return Err{error_at(Kind::FormatRefused, AnimationError::kNoFrame)};
  }
  FrameDecoder d(std::move(decoder.value()), data, format, std::move(runner));
  if (Check s = d.start(); !s) return Err{s.error()};
  JxlDecoder* dec = d.decoder_.get();
  const uint64_t none = AnimationError::kNoFrame;
  // Up to the colour encoding: the facts, the profile and the frame size
  // are known; the next event belongs to frame 0.
  for (;;) {
    const Step step = process(dec);
    if (step.status == JXL_DEC_BASIC_INFO) {
      if (Check s = on_basic_info(dec, d.facts_); !s) return Err{s.error()};
      if (d.runner_) {
        JxlBasicInfo info;
        if (JxlDecoderGetBasicInfo(dec, &info) == JXL_DEC_SUCCESS) d.runner_->notify_basic_info(info);
      }
      if (d.format_.channels == 0) {
        d.format_.channels = d.facts_.num_color_channels + (d.facts_.has_alpha ? 1u : 0u);
      }
      if (d.format_.channels < 1 || d.format_.channels > 4) {
        return Err{error_at(Kind::FormatRefused, none)};
      }
      const JxlPixelFormat pixel = pixel_format(d.format_.channels, d.format_.kind);
      if (JxlDecoderImageOutBufferSize(dec, &pixel, &d.frame_bytes_) != JXL_DEC_SUCCESS) {
        return Err{error_at(Kind::FormatRefused, none)};
      }
    } else if (step.status == JXL_DEC_COLOR_ENCODING) {
      size_t size = 0;
      if (Check s = check_call(
              [&] { return JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &size); },
              none);
          !s) {
        return Err{s.error()};
      }
      if (!try_resize(d.icc_, size)) return Err{error_at(Kind::OutOfMemory, none)};
      if (Check s = check_call(
              [&] {
                return JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA,
                                                      d.icc_.data(), d.icc_.size());
              },
              none);
          !s) {
        return Err{s.error()};
      }
      return d;
    } else {
      return Err{failure(step, none)};
    }
  }
}

Result<FrameFacts, AnimationError> FrameDecoder::decode(uint64_t index,
                                                        std::span<uint8_t> out) noexcept {
  if (out.size() != frame_bytes_) return Err{error_at(Kind::BufferSize, index)};
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
  std::optional<FrameFacts> facts;
  // Anything but the frame's end leaves libjxl's state unusable for the next
  // frame, so every way out below but success asks for a restart.
  needs_restart_ = true;
  for (;;) {
    const Step step = process(dec);
    switch (step.status) {
      case JXL_DEC_BASIC_INFO:
      case JXL_DEC_COLOR_ENCODING: break;  // again after a rewind; unchanged
      case JXL_DEC_FRAME: {
        auto header = frame_facts(dec, index);
        if (!header) {
          failed_ = true;
          return Err{header.error()};
        }
        facts = std::move(header.value());
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        const JxlPixelFormat pixel = pixel_format(format_.channels, format_.kind);
        if (Check s = check_call(
                [&] { return JxlDecoderSetImageOutBuffer(dec, &pixel, out.data(), out.size()); },
                index);
            !s) {
          failed_ = true;
          return Err{s.error()};
        }
        // At the kind's own depth the setting changes nothing, and libjxl's
        // usual path is kept.
        const KindLayout& layout = layout_of(format_.kind);
        if (format_.stored_depth && layout.exponent_bits == 0 &&
            facts_.bits_per_sample != layout.size * 8) {
          const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
          if (Check s = check_status(JxlDecoderSetImageOutBitDepth(dec, &depth), index); !s) {
            failed_ = true;
            return Err{s.error()};
          }
        }
        break;
      }
      case JXL_DEC_FULL_IMAGE:
        if (!facts) {
          failed_ = true;
          return Err{failure(step, index)};
        }
        next_ = index + 1;
        needs_restart_ = false;
        return std::move(*facts);
      case JXL_DEC_SUCCESS: {
        // The frames ran out before `index`. libjxl does not say how many it
        // skipped, so they are counted by a walk of the headers.
        AnimationError e = error_at(Kind::NoSuchFrame, index);
        auto walk = walk_frames(data_);
        if (walk) e.frames = walk.value().frames.size();
        return Err{e};
      }
      default: {
        failed_ = true;
        AnimationError e = failure(step, index);
        // The file may have ended in a frame that was skipped on the way:
        // the walk of the headers says which.
        if (e.kind == Kind::Truncated) {
          auto walk = walk_frames(data_);
          if (walk && walk.value().stopped && walk.value().stopped->frame < index) {
            e.frame = walk.value().stopped->frame;
          }
        }
        return Err{e};
      }
    }
  }
}

}  // namespace tessara
