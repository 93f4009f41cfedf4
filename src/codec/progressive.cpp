// The progressive decoder over libjxl's event loop with the input left open:
// a request for more input is where the bytes so far end, not an error.
#include "codec/progressive.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

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
    case Kind::NoImageYet: return "the bytes so far end before the image header";
    case Kind::Unexpected: {
      const char* name = decoder_status_name(static_cast<JxlDecoderStatus>(error.status));
      return std::string("libjxl answered with an unexpected status: ") +
             (name != nullptr ? name : std::to_string(error.status));
    }
  }
  return "libjxl cannot decode the file: it is corrupt";
}

ProgressiveDecoder::ProgressiveDecoder(JxlDecoderPtr decoder, uint64_t max_pixels,
                                       std::optional<ThreadsRunner> runner) noexcept
    : runner_(std::move(runner)), decoder_(std::move(decoder)), max_pixels_(max_pixels) {}

Result<ProgressiveDecoder, ProgressiveError> ProgressiveDecoder::create(
    uint64_t max_pixels, std::optional<ThreadsRunner> runner, uint64_t frame) noexcept {
  const std::optional<JxlDecoder*> created =
      allocating_call([] { return JxlDecoderCreate(nullptr); });
  if (!created) return Err{error_of(Kind::OutOfMemory)};
  JxlDecoderPtr decoder(*created);
  if (!decoder) return Err{error_of(Kind::DecoderCreateFailed)};
  ProgressiveDecoder d(std::move(decoder), max_pixels, std::move(runner));
  if (Check s = d.start(frame); !s) return Err{s.error()};
  return d;
}

Check ProgressiveDecoder::start(uint64_t frame) noexcept {
  JxlDecoder* dec = decoder_.get();
  if (runner_) {
    if (Check s = check_status(
            JxlDecoderSetParallelRunner(dec, runner_->runner_function(), runner_->opaque()));
        !s) {
      return s;
    }
  }
  const int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME_PROGRESSION |
                     JXL_DEC_FULL_IMAGE;
  if (Check s = check_status(JxlDecoderSubscribeEvents(dec, events)); !s) return s;
  if (frame > 0) JxlDecoderSkipFrames(dec, static_cast<size_t>(frame));
  // Every pass is a stage; libjxl pauses at the DC as well.
  return check_status(JxlDecoderSetProgressiveDetail(dec, kPasses));
}

Check ProgressiveDecoder::fail(ProgressiveError error) noexcept {
  failed_ = error;
  decoder_.reset();
  unconsumed_ = {};
  return Err{error};
}

Check ProgressiveDecoder::feed(std::span<const uint8_t> data) noexcept {
  if (failed_) return Err{*failed_};
  if (stage_ == Stage::Complete || data.empty()) return {};
  fed_ += data.size();
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
      if (unconsumed_.empty() && !try_assign(unconsumed_, data.data(), data.data() + data.size())) {
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
      case JXL_DEC_BASIC_INFO: step = on_basic_info(); break;
      case JXL_DEC_COLOR_ENCODING: step = on_color_encoding(); break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: step = on_image_out_buffer(); break;
      case JXL_DEC_FRAME_PROGRESSION: on_progression(); break;
      case JXL_DEC_FULL_IMAGE:
        JxlDecoderReleaseInput(dec);
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

Check ProgressiveDecoder::on_basic_info() noexcept {
  JxlBasicInfo info;
  if (Check s = check_status(JxlDecoderGetBasicInfo(decoder_.get(), &info)); !s) return s;
  if (max_pixels_ != 0 && uint64_t{info.xsize} * info.ysize > max_pixels_) {
    return Err{error_of(Kind::TooLarge)};
  }
  if (runner_) runner_->notify_basic_info(info);
  ProgressiveFacts f;
  // libjxl reports the oriented size; the orientation itself is read by the
  // plug-in from the header for the layout of rebuilt JPEGs.
  f.width = info.xsize;
  f.height = info.ysize;
  f.colour_channels = info.num_color_channels;
  f.has_alpha = info.alpha_bits > 0;
  f.bits_per_sample = info.bits_per_sample;
  f.exponent_bits_per_sample = info.exponent_bits_per_sample;
  f.orientation = static_cast<uint32_t>(info.orientation);
  f.is_animated = info.have_animation != JXL_FALSE;
  f.kind = full_precision_kind(SampleDepth{info.bits_per_sample, info.exponent_bits_per_sample},
                               SampleDepth{info.alpha_bits, info.alpha_exponent_bits});
  f.channels = channels_of(info);
  const bool eight_bits = f.kind == SampleKind::Uint8 && f.bits_per_sample == 8;
  f.samples_channels = eight_bits && f.channels > 1 ? 4 : f.channels;
  const JxlPixelFormat format = pixel_format(f.samples_channels, f.kind);
  if (Check s = check_status(JxlDecoderImageOutBufferSize(decoder_.get(), &format, &f.frame_bytes));
      !s) {
    return s;
  }
  facts_ = f;
  return {};
}

Check ProgressiveDecoder::on_color_encoding() noexcept {
  JxlDecoder* dec = decoder_.get();
  size_t size = 0;
  if (Check s = check_call([&] {
        return JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &size);
      });
      !s) {
    return s;
  }
  if (!try_resize(icc_, size)) return Err{error_of(Kind::OutOfMemory)};
  return check_call([&] {
    return JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, icc_.data(),
                                          icc_.size());
  });
}

Check ProgressiveDecoder::on_image_out_buffer() noexcept {
  if (!facts_) return Err{error_of(Kind::Unexpected, JXL_DEC_NEED_IMAGE_OUT_BUFFER)};
  const ProgressiveFacts& f = *facts_;
  if (!samples_) {
    // Zeroed: what libjxl never draws (before the first stage, or frames it
    // cannot draw early) reads as zeros, never as stale memory.
    samples_.reset(new (std::nothrow) uint8_t[f.frame_bytes > 0 ? f.frame_bytes : 1]());
    if (!samples_) return Err{error_of(Kind::OutOfMemory)};
  }
  JxlDecoder* dec = decoder_.get();
  const JxlPixelFormat format = pixel_format(f.samples_channels, f.kind);
  if (Check s = check_call([&] {
        return JxlDecoderSetImageOutBuffer(dec, &format, samples_.get(), f.frame_bytes);
      });
      !s) {
    return s;
  }
  // Integers as stored; at the kind's own depth libjxl's usual path is kept.
  const KindLayout& layout = layout_of(f.kind);
  if (layout.exponent_bits == 0 && f.bits_per_sample != layout.size * 8) {
    const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
    return check_status(JxlDecoderSetImageOutBitDepth(dec, &depth));
  }
  return {};
}

void ProgressiveDecoder::on_progression() noexcept {
  const size_t ratio = JxlDecoderGetIntendedDownsamplingRatio(decoder_.get());
  const Stage reached = ratio >= 8 ? Stage::Preview : Stage::Pass;
  if (reached > stage_) stage_ = reached;
}

// The first displayed frame is whole: libjxl's state (the frame's own
// buffers, as large as several copies of the image) is no longer needed.
void ProgressiveDecoder::finish() noexcept {
  stage_ = Stage::Complete;
  decoder_.reset();
  runner_.reset();
  unconsumed_ = {};
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

// One sample of any kind at 8 bits, as the plug-in's colour is.
struct ToByte {
  SampleKind kind;
  uint32_t bits;
  Spread spread;
  ToByte(SampleKind k, uint32_t b) noexcept
      : kind(k), bits(b), spread(b, static_cast<uint32_t>(layout_of(k).size * 8)) {}
  uint8_t operator()(const uint8_t* p) const noexcept {
    switch (kind) {
      case SampleKind::Uint8: {
        const uint8_t v = *p;
        return bits >= 8 ? v : static_cast<uint8_t>(spread(v));
      }
      case SampleKind::Uint16: {
        const uint16_t v = load<uint16_t>(p);
        return static_cast<uint8_t>((bits >= 16 ? v : spread(v)) >> 8);
      }
      case SampleKind::Float16: {
        float f = 0;
        widen_halves({reinterpret_cast<const uint16_t*>(p), 1}, {&f, 1});
        uint8_t b = 0;
        floats_to_bytes({&f, 1}, {&b, 1});
        return b;
      }
      case SampleKind::Float: {
        uint8_t b = 0;
        floats_to_bytes({reinterpret_cast<const float*>(p), 1}, {&b, 1});
        return b;
      }
    }
    return 0;
  }
};

}  // namespace

void to_array_samples(const ProgressiveFacts& facts, std::span<const uint8_t> in,
                      std::span<uint8_t> out) noexcept {
  if (facts.samples_channels != facts.channels) {
    // 8-bit samples four a pixel: the colour channels and the alpha there is.
    const size_t pixels = std::min(in.size() / 4, out.size() / facts.channels);
    const uint32_t colour = facts.colour_channels;
    for (size_t i = 0; i < pixels; ++i) {
      const uint8_t* p = in.data() + 4 * i;
      uint8_t* q = out.data() + facts.channels * i;
      for (uint32_t c = 0; c < colour; ++c) q[c] = p[c];
      if (facts.has_alpha) q[colour] = p[3];
    }
    return;
  }
  const size_t n = std::min(in.size(), out.size());
  if (n > 0) std::memcpy(out.data(), in.data(), n);
  if (facts.kind == SampleKind::Float && facts.exponent_bits_per_sample == 0) {
    // libjxl hands integers out as floats over 0..1 only; back to the values
    // stored (exact up to 24 bits).
    const float top =
        static_cast<float>(std::ldexp(1.0, static_cast<int>(facts.bits_per_sample)) - 1);
    scale_and_round({reinterpret_cast<float*>(out.data()), n / sizeof(float)}, 1, 0, top);
  }
}

bool decoded_for_pillow(const ProgressiveFacts& facts) noexcept {
  if (facts.samples_channels != 1) {
    return facts.samples_channels == 4 && facts.kind == SampleKind::Uint8 &&
           facts.bits_per_sample == 8;
  }
  switch (facts.kind) {
    case SampleKind::Uint8: return facts.bits_per_sample == 8;
    case SampleKind::Uint16: return facts.bits_per_sample == 16;
    case SampleKind::Float: return facts.exponent_bits_per_sample != 0;
    case SampleKind::Float16: return false;
  }
  return false;
}

PillowLayout pillow_layout(const ProgressiveFacts& facts) noexcept {
  const size_t pixels = size_t{facts.width} * facts.height;
  PillowLayout layout;
  if (facts.channels == 1) {
    layout.kind = facts.kind == SampleKind::Uint8    ? SampleKind::Uint8
                  : facts.kind == SampleKind::Uint16 ? SampleKind::Uint16
                                                     : SampleKind::Float;
    layout.channels = 1;
  } else {
    layout.kind = SampleKind::Uint8;
    layout.channels = 4;
  }
  layout.bytes = pixels * layout.channels * layout_of(layout.kind).size;
  return layout;
}

void to_pillow_samples(const ProgressiveFacts& facts, std::span<const uint8_t> in,
                       std::span<uint8_t> out) noexcept {
  const PillowLayout target = pillow_layout(facts);
  const size_t pixels = size_t{facts.width} * facts.height;
  const size_t in_size = layout_of(facts.kind).size;
  if (in.size() < pixels * facts.samples_channels * in_size || out.size() < target.bytes) return;
  if (decoded_for_pillow(facts)) {
    std::memcpy(out.data(), in.data(), target.bytes);
    return;
  }
  const uint8_t* src = in.data();
  uint8_t* dst = out.data();
  if (facts.channels == 1) {
    switch (facts.kind) {
      case SampleKind::Uint8: {
        if (facts.bits_per_sample >= 8) {
          std::memcpy(dst, src, pixels);
          return;
        }
        const Spread spread(facts.bits_per_sample, 8);
        for (size_t i = 0; i < pixels; ++i) dst[i] = static_cast<uint8_t>(spread(src[i]));
        return;
      }
      case SampleKind::Uint16: {
        if (facts.bits_per_sample >= 16) {
          std::memcpy(dst, src, pixels * 2);
          return;
        }
        const Spread spread(facts.bits_per_sample, 16);
        for (size_t i = 0; i < pixels; ++i) {
          store(dst + 2 * i, static_cast<uint16_t>(spread(load<uint16_t>(src + 2 * i))));
        }
        return;
      }
      case SampleKind::Float16:
        widen_halves({reinterpret_cast<const uint16_t*>(src), pixels},
                     {reinterpret_cast<float*>(dst), pixels});
        return;
      case SampleKind::Float:
        std::memcpy(dst, src, pixels * 4);
        return;
    }
    return;
  }
  const uint32_t colour = facts.colour_channels;
  const ToByte to_byte(facts.kind, facts.bits_per_sample);
  const size_t stride = facts.channels * in_size;
  for (size_t i = 0; i < pixels; ++i) {
    const uint8_t* p = src + i * stride;
    uint8_t* q = dst + 4 * i;
    for (uint32_t c = 0; c < 3; ++c) q[c] = to_byte(p + (colour == 1 ? 0 : c) * in_size);
    q[3] = facts.has_alpha ? to_byte(p + colour * in_size) : 255;
  }
}

}  // namespace tessara
