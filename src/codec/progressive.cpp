// The progressive decoder over libjxl's event loop with the input left open:
// a request for more input is where the bytes so far end, not an error.
#include "codec/progressive.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "codec/decode_steps.h"
#include "codec/facts.h"
#include "codec/memory.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using Kind = ProgressiveError::Kind;
using Check = Status<ProgressiveError>;

ProgressiveError error_of(Kind kind, int status = 0) noexcept { return {kind, status}; }

Check check_status(JxlDecoderStatus status) noexcept {
  if (status == JXL_DEC_SUCCESS) return {};
  if (status == JXL_DEC_ERROR) return Err{error_of(Kind::Corrupt)};
  return Err{error_of(Kind::Unexpected, static_cast<int>(status))};
}

// A libjxl call that may allocate: std::bad_alloc out of it is OutOfMemory.
template <typename Call>
Check check_call(Call&& call) noexcept {
  const std::optional<JxlDecoderStatus> status = allocating_call(call);
  if (!status) return Err{error_of(Kind::OutOfMemory)};
  return check_status(*status);
}

uint32_t integer_top(uint32_t bits) noexcept {
  return bits >= 32 ? UINT32_MAX : (uint32_t{1} << bits) - 1;
}

// The reader's and the sample delivery's errors, as the decoder's own.
ProgressiveError from_reader(const AnimationError& error) noexcept {
  using A = AnimationError::Kind;
  switch (error.kind) {
    case A::NotJpegXl: return error_of(Kind::NotJpegXl);
    case A::DecoderCreateFailed: return error_of(Kind::DecoderCreateFailed);
    case A::Corrupt: return error_of(Kind::Corrupt);
    case A::OutOfMemory: return error_of(Kind::OutOfMemory);
    case A::FormatRefused: return error_of(Kind::BadFormat);
    case A::Unexpected: return error_of(Kind::Unexpected, error.status);
    default: break;
  }
  // The reader read no further than this decoder had: anything else means
  // the two read the bytes differently.
  return error_of(Kind::Unexpected, JXL_DEC_COLOR_ENCODING);
}

}  // namespace

const char* stage_name(Stage stage) noexcept {
  switch (stage) {
    case Stage::None: return "none";
    case Stage::Preview: return "preview";
    case Stage::Pass: return "pass";
    case Stage::Complete: return "complete";
  }
  return "none";
}

std::string error_text(const ProgressiveError& error) {
  switch (error.kind) {
    case Kind::NotJpegXl: return "not a JPEG XL file: no codestream or container signature";
    case Kind::DecoderCreateFailed: return "libjxl cannot create a decoder";
    case Kind::Corrupt: return "libjxl cannot decode the file: it is corrupt";
    case Kind::OutOfMemory: return "out of memory";
    case Kind::TooLarge: return "the image has more pixels than the limit";
    case Kind::TooManyLayers:
      return "more than " + std::to_string(kMaxLayers) + " layers to composite into one frame";
    case Kind::NoImageYet: return "the bytes so far end before the image header";
    case Kind::BadFormat: return "this output format is not available for the image";
    case Kind::Unexpected: {
      const char* name = decoder_status_name(static_cast<JxlDecoderStatus>(error.status));
      return std::string("libjxl answered with an unexpected status: ") +
             (name != nullptr ? name : std::to_string(error.status));
    }
  }
  return "libjxl cannot decode the file: it is corrupt";
}

ProgressiveDecoder::ProgressiveDecoder(JxlDecoderPtr decoder, uint64_t max_pixels,
                                       std::optional<ThreadsRunner> runner, uint64_t frame,
                                       std::optional<FrameFormat> pillow) noexcept
    : runner_(std::move(runner)),
      decoder_(std::move(decoder)),
      max_pixels_(max_pixels),
      frame_(frame),
      pillow_(pillow) {}

Result<ProgressiveDecoder, ProgressiveError> ProgressiveDecoder::create(
    uint64_t max_pixels, std::optional<ThreadsRunner> runner, uint64_t frame,
    std::optional<FrameFormat> pillow) noexcept {
  // Pillow's picture is grey alone, or four samples a pixel, at libjxl's range.
  if (pillow && (pillow->stored_depth || (pillow->channels != 1 && pillow->channels != 4) ||
                 static_cast<size_t>(pillow->kind) >= std::size(kKindLayouts))) {
    return Err{error_of(Kind::BadFormat)};
  }
  auto decoder = steps::make_decoder();
  if (!decoder) return Err{from_reader(decoder.error())};
  ProgressiveDecoder d(std::move(decoder.value()), max_pixels, std::move(runner), frame, pillow);
  if (Check s = d.start(); !s) return Err{s.error()};
  return d;
}

Check ProgressiveDecoder::start() noexcept {
  JxlDecoder* dec = decoder_.get();
  if (runner_) {
    if (Check s = check_status(
            JxlDecoderSetParallelRunner(dec, runner_->runner_function(), runner_->opaque()));
        !s) {
      return s;
    }
  }
  const int events = JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME_PROGRESSION | JXL_DEC_FULL_IMAGE;
  if (Check s = check_status(JxlDecoderSubscribeEvents(dec, events)); !s) return s;
  // Whether the pixels must come through libjxl's colour management is
  // known once the colour profile is read, too late to set it up then.
  if (auto s = steps::use_cms(dec); !s) return Err{from_reader(s.error())};
  if (frame_ > 0) JxlDecoderSkipFrames(dec, static_cast<size_t>(frame_));
  // Every pass is a stage; libjxl pauses at the DC as well.
  return check_status(JxlDecoderSetProgressiveDetail(dec, kPasses));
}

Check ProgressiveDecoder::fail(ProgressiveError error) noexcept {
  failed_ = error;
  decoder_.reset();
  unconsumed_ = {};
  head_ = {};
  return Err{error};
}

// Until the facts are read up to the frame's header, the bytes fed so far
// are kept for the reader: they lie in a file's first few KiB, unless
// layers come before the frame's last one.
Check ProgressiveDecoder::keep_head(std::span<const uint8_t> data) noexcept {
  if (layers_known_ || data.empty()) return {};
  const size_t kept = head_.size();
  if (data.size() > head_.max_size() - kept || !try_resize(head_, kept + data.size())) {
    return fail(error_of(Kind::OutOfMemory));
  }
  std::memcpy(head_.data() + kept, data.data(), data.size());
  return {};
}

Check ProgressiveDecoder::feed(std::span<const uint8_t> data) noexcept {
  if (failed_) return Err{*failed_};
  if (stage_ == Stage::Complete || data.empty()) return {};
  // The first piece is read in place, and kept only if the facts are not
  // in it; later ones join what is kept.
  const bool first = fed_ == 0;
  fed_ += data.size();
  if (!first) {
    if (Check s = keep_head(data); !s) return s;
  }
  head_view_ = first ? data : std::span<const uint8_t>(head_);
  if (Check s = count_layers(false); !s) return s;
  Check ran = [&]() -> Check {
    // Read in place when libjxl consumed everything before; else after the
    // bytes it left.
    std::span<const uint8_t> input = data;
    if (!unconsumed_.empty()) {
      const size_t kept = unconsumed_.size();
      if (data.size() > unconsumed_.max_size() - kept ||
          !try_resize(unconsumed_, kept + data.size())) {
        return fail(error_of(Kind::OutOfMemory));
      }
      std::memcpy(unconsumed_.data() + kept, data.data(), data.size());
      input = unconsumed_;
    }
    if (!signature_checked_) {
      // A container's signature is 12 bytes; until they are in, they are kept.
      const JxlSignature signature = JxlSignatureCheck(input.data(), input.size());
      if (signature == JXL_SIG_NOT_ENOUGH_BYTES) {
        if (unconsumed_.empty() &&
            !try_assign(unconsumed_, data.data(), data.data() + data.size())) {
          return fail(error_of(Kind::OutOfMemory));
        }
        return {};
      }
      if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) {
        return fail(error_of(Kind::NotJpegXl));
      }
      signature_checked_ = true;
    }
    return run(input);
  }();
  head_view_ = {};
  if (!ran) return ran;
  if (first) return keep_head(data);
  return {};
}

Check ProgressiveDecoder::run(std::span<const uint8_t> input) noexcept {
  JxlDecoder* dec = decoder_.get();
  if (Check s = check_status(JxlDecoderSetInput(dec, input.data(), input.size())); !s) {
    return fail(s.error());
  }
  for (;;) {
    const std::optional<JxlDecoderStatus> processed =
        allocating_call([&] { return JxlDecoderProcessInput(dec); });
    if (!processed) {
      JxlDecoderReleaseInput(dec);
      return fail(error_of(Kind::OutOfMemory));
    }
    Check step;
    switch (*processed) {
      case JXL_DEC_COLOR_ENCODING: step = on_color_encoding(); break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: step = on_image_out_buffer(); break;
      case JXL_DEC_FRAME_PROGRESSION: on_progression(); break;
      case JXL_DEC_FULL_IMAGE:
        JxlDecoderReleaseInput(dec);
        if (Check s = count_layers(true); !s) return s;
        finish();
        return {};
      case JXL_DEC_NEED_MORE_INPUT: {
        // Keep what libjxl did not consume; it must be given again, first.
        const size_t left = std::min(JxlDecoderReleaseInput(dec), input.size());
        const uint8_t* tail = input.data() + (input.size() - left);
        if (left == 0) {
          unconsumed_ = {};
        } else if (input.data() == unconsumed_.data()) {
          unconsumed_.erase(unconsumed_.begin(), unconsumed_.end() - static_cast<ptrdiff_t>(left));
        } else if (!try_assign(unconsumed_, tail, tail + left)) {
          return fail(error_of(Kind::OutOfMemory));
        }
        // libjxl decodes a section as it consumes it: nothing consumed,
        // nothing new to draw.
        if (left < input.size()) rendered_.reset();
        return {};
      }
      case JXL_DEC_ERROR: step = Err{error_of(Kind::Corrupt)}; break;
      // A codestream without a frame ends without any image.
      case JXL_DEC_SUCCESS: step = Err{error_of(Kind::Corrupt)}; break;
      default: step = Err{error_of(Kind::Unexpected, static_cast<int>(*processed))}; break;
    }
    if (!step) {
      JxlDecoderReleaseInput(dec);
      return fail(step.error());
    }
  }
}

// Layers are counted by the reader as their headers arrive, before libjxl
// composites them: read again each time the bytes kept have doubled, it
// lets libjxl past at most twice the layers the limit allows; and `now`,
// once the frame is whole, so that it is refused whatever the pieces were.
Check ProgressiveDecoder::count_layers(bool now) noexcept {
  if (!facts_ || layers_known_ || (!now && head_view_.size() < 2 * head_read_)) return {};
  auto read = read_facts(head_view_, FactsScope{.all_frames = false});
  if (!read) return fail(from_reader(read.error()));
  if (Check s = layers_read(read.value()); !s) return fail(s.error());
  return {};
}

// Frame 0's layers are known once its header is read (an animation's later
// frames are decoded only where a walk of them found them within bounds).
Check ProgressiveDecoder::layers_read(const FileFacts& facts) noexcept {
  head_read_ = head_view_.size();
  const std::optional<AnimationError>& stopped = facts.stopped;
  if (stopped && stopped->kind == AnimationError::Kind::TooManyLayers) {
    return Err{error_of(Kind::TooManyLayers)};
  }
  if (frame_ > 0 || !facts.frames.empty() ||
      (stopped && stopped->kind != AnimationError::Kind::Truncated)) {
    layers_known_ = true;
    head_ = {};
  }
  return {};
}

// The colour profile is in, and so is everything the facts are read from:
// the reader reads them from the bytes so far, as it reads them for every
// other reader of the file.
Check ProgressiveDecoder::on_color_encoding() noexcept {
  auto read = read_facts(head_view_, FactsScope{.all_frames = false});
  if (!read) return Err{from_reader(read.error())};
  FileFacts& facts = read.value();
  if (Check s = layers_read(facts); !s) return s;
  if (max_pixels_ != 0 && uint64_t{facts.width()} * facts.height() > max_pixels_) {
    return Err{error_of(Kind::TooLarge)};
  }
  if (facts.through_cms) {
    if (auto s = steps::deliver_in(decoder_.get(), facts.original_icc); !s) {
      return Err{from_reader(s.error())};
    }
  }
  const FrameFormat array = FrameFormat::full_precision(facts);
  FrameFormat decoded = array;
  if (pillow_) {
    decoded = *pillow_;
  } else if (array.kind == SampleKind::Uint8 && facts.colour.bits == 8 && array.channels > 1) {
    decoded.channels = 4;
  }
  auto planned = SampleDelivery::plan(facts, decoded);
  if (!planned) return Err{from_reader(planned.error())};
  decoded_ = planned.value();
  if (!pillow_) {
    auto own = SampleDelivery::plan(facts, array);
    if (!own) return Err{from_reader(own.error())};
    array_ = own.value();
  }
  facts_ = std::move(facts);
  return {};
}

// The module hands alpha out at 8 bits from libjxl's 8-bit samples wherever
// it hands colour out so (integer colour of up to 8 bits); where the samples
// hold alpha deeper, that alpha comes from libjxl beside them.
bool ProgressiveDecoder::alpha_apart() const noexcept {
  if (pillow_ || !facts_ || !facts_->has_alpha()) return false;
  const std::optional<SampleKind> module =
      decoded_kind(facts_->colour.bits, facts_->colour.exponent_bits);
  return module == SampleKind::Uint8 && decoded_.fetched() != SampleKind::Uint8;
}

Check ProgressiveDecoder::on_image_out_buffer() noexcept {
  if (!facts_) return Err{error_of(Kind::Unexpected, JXL_DEC_NEED_IMAGE_OUT_BUFFER)};
  // Zeroed: what libjxl never draws (before the first stage, or frames it
  // cannot draw early) reads as zeros, never as stale memory.
  const auto zeroed = [](std::unique_ptr<uint8_t[]>& buffer, size_t bytes) {
    if (!buffer) buffer.reset(new (std::nothrow) uint8_t[bytes > 0 ? bytes : 1]());
    return buffer != nullptr;
  };
  if (!zeroed(samples_, decoded_.fetched_bytes())) return Err{error_of(Kind::OutOfMemory)};
  JxlDecoder* dec = decoder_.get();
  if (auto s = decoded_.set_output(dec, {samples_.get(), decoded_.fetched_bytes()}, frame_); !s) {
    return Err{from_reader(s.error())};
  }
  if (!alpha_apart()) return {};
  if (!zeroed(alpha8_, decoded_.pixels())) return Err{error_of(Kind::OutOfMemory)};
  const JxlPixelFormat format = pixel_format(1, SampleKind::Uint8);
  return check_call([&] {
    return JxlDecoderSetExtraChannelBuffer(dec, &format, alpha8_.get(), decoded_.pixels(),
                                           facts_->alpha_index);
  });
}

void ProgressiveDecoder::on_progression() noexcept {
  const size_t ratio = JxlDecoderGetIntendedDownsamplingRatio(decoder_.get());
  const Stage reached = ratio >= 8 ? Stage::Preview : Stage::Pass;
  if (reached > stage_) stage_ = reached;
}

// The displayed frame is whole: libjxl's state (the frame's own buffers, as
// large as several copies of the image) is no longer needed.
void ProgressiveDecoder::finish() noexcept {
  stage_ = Stage::Complete;
  decoder_.reset();
  runner_.reset();
  unconsumed_ = {};
  head_ = {};
  layers_known_ = true;
  rendered_ = Rendered{Stage::Complete, true};
}

Result<Rendered, ProgressiveError> ProgressiveDecoder::render(bool any_picture) noexcept {
  if (failed_) return Err{*failed_};
  if (!any_picture && stage_ == Stage::None) return Rendered{};
  if (rendered_ && (rendered_->drawn || any_picture)) return *rendered_;
  if (!facts_) return Err{error_of(Kind::NoImageYet)};
  Rendered drawn;
  if (samples_) {
    // libjxl draws once every DC group is in (it refuses before), and not
    // a frame it composites onto others before that frame is whole.
    const std::optional<JxlDecoderStatus> flushed =
        allocating_call([&] { return JxlDecoderFlushImage(decoder_.get()); });
    if (!flushed) {
      Check failed = fail(error_of(Kind::OutOfMemory));
      return Err{failed.error()};
    }
    drawn.drawn = *flushed == JXL_DEC_SUCCESS;
  }
  drawn.stage = drawn.drawn ? stage_ : Stage::None;
  rendered_ = drawn;
  if (!drawn.drawn && !any_picture) return Rendered{};
  return drawn;
}

// ---- Handing out ------------------------------------------------------------

namespace {

template <typename T>
T load(const uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void store(uint8_t* p, T v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// An integer stored at `bits` bits spread over `to_bits`, as libjxl does it:
// through its float sample, rounded to the nearest.
struct Spread {
  float in_scale;
  float out_top;
  Spread(uint32_t bits, uint32_t to_bits) noexcept
      : in_scale(1.0f / static_cast<float>(integer_top(bits))),
        out_top(static_cast<float>(integer_top(to_bits))) {}
  uint32_t operator()(uint32_t v) const noexcept {
    const float f = std::min(static_cast<float>(v) * in_scale, 1.0f) * out_top;
    return static_cast<uint32_t>(std::nearbyint(f));
  }
};

// One sample as the module hands colour out, at 8 bits: from integers at
// `bits` (spread to the kind's range first), 16-bit ones by their high byte;
// from floats times 255, truncated, through a half float where the module
// would have had libjxl's half floats (`as_half`).
struct ToByte {
  SampleKind kind;
  uint32_t bits;
  bool as_half;
  Spread spread;
  ToByte(SampleKind k, uint32_t b, bool half) noexcept
      : kind(k), bits(b), as_half(half), spread(b, static_cast<uint32_t>(layout_of(k).size * 8)) {}
  uint8_t operator()(const uint8_t* p) const noexcept {
    float f = 0;
    switch (kind) {
      case SampleKind::Uint8: {
        const uint8_t v = *p;
        return bits >= 8 ? v : static_cast<uint8_t>(spread(v));
      }
      case SampleKind::Uint16: {
        const uint16_t v = load<uint16_t>(p);
        return static_cast<uint8_t>((bits >= 16 ? v : spread(v)) >> 8);
      }
      case SampleKind::Float16:
        widen_halves({reinterpret_cast<const uint16_t*>(p), 1}, {&f, 1});
        break;
      case SampleKind::Float:
        f = load<float>(p);
        if (as_half) {
          uint16_t h = 0;
          narrow_to_halves({&f, 1}, {&h, 1});
          widen_halves({&h, 1}, {&f, 1});
        }
        break;
    }
    uint8_t b = 0;
    floats_to_bytes({&f, 1}, {&b, 1});
    return b;
  }
};

}  // namespace

Check ProgressiveDecoder::array_samples(std::span<const uint8_t> decoded,
                                        std::span<uint8_t> out) const noexcept {
  if (pillow_ || !facts_) return Err{error_of(Kind::BadFormat)};
  const uint32_t from = decoded_.format().channels;
  const uint32_t to = array_.format().channels;
  const size_t size = layout_of(decoded_.fetched()).size;
  const size_t pixels = std::min(decoded.size() / (from * size), array_.pixels());
  // libjxl's samples in the array's channels, in the kind it wrote them in.
  std::vector<float> wide;
  std::span<uint8_t> fetched = out;
  if (decoded_.fetched() != array_.format().kind) {
    if (!try_resize(wide, array_.fetched_bytes() / sizeof(float))) {
      return Err{error_of(Kind::OutOfMemory)};
    }
    fetched = {reinterpret_cast<uint8_t*>(wide.data()), wide.size() * sizeof(float)};
  }
  if (fetched.size() < pixels * to * size) return Err{error_of(Kind::BadFormat)};
  if (from == to) {
    if (pixels > 0) std::memcpy(fetched.data(), decoded.data(), pixels * to * size);
  } else {
    // Four samples a pixel: the colour channels and the alpha there is.
    const uint32_t colour = facts_->num_color_channels;
    for (size_t i = 0; i < pixels; ++i) {
      const uint8_t* p = decoded.data() + from * size * i;
      uint8_t* q = fetched.data() + to * size * i;
      std::memcpy(q, p, colour * size);
      if (facts_->has_alpha()) std::memcpy(q + colour * size, p + (from - 1) * size, size);
    }
  }
  array_.finish(fetched, out);
  return {};
}

ProgressiveDecoder::PillowLayout ProgressiveDecoder::pillow_layout() const noexcept {
  PillowLayout layout;
  if (!facts_) return layout;
  const SampleKind kind = decoded_.format().kind;
  if (decoded_.format().channels == 1) {
    layout.kind = layout_of(kind).kept_as;
    layout.channels = 1;
  } else {
    layout.kind = SampleKind::Uint8;
    layout.channels = 4;
  }
  layout.bytes = decoded_.pixels() * layout.channels * layout_of(layout.kind).size;
  return layout;
}

bool ProgressiveDecoder::decoded_for_pillow() const noexcept {
  if (!facts_ || alpha_apart()) return false;
  const PillowLayout layout = pillow_layout();
  return decoded_.format().channels == layout.channels && decoded_.fetched() == layout.kind &&
         (layout.kind == SampleKind::Float ||
          decoded_.fetched_bits() == layout_of(layout.kind).size * 8);
}

void ProgressiveDecoder::pillow_samples(std::span<const uint8_t> decoded,
                                        std::span<uint8_t> out) const noexcept {
  const PillowLayout target = pillow_layout();
  const size_t pixels = decoded_.pixels();
  const SampleKind kind = decoded_.fetched();
  const size_t in_size = layout_of(kind).size;
  const uint32_t channels = decoded_.format().channels;
  if (!facts_ || decoded.size() < pixels * channels * in_size || out.size() < target.bytes) return;
  if (pillow_ || decoded_for_pillow()) {
    // libjxl's samples of the format: handed out as the module does.
    hand_out(kind, target.kind, decoded.data(), out.data(), pixels * channels);
    return;
  }
  const uint8_t* src = decoded.data();
  uint8_t* dst = out.data();
  const uint32_t bits = decoded_.fetched_bits();
  if (target.channels == 1) {
    switch (kind) {
      case SampleKind::Uint8: {
        const Spread spread(bits, 8);
        for (size_t i = 0; i < pixels; ++i) dst[i] = static_cast<uint8_t>(spread(src[i]));
        return;
      }
      case SampleKind::Uint16: {
        const Spread spread(bits, 16);
        for (size_t i = 0; i < pixels; ++i) {
          store(dst + 2 * i, static_cast<uint16_t>(spread(load<uint16_t>(src + 2 * i))));
        }
        return;
      }
      case SampleKind::Float16:
      case SampleKind::Float: hand_out(kind, SampleKind::Float, src, dst, pixels); return;
    }
    return;
  }
  const uint32_t colour = facts_->num_color_channels;
  const ToByte to_byte(kind, bits, decoded_.format().kind == SampleKind::Float16);
  const size_t stride = channels * in_size;
  const uint8_t* alpha8 = alpha8_.get();
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = src + i * stride;
    uint8_t* q = dst + 4 * i;
    for (uint32_t c = 0; c < 3; ++c) q[c] = to_byte(p + (colour == 1 ? 0 : c) * in_size);
    if (!facts_->has_alpha()) {
      q[3] = 255;
    } else {
      q[3] = alpha8 != nullptr ? alpha8[i] : to_byte(p + (channels - 1) * in_size);
    }
  }
}

}  // namespace tessara
