// The decoder driver over libjxl's event loop: whole input at once, every
// status answered, buffers sized by libjxl and grown by us only for JPEGs.
#include "codec/decoder.h"

#include <new>
#include <utility>

namespace tessara {

namespace {

using Kind = DecodeError::Kind;
using Check = Status<DecodeError>;

Check check_status(JxlDecoderStatus status) noexcept {
  if (status == JXL_DEC_SUCCESS) return {};
  if (status == JXL_DEC_ERROR) return Err{DecodeError::of(Kind::DecoderFailure)};
  return Err{DecodeError::unexpected(status)};
}

Result<JxlDataType, DecodeError> sample_type(const JxlBasicInfo& info) noexcept {
  const uint32_t bits = info.bits_per_sample;
  if (info.exponent_bits_per_sample != 0) {
    if (bits == 16) return JXL_TYPE_FLOAT16;
    if (bits == 32) return JXL_TYPE_FLOAT;
    return Err{DecodeError::bit_width(bits)};
  }
  if (bits <= 8) return JXL_TYPE_UINT8;
  if (bits <= 16) return JXL_TYPE_UINT16;
  if (bits == 32) return JXL_TYPE_FLOAT;
  return Err{DecodeError::bit_width(bits)};
}

PixelSamples::Kind samples_kind(JxlDataType type) noexcept {
  switch (type) {
    case JXL_TYPE_FLOAT: return PixelSamples::Kind::Float;
    case JXL_TYPE_UINT16: return PixelSamples::Kind::Uint16;
    case JXL_TYPE_FLOAT16: return PixelSamples::Kind::Float16;
    default: return PixelSamples::Kind::Uint8;
  }
}

template <typename T>
void* resize_for(std::vector<T>& samples, size_t bytes) {
  samples.resize((bytes + sizeof(T) - 1) / sizeof(T));
  return samples.data();
}

// libjxl writes straight into the vector of the samples' kind; a shrink
// keeps the leading samples.
void* resize_samples(PixelSamples& pixels, size_t bytes) {
  switch (pixels.kind) {
    case PixelSamples::Kind::Uint8: return resize_for(pixels.u8, bytes);
    case PixelSamples::Kind::Uint16:
    case PixelSamples::Kind::Float16: return resize_for(pixels.u16, bytes);
    case PixelSamples::Kind::Float: return resize_for(pixels.f32, bytes);
  }
  return nullptr;
}

// Asked once per frame written, so an animation leaves its last frame.
Check set_image_out_buffer(JxlDecoder* dec, const JxlBasicInfo& info, SampleStore* store,
                           std::optional<JxlPixelFormat>& format, PixelSamples& pixels) {
  auto type = sample_type(info);
  if (!type.ok()) return Err{type.error()};
  const uint32_t channels = info.num_color_channels + (info.alpha_bits > 0 ? 1 : 0);
  const JxlPixelFormat pixel_format{channels, type.value(), JXL_NATIVE_ENDIAN, 0};
  size_t bytes = 0;
  if (auto s = check_status(JxlDecoderImageOutBufferSize(dec, &pixel_format, &bytes)); !s) {
    return s;
  }
  pixels.kind = samples_kind(pixel_format.data_type);
  bool failed = false;
  uint8_t* placed = store ? store->place(pixels.kind, channels, bytes, failed) : nullptr;
  if (failed) return Err{DecodeError::of(Kind::OutOfMemory)};
  pixels.placed = placed ? std::span<uint8_t>(placed, bytes) : std::span<uint8_t>();
  void* buffer = placed ? placed : resize_samples(pixels, bytes);
  if (auto s = check_status(JxlDecoderSetImageOutBuffer(dec, &pixel_format, buffer, bytes)); !s) {
    return s;
  }
  format = pixel_format;
  return {};
}

// The profile of the pixels as delivered, which may differ from the file's.
Check fetch_icc(JxlDecoder* dec, std::vector<uint8_t>& icc) {
  size_t size = 0;
  if (auto s = check_status(JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_DATA, &size));
      !s) {
    return s;
  }
  icc.resize(size);
  return check_status(
      JxlDecoderGetColorAsICCProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, icc.data(), icc.size()));
}

Check start_jpeg_buffer(JxlDecoder* dec, std::vector<uint8_t>& jpeg, size_t initial_size) {
  jpeg.assign(initial_size, 0);
  return check_status(JxlDecoderSetJPEGBuffer(dec, jpeg.data(), jpeg.size()));
}

// libjxl has filled the buffer it was given: keep what it wrote, double the
// buffer and hand over the unwritten tail.
Check grow_jpeg_buffer(JxlDecoder* dec, std::vector<uint8_t>& jpeg) {
  const size_t unwritten = JxlDecoderReleaseJPEGBuffer(dec);
  const size_t written = unwritten <= jpeg.size() ? jpeg.size() - unwritten : jpeg.size();
  const size_t grown = jpeg.size() < 4096 ? 4096 : jpeg.size() * 2;
  if (grown <= jpeg.size()) throw std::bad_alloc();
  jpeg.resize(grown);
  return check_status(JxlDecoderSetJPEGBuffer(dec, jpeg.data() + written, jpeg.size() - written));
}

// Cuts the buffer to the bytes written; one that never started stays empty.
void finish_jpeg_buffer(JxlDecoder* dec, std::vector<uint8_t>& jpeg) {
  const size_t unwritten = JxlDecoderReleaseJPEGBuffer(dec);
  if (unwritten <= jpeg.size()) jpeg.resize(jpeg.size() - unwritten);
  jpeg.shrink_to_fit();
}

DecodeMetadata metadata_of(const JxlBasicInfo& info, std::optional<std::vector<uint8_t>> icc) {
  DecodeMetadata metadata;
  metadata.width = info.xsize;
  metadata.height = info.ysize;
  metadata.num_color_channels = info.num_color_channels;
  metadata.has_alpha = info.alpha_bits > 0;
  metadata.icc = std::move(icc);
  return metadata;
}

}  // namespace

size_t PixelSamples::size() const noexcept {
  if (!placed.empty()) {
    return placed.size() / (kind == Kind::Uint8 ? 1 : kind == Kind::Float ? 4 : 2);
  }
  switch (kind) {
    case Kind::Uint8: return u8.size();
    case Kind::Uint16:
    case Kind::Float16: return u16.size();
    case Kind::Float: return f32.size();
  }
  return 0;
}

std::span<const uint8_t> PixelSamples::bytes() const noexcept {
  if (!placed.empty()) return placed;
  switch (kind) {
    case Kind::Uint8: return u8;
    case Kind::Uint16:
    case Kind::Float16: return {reinterpret_cast<const uint8_t*>(u16.data()), u16.size() * 2};
    case Kind::Float: return {reinterpret_cast<const uint8_t*>(f32.data()), f32.size() * 4};
  }
  return {};
}

Result<DecoderDriver, DecodeError> DecoderOptions::build() const noexcept {
  JxlDecoderPtr decoder(JxlDecoderCreate(nullptr));
  if (!decoder) return Err{DecodeError::of(Kind::DecoderCreateFailed)};
  return DecoderDriver(std::move(decoder), *this);
}

Result<Decoded, DecodeError> DecoderDriver::decode_or_reconstruct(
    std::span<const uint8_t> data) noexcept {
  std::vector<uint8_t> jpeg;
  std::optional<JxlPixelFormat> format;
  PixelSamples pixels;
  auto metadata = run_decoder(data, options_.want_icc, &jpeg, format, pixels);
  if (!metadata.ok()) {
    // libjxl may still point into the buffers dropped here; a reset forgets
    // them and leaves the driver able to decode again.
    JxlDecoderReset(decoder_.get());
    return Err{metadata.error()};
  }
  Decoded decoded{std::move(metadata).value(), DecodedImage{}};
  if (!jpeg.empty()) {
    decoded.image.content = std::move(jpeg);
  } else {
    decoded.image.content = std::move(pixels);
  }
  return decoded;
}

Result<DecodeMetadata, DecodeError> DecoderDriver::run_decoder(
    std::span<const uint8_t> data, bool want_icc, std::vector<uint8_t>* jpeg,
    std::optional<JxlPixelFormat>& format, PixelSamples& pixels) {
  JxlDecoder* dec = decoder_.get();
  const JxlSignature signature = JxlSignatureCheck(data.data(), data.size());
  if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) {
    return Err{DecodeError::of(Kind::NotJpegXl)};
  }
  std::optional<std::vector<uint8_t>> icc;
  if (want_icc) icc.emplace();
  info_ = {};
  const ThreadsRunner* runner = options_.runner;

  if (runner != nullptr) {
    const Check s =
        check_status(JxlDecoderSetParallelRunner(dec, runner->runner_function(), runner->opaque()));
    if (!s) return Err{s.error()};
  }
  int events = JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE;
  if (want_icc) events |= JXL_DEC_COLOR_ENCODING;
  if (jpeg != nullptr) events |= JXL_DEC_JPEG_RECONSTRUCTION;
  if (const Check s = check_status(JxlDecoderSubscribeEvents(dec, events)); !s) {
    return Err{s.error()};
  }
  if (const Check s = check_status(JxlDecoderSetInput(dec, data.data(), data.size())); !s) {
    return Err{s.error()};
  }
  JxlDecoderCloseInput(dec);

  try {
    for (;;) {
      const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
      Check step;
      switch (status) {
        case JXL_DEC_SUCCESS:
          if (jpeg != nullptr) finish_jpeg_buffer(dec, *jpeg);
          JxlDecoderReset(dec);
          return metadata_of(info_, std::move(icc));
        case JXL_DEC_ERROR:
        // The input is closed, so a request for more means a truncated file.
        case JXL_DEC_NEED_MORE_INPUT: return Err{DecodeError::of(Kind::DecoderFailure)};
        case JXL_DEC_NEED_PREVIEW_OUT_BUFFER:
          return Err{DecodeError::missing("preview image output")};
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
          step = set_image_out_buffer(dec, info_, options_.sample_store, format, pixels);
          break;
        case JXL_DEC_JPEG_NEED_MORE_OUTPUT:
          if (jpeg == nullptr) return Err{DecodeError::unexpected(status)};
          step = grow_jpeg_buffer(dec, *jpeg);
          break;
        case JXL_DEC_BOX_NEED_MORE_OUTPUT: return Err{DecodeError::missing("box output")};
        case JXL_DEC_BASIC_INFO:
          step = check_status(JxlDecoderGetBasicInfo(dec, &info_));
          if (step && runner != nullptr) runner->notify_basic_info(info_);
          break;
        case JXL_DEC_COLOR_ENCODING:
          if (!icc) return Err{DecodeError::unexpected(status)};
          step = fetch_icc(dec, *icc);
          break;
        case JXL_DEC_PREVIEW_IMAGE: return Err{DecodeError::missing("preview image")};
        case JXL_DEC_FRAME:
        case JXL_DEC_FULL_IMAGE:
        case JXL_DEC_FRAME_PROGRESSION: break;
        case JXL_DEC_JPEG_RECONSTRUCTION:
          if (jpeg == nullptr) return Err{DecodeError::unexpected(status)};
          step = start_jpeg_buffer(dec, *jpeg, options_.initial_jpeg_buffer_size);
          break;
        case JXL_DEC_BOX: return Err{DecodeError::missing("box handling")};
        case JXL_DEC_BOX_COMPLETE: return Err{DecodeError::missing("box complete")};
        default: return Err{DecodeError::unexpected(status)};
      }
      if (!step) return Err{step.error()};
    }
  } catch (const std::bad_alloc&) {
    return Err{DecodeError::of(Kind::OutOfMemory)};
  }
}

}  // namespace tessara
