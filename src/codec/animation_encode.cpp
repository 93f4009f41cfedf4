// AnimationEncoder: one libjxl encoder, set up once for the whole animation,
// given frames one at a time and drained before each next one, so that the
// frames' pixels never pile up inside libjxl.
#include <jxl/color_encoding.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

#include "codec/animation.h"
#include "codec/color_profile.h"
#include "codec/encoder_status.h"
#include "codec/memory.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using encoder_status::check;
using encoder_status::check_call;

constexpr size_t kInitialOutputSize = 64 * 1024;

// The file's bit depth for samples of each kind: libjxl stores what is given.
struct Depth {
  uint32_t bits;
  uint32_t exponent_bits;
};

constexpr Depth depth_of(SampleKind kind) noexcept {
  switch (kind) {
    case SampleKind::Uint8: return {8, 0};
    case SampleKind::Uint16: return {16, 0};
    case SampleKind::Float16: return {16, 5};
    case SampleKind::Float: return {32, 8};
  }
  return {8, 0};
}

// Whether lossy coding can take these float or half-float samples
// (encoder_status.h); checked in stack-sized pieces, since the caller's
// bytes need not be aligned for floats.
bool lossy_floats_ok(SampleKind kind, std::span<const uint8_t> bytes) noexcept {
  constexpr size_t kPiece = 1024;
  std::array<float, kPiece> floats;
  std::array<uint16_t, kPiece> halves;
  const size_t size = layout_of(kind).size;
  for (size_t at = 0; at < bytes.size(); at += kPiece * size) {
    const size_t n = std::min(kPiece, (bytes.size() - at) / size);
    if (kind == SampleKind::Float) {
      std::memcpy(floats.data(), bytes.data() + at, n * size);
    } else {
      std::memcpy(halves.data(), bytes.data() + at, n * size);
      widen_halves({halves.data(), n}, {floats.data(), n});
    }
    if (!all_within({floats.data(), n}, encoder_status::kLossyFloatLimit)) return false;
  }
  return true;
}

Status<EncodeError> declare_animation(JxlEncoder* enc, const AnimationSettings& s,
                                      const ThreadsRunner* runner) noexcept {
  const Depth depth = depth_of(s.sample);
  const bool alpha = s.channels == 2 || s.channels == 4;
  const bool grey = s.channels <= 2;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = s.width;
  info.ysize = s.height;
  info.bits_per_sample = s.bits != 0 ? s.bits : depth.bits;
  info.exponent_bits_per_sample = depth.exponent_bits;
  info.uses_original_profile = s.uses_original_profile || s.lossless;
  info.orientation = s.orientation;
  info.num_color_channels = grey ? 1 : 3;
  info.num_extra_channels = alpha ? 1 : 0;
  info.alpha_bits = alpha ? info.bits_per_sample : 0;
  info.alpha_exponent_bits = alpha ? depth.exponent_bits : 0;
  info.have_animation = JXL_TRUE;
  info.animation.tps_numerator = s.tps_numerator;
  info.animation.tps_denominator = s.tps_denominator;
  info.animation.num_loops = s.num_loops;
  info.animation.have_timecodes = JXL_FALSE;
  if (runner != nullptr) runner->notify_basic_info(info);
  TESSARA_TRY(check_call(enc, [&] { return JxlEncoderSetBasicInfo(enc, &info); }));
  if (!s.icc.empty()) return declare_profile(enc, s.icc, s.lossless, grey);
  JxlColorEncoding color;
  if (s.linear) {
    JxlColorEncodingSetToLinearSRGB(&color, grey);
  } else {
    JxlColorEncodingSetToSRGB(&color, grey);
  }
  return check_call(enc, [&] { return JxlEncoderSetColorEncoding(enc, &color); });
}

// The same settings the still-image driver applies, once: frame settings
// hold for every frame added through them.
Status<EncodeError> apply_frame_settings(JxlEncoder* enc, JxlEncoderFrameSettings* fs,
                                         const AnimationSettings& s) noexcept {
  TESSARA_TRY(check(enc, JxlEncoderSetFrameLossless(fs, s.lossless)));
  // Lossless effort 1 on integers of 9 to 16 bits corrupts libjxl 0.11.2's
  // heap, as for still images: effort 2 instead.
  SampleFrame shape;
  shape.kind = s.sample;
  shape.bits = s.bits;
  TESSARA_TRY(check(enc, JxlEncoderFrameSettingsSetOption(
                             fs, JXL_ENC_FRAME_SETTING_EFFORT,
                             effective_effort(s.effort, s.lossless, shape))));
  if (s.bits != 0 && s.bits < depth_of(s.sample).bits) {
    // Narrowed integers are given as stored, not spread over their type's range.
    const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
    TESSARA_TRY(check(enc, JxlEncoderSetFrameBitDepth(fs, &depth)));
  }
  // NaN passes libjxl's range check and later ends the process.
  if (std::isnan(s.distance)) return Err{EncodeError::ApiUsage};
  if (!s.lossless) TESSARA_TRY(check(enc, JxlEncoderSetFrameDistance(fs, s.distance)));
  TESSARA_TRY(check(enc, JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_DECODING_SPEED,
                                                          s.decoding_speed)));
  return apply_progression(enc, fs, s.progression);
}

}  // namespace

AnimationEncoder::AnimationEncoder(JxlEncoderPtr encoder, const AnimationSettings& settings,
                                   std::optional<ThreadsRunner> runner) noexcept
    : encoder_(std::move(encoder)), runner_(std::move(runner)), settings_(settings) {
  settings_.icc = {};  // borrowed for create() only
}

Result<AnimationEncoder, EncodeError> AnimationEncoder::create(
    const AnimationSettings& settings, std::optional<ThreadsRunner> runner) noexcept {
  if (static_cast<size_t>(settings.sample) >= std::size(kKindLayouts) ||
      settings.channels < 1 || settings.channels > 4 || settings.width == 0 ||
      settings.height == 0 || settings.tps_numerator == 0 || settings.tps_denominator == 0) {
    return Err{EncodeError::BadInput};
  }
  // libjxl takes 16-bit samples at 9 bits and more only; floats at their own.
  const Depth own = depth_of(settings.sample);
  if (settings.bits != 0 && (own.exponent_bits != 0 || settings.bits > own.bits ||
                             settings.bits < (own.bits > 8 ? 9u : 1u))) {
    return Err{EncodeError::BadInput};
  }
  const uint64_t samples = uint64_t{settings.width} * settings.height * settings.channels;
  const size_t sample_size = layout_of(settings.sample).size;
  if (samples > SIZE_MAX / sample_size) return Err{EncodeError::BadInput};

  const std::optional<JxlEncoder*> created =
      allocating_call([] { return JxlEncoderCreate(nullptr); });
  if (!created) return Err{EncodeError::AllocationFailed};
  JxlEncoderPtr owned(*created);
  if (!owned) return Err{EncodeError::CannotCreateEncoder};
  AnimationEncoder a(std::move(owned), settings, std::move(runner));
  a.frame_bytes_ = static_cast<size_t>(samples) * sample_size;
  JxlEncoder* enc = a.encoder_.get();
  const std::optional<JxlEncoderFrameSettings*> fs =
      allocating_call([&] { return JxlEncoderFrameSettingsCreate(enc, nullptr); });
  if (!fs) return Err{EncodeError::AllocationFailed};
  if (*fs == nullptr) return Err{EncodeError::CannotCreateEncoder};
  a.frame_settings_ = *fs;
  if (a.runner_) {
    TESSARA_TRY(check(enc, JxlEncoderSetParallelRunner(enc, a.runner_->runner_function(),
                                                       a.runner_->opaque())));
  }
  TESSARA_TRY(check(enc, JxlEncoderUseContainer(enc, settings.use_container)));
  TESSARA_TRY(apply_frame_settings(enc, a.frame_settings_, settings));
  TESSARA_TRY(declare_animation(enc, settings, a.runner_ ? &*a.runner_ : nullptr));
  return a;
}

Status<EncodeError> AnimationEncoder::add_box(BoxKind kind, std::span<const uint8_t> contents,
                                              bool compress) noexcept {
  if (finished_ || frames_ > 0) return Err{EncodeError::ApiUsage};
  JxlEncoder* enc = encoder_.get();
  if (!boxes_enabled_) {
    TESSARA_TRY(check_call(enc, [&] { return JxlEncoderUseBoxes(enc); }));
    boxes_enabled_ = true;
  }
  const char* type = kind == BoxKind::Exif ? "Exif" : kind == BoxKind::Xml ? "xml " : "jumb";
  const JxlBoxType box_type = {type[0], type[1], type[2], type[3]};
  return check_call(enc, [&] {
    return JxlEncoderAddBox(enc, box_type, contents.data(), contents.size(),
                            compress ? JXL_TRUE : JXL_FALSE);
  });
}

// Collects what libjxl has coded so far; a frame's pixels copy inside libjxl
// is freed once it is coded.
Status<EncodeError> AnimationEncoder::drain() noexcept {
  JxlEncoder* enc = encoder_.get();
  for (;;) {
    if (output_.size() - written_ < kInitialOutputSize / 2) {
      const size_t grown = std::max(kInitialOutputSize, output_.size());
      if (output_.size() > output_.max_size() - grown ||
          !try_resize(output_, output_.size() + grown)) {
        return Err{EncodeError::AllocationFailed};
      }
    }
    uint8_t* next = output_.data() + written_;
    size_t avail = output_.size() - written_;
    const std::optional<JxlEncoderStatus> status =
        allocating_call([&] { return JxlEncoderProcessOutput(enc, &next, &avail); });
    if (!status) return Err{EncodeError::AllocationFailed};
    written_ = static_cast<size_t>(next - output_.data());
    if (*status == JXL_ENC_SUCCESS) return {};
    if (*status != JXL_ENC_NEED_MORE_OUTPUT) {
      return Err{encoder_status::error_of_code(JxlEncoderGetError(enc))};
    }
  }
}

Status<EncodeError> AnimationEncoder::add_frame(std::span<const uint8_t> samples,
                                                uint32_t duration,
                                                std::string_view name) noexcept {
  if (finished_) return Err{EncodeError::ApiUsage};
  if (samples.size() != frame_bytes_) return Err{EncodeError::BadInput};
  const bool floats = settings_.sample == SampleKind::Float || settings_.sample == SampleKind::Float16;
  if (floats && !settings_.lossless && !lossy_floats_ok(settings_.sample, samples)) {
    return Err{EncodeError::BadInput};
  }
  if (settings_.bits != 0 && settings_.bits < depth_of(settings_.sample).bits) {
    // Narrowed samples above their depth would be coded as garbage.
    SampleFrame frame;
    frame.kind = settings_.sample;
    frame.bytes = samples;
    frame.width = settings_.width;
    frame.height = settings_.height;
    frame.channels = settings_.channels;
    frame.bits = settings_.bits;
    if (check_frame(frame, settings_.lossless) == FrameProblem::AboveDepth) {
      return Err{EncodeError::BadInput};
    }
  }
  JxlEncoder* enc = encoder_.get();
  if (boxes_enabled_ && frames_ == 0) JxlEncoderCloseBoxes(enc);
  // libjxl must know whether a frame is the last before it codes it, so the
  // frame before this one is coded (and its copy freed) only now.
  if (frames_ > 0) TESSARA_TRY(drain());
  JxlFrameHeader header;
  JxlEncoderInitFrameHeader(&header);
  header.duration = duration;
  TESSARA_TRY(check(enc, JxlEncoderSetFrameHeader(frame_settings_, &header)));
  // libjxl takes a NUL-terminated name; a name with a NUL in it is refused.
  if (name.find('\0') != std::string_view::npos) return Err{EncodeError::BadInput};
  std::string terminated;
  if (!try_resize(terminated, name.size())) return Err{EncodeError::AllocationFailed};
  std::copy(name.begin(), name.end(), terminated.begin());
  TESSARA_TRY(check_call(enc, [&] { return JxlEncoderSetFrameName(frame_settings_, terminated.c_str()); }));
  const JxlPixelFormat format = pixel_format(settings_.channels, settings_.sample);
  TESSARA_TRY(check_call(enc, [&] {
    return JxlEncoderAddImageFrame(frame_settings_, &format, samples.data(), samples.size());
  }));
  ++frames_;
  return {};
}

Result<std::vector<uint8_t>, EncodeError> AnimationEncoder::finish() noexcept {
  if (finished_) return Err{EncodeError::ApiUsage};
  if (frames_ == 0) return Err{EncodeError::BadInput};
  finished_ = true;
  JxlEncoderCloseInput(encoder_.get());
  TESSARA_TRY(drain());
  output_.resize(written_);
  try_shrink_to_fit(output_);
  std::vector<uint8_t> out = std::move(output_);
  output_ = {};
  written_ = 0;
  return out;
}

}  // namespace tessara
