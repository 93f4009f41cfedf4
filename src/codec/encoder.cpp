// EncoderDriver: steers one libjxl encoder through settings, boxes, a single
// frame and the output drain, turning every libjxl refusal into an EncodeError.
#include "codec/encoder.h"

#include <jxl/color_encoding.h>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>

#include "codec/color_profile.h"
#include "codec/encoder_status.h"
#include "codec/memory.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using encoder_status::check;
using encoder_status::check_call;
using encoder_status::error_of_code;
using encoder_status::kLossyFloatLimit;

constexpr size_t kInitialOutputSize = 512 * 1024;

// The driver's state as the helpers below need it; the frame-settings handle
// and the boxes flag are references because a successful run resets them.
struct Session {
  JxlEncoder* encoder;
  JxlEncoderFrameSettings*& frame_settings;
  bool& boxes_enabled;
  const ThreadsRunner& runner;
  const EncoderSettings& settings;
  uint8_t effort;
};

// A JPEG frame gets no distance: from a distance of 20 on libjxl downsamples
// the frame, and the stored JPEG could then no longer be rebuilt bit for bit.
enum class Distance : bool { Skip, Apply };

}  // namespace

Status<EncodeError> apply_progression(JxlEncoder* enc, JxlEncoderFrameSettings* frame_settings,
                                      const Progression& p) noexcept {
  const std::pair<JxlEncoderFrameSettingId, int64_t> options[] = {
      {JXL_ENC_FRAME_SETTING_PROGRESSIVE_DC, p.dc},
      {JXL_ENC_FRAME_SETTING_PROGRESSIVE_AC, p.ac},
      {JXL_ENC_FRAME_SETTING_RESPONSIVE, p.responsive},
  };
  for (const auto& [id, value] : options) {
    if (value >= 0) {
      TESSARA_TRY(check(enc, JxlEncoderFrameSettingsSetOption(frame_settings, id, value)));
    }
  }
  // Large images are otherwise written a DC group at a time, each followed
  // by its detail, and the 1:8 preview needs nearly the whole file.
  if (p.asked()) {
    TESSARA_TRY(check(enc, JxlEncoderFrameSettingsSetOption(frame_settings,
                                                            JXL_ENC_FRAME_SETTING_BUFFERING, 0)));
  }
  return {};
}

namespace {

Status<EncodeError> apply_frame_settings(const Session& s, Distance distance) noexcept {
  // Only a failed allocation of the fresh handle after an earlier run leaves it null.
  if (s.frame_settings == nullptr) return Err{EncodeError::OutOfMemory};
  JxlEncoder* enc = s.encoder;
  TESSARA_TRY(check(enc, JxlEncoderSetParallelRunner(enc, s.runner.runner_function(),
                                                     s.runner.opaque())));
  TESSARA_TRY(check(enc, JxlEncoderUseContainer(enc, s.settings.use_container)));
  TESSARA_TRY(check(enc, JxlEncoderSetFrameLossless(s.frame_settings, s.settings.lossless)));
  TESSARA_TRY(check(enc, JxlEncoderFrameSettingsSetOption(
                             s.frame_settings, JXL_ENC_FRAME_SETTING_EFFORT, s.effort)));
  if (distance == Distance::Apply) {
    // libjxl's own range check lets NaN through, and a NaN distance later
    // trips an assertion deep in the encoder that ends the process; refuse
    // it the way libjxl refuses any other distance out of range.
    if (std::isnan(s.settings.distance)) return Err{EncodeError::ApiUsage};
    TESSARA_TRY(check(enc, JxlEncoderSetFrameDistance(s.frame_settings, s.settings.distance)));
  }
  TESSARA_TRY(check(enc, JxlEncoderFrameSettingsSetOption(s.frame_settings,
                                                          JXL_ENC_FRAME_SETTING_DECODING_SPEED,
                                                          s.settings.decoding_speed)));
  return {};
}

bool is_grey(EncoderColorEncoding color) noexcept {
  return color == EncoderColorEncoding::SrgbGrey || color == EncoderColorEncoding::LinearSrgbGrey;
}

struct SampleLayout {
  JxlDataType type;
  uint32_t bits;
  uint32_t exponent_bits;
};

template <typename T>
constexpr SampleLayout layout_of() noexcept;
template <>
constexpr SampleLayout layout_of<uint8_t>() noexcept { return {JXL_TYPE_UINT8, 8, 0}; }
template <>
constexpr SampleLayout layout_of<uint16_t>() noexcept { return {JXL_TYPE_UINT16, 16, 0}; }
template <>
constexpr SampleLayout layout_of<float>() noexcept { return {JXL_TYPE_FLOAT, 32, 8}; }

Status<EncodeError> declare_image(const Session& s, SampleLayout layout, uint32_t width,
                                  uint32_t height) noexcept {
  const EncoderSettings& settings = s.settings;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.have_container = settings.use_container;
  info.xsize = width;
  info.ysize = height;
  info.bits_per_sample = layout.bits;
  info.exponent_bits_per_sample = layout.exponent_bits;
  info.uses_original_profile = settings.uses_original_profile;
  info.orientation = settings.orientation;
  info.num_extra_channels = settings.has_alpha ? 1 : 0;
  info.alpha_bits = settings.has_alpha ? layout.bits : 0;
  info.alpha_exponent_bits = settings.has_alpha ? layout.exponent_bits : 0;
  if (is_grey(settings.color)) info.num_color_channels = 1;
  s.runner.notify_basic_info(info);
  TESSARA_TRY(check_call(s.encoder, [&] { return JxlEncoderSetBasicInfo(s.encoder, &info); }));

  JxlColorEncoding color;
  const JXL_BOOL grey = is_grey(settings.color);
  if (settings.color == EncoderColorEncoding::Srgb ||
      settings.color == EncoderColorEncoding::SrgbGrey) {
    JxlColorEncodingSetToSRGB(&color, grey);
  } else {
    JxlColorEncodingSetToLinearSRGB(&color, grey);
  }
  return check_call(s.encoder, [&] { return JxlEncoderSetColorEncoding(s.encoder, &color); });
}

// Our own buffer growth may fail; that is AllocationFailed, and so is a size
// that cannot double.
Result<std::vector<uint8_t>, EncodeError> drain_output(JxlEncoder* encoder) noexcept {
  std::vector<uint8_t> buffer;
  if (!try_resize(buffer, kInitialOutputSize)) return Err{EncodeError::AllocationFailed};
  uint8_t* next_out = buffer.data();
  size_t avail_out = buffer.size();
  auto process = [&] {
    return allocating_call([&] { return JxlEncoderProcessOutput(encoder, &next_out, &avail_out); });
  };
  std::optional<JxlEncoderStatus> status = process();
  while (status == JXL_ENC_NEED_MORE_OUTPUT) {
    const size_t written = static_cast<size_t>(next_out - buffer.data());
    if (buffer.size() > buffer.max_size() / 2 || !try_resize(buffer, buffer.size() * 2)) {
      return Err{EncodeError::AllocationFailed};
    }
    next_out = buffer.data() + written;
    avail_out = buffer.size() - written;
    status = process();
  }
  if (!status) return Err{EncodeError::AllocationFailed};
  if (*status != JXL_ENC_SUCCESS) return Err{error_of_code(JxlEncoderGetError(encoder))};
  const size_t written = std::min(static_cast<size_t>(next_out - buffer.data()), buffer.size());
  buffer.resize(written);
  try_shrink_to_fit(buffer);
  return buffer;
}

Result<std::vector<uint8_t>, EncodeError> collect_output(const Session& s) noexcept {
  JxlEncoderCloseInput(s.encoder);
  auto output = drain_output(s.encoder);
  if (output.ok()) {
    // Reset frees the old frame settings and forgets that boxes were enabled;
    // the next run re-applies every setting.
    JxlEncoderReset(s.encoder);
    s.frame_settings =
        allocating_call([&] { return JxlEncoderFrameSettingsCreate(s.encoder, nullptr); })
            .value_or(nullptr);
    s.boxes_enabled = false;
  }
  return output;
}

template <typename T>
Status<EncodeError> check_samples(const EncoderSettings& settings, PixelFrame<T> frame,
                                  uint32_t width, uint32_t height) noexcept {
  if constexpr (std::is_same_v<T, float>) {
    const uint64_t pixels = uint64_t{width} * height;
    // A shorter frame is refused by libjxl before it reads any sample.
    if (settings.lossless || frame.channels == 0 || pixels > frame.count / frame.channels) {
      return {};
    }
    if (!all_within({frame.data, static_cast<size_t>(pixels) * frame.channels}, kLossyFloatLimit)) {
      return Err{EncodeError::BadInput};
    }
  }
  return {};
}

template <typename T>
Result<std::vector<uint8_t>, EncodeError> encode_frame(const Session& s, PixelFrame<T> frame,
                                                       uint32_t width, uint32_t height) noexcept {
  constexpr SampleLayout layout = layout_of<T>();
  TESSARA_TRY(apply_frame_settings(s, Distance::Apply));
  TESSARA_TRY(declare_image(s, layout, width, height));
  TESSARA_TRY(check_samples(s.settings, frame, width, height));
  const JxlPixelFormat format{frame.channels, layout.type, JXL_NATIVE_ENDIAN, 0};
  TESSARA_TRY(check_call(s.encoder, [&] {
    return JxlEncoderAddImageFrame(s.frame_settings, &format, frame.data, frame.count * sizeof(T));
  }));
  return collect_output(s);
}

// The basic info and colour of a SampleFrame: its own depth, alpha at the
// same depth, and its profile (or sRGB, linear for floats).
Status<EncodeError> declare_samples(const Session& s, const SampleFrame& frame,
                                    const JxlColorEncoding* encoding) noexcept {
  const KindLayout& kind = layout_of(frame.kind);
  const auto stored = static_cast<uint32_t>(kind.size * 8);
  const bool alpha = frame.channels % 2 == 0;
  const bool grey = frame.channels <= 2;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.have_container = s.settings.use_container;
  info.xsize = frame.width;
  info.ysize = frame.height;
  info.bits_per_sample = frame.bits != 0 ? frame.bits : stored;
  info.exponent_bits_per_sample = kind.exponent_bits;
  // Lossless coding keeps the samples only in their own colour space.
  info.uses_original_profile = s.settings.uses_original_profile || s.settings.lossless;
  info.orientation = s.settings.orientation;
  info.num_color_channels = grey ? 1 : 3;
  info.num_extra_channels = alpha ? 1 : 0;
  info.alpha_bits = alpha ? info.bits_per_sample : 0;
  info.alpha_exponent_bits = alpha ? info.exponent_bits_per_sample : 0;
  s.runner.notify_basic_info(info);
  TESSARA_TRY(check_call(s.encoder, [&] { return JxlEncoderSetBasicInfo(s.encoder, &info); }));
  if (encoding != nullptr) {
    JxlColorEncoding named = *encoding;
    named.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    return check_call(s.encoder, [&] { return JxlEncoderSetColorEncoding(s.encoder, &named); });
  }
  if (!frame.icc.empty()) return declare_profile(s.encoder, frame.icc, s.settings.lossless, grey);
  JxlColorEncoding color;
  if (kind.exponent_bits == 0) {
    JxlColorEncodingSetToSRGB(&color, grey);
  } else {
    JxlColorEncodingSetToLinearSRGB(&color, grey);
  }
  return check_call(s.encoder, [&] { return JxlEncoderSetColorEncoding(s.encoder, &color); });
}

// Bytes a frame of this size holds, or 0 when the count overflows.
uint64_t frame_bytes(const SampleFrame& frame) noexcept {
  const uint64_t size = layout_of(frame.kind).size;
  const uint64_t pixels = uint64_t{frame.width} * frame.height;
  if (frame.channels == 0 || pixels > UINT64_MAX / size / frame.channels) return 0;
  return pixels * frame.channels * size;
}

template <typename T>
std::span<const T> samples_as(const SampleFrame& frame) noexcept {
  // The caller's buffer holds samples of this type (checked by size); an
  // exporter's memory is aligned for its items.
  return {reinterpret_cast<const T*>(frame.bytes.data()), frame.bytes.size() / sizeof(T)};
}

}  // namespace

FrameProblem check_frame(const SampleFrame& frame, bool lossless) noexcept {
  const KindLayout& kind = layout_of(frame.kind);
  const auto stored = static_cast<uint32_t>(kind.size * 8);
  if (frame.width == 0 || frame.height == 0 || frame.channels == 0 || frame.channels > 4 ||
      frame_bytes(frame) != frame.bytes.size()) {
    return FrameProblem::Shape;
  }
  // libjxl takes 16-bit samples at 9 bits and more only.
  const uint32_t fewest = stored > 8 ? 9 : 1;
  if (frame.bits != 0 && (kind.exponent_bits != 0 || frame.bits > stored || frame.bits < fewest)) {
    return FrameProblem::Shape;
  }
  if (frame.bits != 0 && frame.bits < stored) {
    const uint32_t top = (uint32_t{1} << frame.bits) - 1;
    const uint32_t max = frame.kind == SampleKind::Uint8 ? max_sample(samples_as<uint8_t>(frame))
                                                          : max_sample(samples_as<uint16_t>(frame));
    if (max > top) return FrameProblem::AboveDepth;
  }
  if (frame.kind == SampleKind::Float && !lossless &&
      !all_within(samples_as<float>(frame), kLossyFloatLimit)) {
    return FrameProblem::NotFinite;
  }
  if (frame.kind == SampleKind::Float16) {
    const std::span<const uint16_t> halves = samples_as<uint16_t>(frame);
    if (!lossless && !halves_finite(halves)) return FrameProblem::NotFinite;
    if (lossless && has_unkept_half(halves)) return FrameProblem::UnkeptHalf;
  }
  return FrameProblem::None;
}

uint8_t effective_effort(uint8_t effort, bool lossless, const SampleFrame& frame) noexcept {
  const bool wide_integers = layout_of(frame.kind).exponent_bits == 0 &&
                             (frame.bits != 0 ? frame.bits : layout_of(frame.kind).size * 8) > 8;
  return lossless && effort == 1 && wide_integers ? 2 : effort;
}

EncoderDriver::EncoderDriver(JxlEncoderPtr encoder, const ThreadsRunner& runner,
                             const EncoderSettings& settings) noexcept
    : encoder_(std::move(encoder)), runner_(&runner), settings_(settings) {}

Result<EncoderDriver, EncodeError> EncoderDriver::create(const ThreadsRunner& runner,
                                                         const EncoderSettings& settings) noexcept {
  const std::optional<JxlEncoder*> created =
      allocating_call([] { return JxlEncoderCreate(nullptr); });
  if (!created) return Err{EncodeError::AllocationFailed};
  JxlEncoderPtr encoder(*created);
  if (!encoder) return Err{EncodeError::CannotCreateEncoder};
  EncoderDriver driver(std::move(encoder), runner, settings);
  const std::optional<JxlEncoderFrameSettings*> frame_settings = allocating_call(
      [&] { return JxlEncoderFrameSettingsCreate(driver.encoder_.get(), nullptr); });
  if (!frame_settings) return Err{EncodeError::AllocationFailed};
  driver.frame_settings_ = *frame_settings;
  if (driver.frame_settings_ == nullptr) return Err{EncodeError::CannotCreateEncoder};
  return driver;
}

Status<EncodeError> EncoderDriver::add_box(BoxKind kind, std::span<const uint8_t> contents,
                                           bool compress) noexcept {
  JxlEncoder* enc = encoder_.get();
  if (!boxes_enabled_) {
    TESSARA_TRY(check_call(enc, [&] { return JxlEncoderUseBoxes(enc); }));
    boxes_enabled_ = true;
  }
  const char* type = kind == BoxKind::Exif ? "Exif" : kind == BoxKind::Xml ? "xml " : "jumb";
  JxlBoxType box_type = {type[0], type[1], type[2], type[3]};
  return check_call(enc, [&] {
    return JxlEncoderAddBox(enc, box_type, contents.data(), contents.size(),
                            compress ? JXL_TRUE : JXL_FALSE);
  });
}

Result<std::vector<uint8_t>, EncodeError> EncoderDriver::encode_pixels(
    PixelFrame<uint8_t> frame, uint32_t width, uint32_t height) noexcept {
  return encode_frame(
      Session{encoder_.get(), frame_settings_, boxes_enabled_, *runner_, settings_, effort_}, frame,
      width, height);
}

Result<std::vector<uint8_t>, EncodeError> EncoderDriver::encode_pixels(
    PixelFrame<uint16_t> frame, uint32_t width, uint32_t height) noexcept {
  // 16-bit samples: the same move away from lossless effort 1 as for arrays
  // (that effort corrupts libjxl's heap); the file differs, not its pixels.
  const uint8_t effort = settings_.lossless && effort_ == 1 ? 2 : effort_;
  return encode_frame(
      Session{encoder_.get(), frame_settings_, boxes_enabled_, *runner_, settings_, effort}, frame,
      width, height);
}

Result<std::vector<uint8_t>, EncodeError> EncoderDriver::encode_pixels(
    PixelFrame<float> frame, uint32_t width, uint32_t height) noexcept {
  return encode_frame(
      Session{encoder_.get(), frame_settings_, boxes_enabled_, *runner_, settings_, effort_}, frame,
      width, height);
}

Result<std::vector<uint8_t>, EncodeError> EncoderDriver::encode_samples(
    const SampleFrame& frame, const JxlColorEncoding* encoding) noexcept {
  if (check_frame(frame, settings_.lossless) != FrameProblem::None) {
    return Err{EncodeError::BadInput};
  }
  const Session s{encoder_.get(),   frame_settings_, boxes_enabled_, *runner_, settings_,
                  effective_effort(effort_, settings_.lossless, frame)};
  TESSARA_TRY(apply_frame_settings(s, Distance::Apply));
  TESSARA_TRY(apply_progression(s.encoder, s.frame_settings, progression_));
  TESSARA_TRY(declare_samples(s, frame, encoding));
  if (frame.bits != 0 && frame.bits < layout_of(frame.kind).size * 8) {
    // Narrowed integers are given as stored (a 12-bit sample as 0..4095),
    // not spread over their type's range.
    const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
    TESSARA_TRY(check(s.encoder, JxlEncoderSetFrameBitDepth(s.frame_settings, &depth)));
  }
  const JxlPixelFormat format = pixel_format(frame.channels, frame.kind);
  TESSARA_TRY(check_call(s.encoder, [&] {
    return JxlEncoderAddImageFrame(s.frame_settings, &format, frame.bytes.data(),
                                   frame.bytes.size());
  }));
  return collect_output(s);
}

Result<std::vector<uint8_t>, EncodeError> EncoderDriver::encode_jpeg(
    std::span<const uint8_t> jpeg) noexcept {
  const Session s{encoder_.get(), frame_settings_, boxes_enabled_, *runner_, settings_, effort_};
  TESSARA_TRY(apply_frame_settings(s, Distance::Skip));
  TESSARA_TRY(
      check_call(s.encoder, [&] { return JxlEncoderStoreJPEGMetadata(s.encoder, JXL_TRUE); }));
  TESSARA_TRY(check_call(s.encoder, [&] {
    return JxlEncoderAddJPEGFrame(s.frame_settings, jpeg.data(), jpeg.size());
  }));
  return collect_output(s);
}

}  // namespace tessara
