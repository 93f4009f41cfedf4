// The decoder driver over libjxl's event loop: the whole input at once, one
// small handler per event over the state of one decode.
#include "codec/decoder.h"

#include <atomic>
#include <utility>

#include "codec/fault.h"
#include "codec/memory.h"

namespace tessara {

namespace {

using Kind = DecodeError::Kind;
using Check = Status<DecodeError>;

Check check_status(JxlDecoderStatus status) noexcept {
  if (status == JXL_DEC_SUCCESS) return {};
  if (status == JXL_DEC_ERROR) return Err{DecodeError::of(Kind::DecoderFailure)};
  return Err{DecodeError::unexpected(status)};
}

Check out_of_memory() noexcept { return Err{DecodeError::of(Kind::OutOfMemory)}; }

// A libjxl call that may allocate: running out of memory there is
// OutOfMemory, not a decoder failure.
template <typename Call>
Check check_call(Call&& call) noexcept {
  const std::optional<JxlDecoderStatus> status = allocating_call(call);
  if (!status) return out_of_memory();
  return check_status(*status);
}

// Where libjxl's runs of decoded samples are converted to: the frame as the
// store holds it, `width` x `height` pixels of `channels` samples.
struct ConvertedRows {
  SamplePlacement at;
  size_t width = 0;
  size_t height = 0;
  uint32_t channels = 0;
  // Set if libjxl ever hands over a run outside the frame: the decode then
  // fails rather than hand out memory nothing wrote.
  std::atomic<bool> outside{false};
};

void* rows_init(void* rows, size_t /*threads*/, size_t /*pixels*/) noexcept { return rows; }
// libjxl 0.11 refuses a null destroy callback, whatever its header says.
void rows_destroy(void* /*rows*/) noexcept {}

void rows_run(void* opaque, size_t /*thread*/, size_t x, size_t y, size_t pixels,
              const void* samples) noexcept {
  auto& rows = *static_cast<ConvertedRows*>(opaque);
  if (y >= rows.height || x > rows.width || pixels > rows.width - x) {
    rows.outside.store(true, std::memory_order_relaxed);
    return;
  }
  const size_t first = (y * rows.width + x) * rows.channels;
  rows.at.convert(static_cast<const uint8_t*>(samples),
                  rows.at.memory + first * rows.at.out_sample_size, pixels * rows.channels);
}

// Everything one decode gathers between the signature check and success.
struct Decode {
  Decode(JxlDecoder* decoder, const DecoderOptions& o, SampleStore& s) noexcept
      : dec(decoder), options(o), store(s) {}

  JxlDecoder* dec;
  const DecoderOptions& options;
  SampleStore& store;
  JxlBasicInfo info{};
  std::vector<uint8_t> icc;
  std::vector<uint8_t> jpeg;  // stays empty unless the file carries reconstruction data
  PixelSamples pixels;
  ConvertedRows rows;
};

Check on_basic_info(Decode& d) noexcept {
  if (Check s = check_status(JxlDecoderGetBasicInfo(d.dec, &d.info)); !s) return s;
  if (TESSARA_INJECT(ColourChannels)) d.info.num_color_channels = 2;
  if (d.options.runner != nullptr) d.options.runner->notify_basic_info(d.info);
  return {};
}

// The profile of the pixels as delivered, which may differ from the file's.
Check on_color_encoding(Decode& d) noexcept {
  size_t size = 0;
  if (Check s = check_call([&] {
        return JxlDecoderGetICCProfileSize(d.dec, JXL_COLOR_PROFILE_TARGET_DATA, &size);
      });
      !s) {
    return s;
  }
  if (!try_resize(d.icc, size)) return out_of_memory();
  return check_call([&] {
    return JxlDecoderGetColorAsICCProfile(d.dec, JXL_COLOR_PROFILE_TARGET_DATA, d.icc.data(),
                                          d.icc.size());
  });
}

Check on_image_out_buffer(Decode& d) noexcept {
  const std::optional<SampleKind> decoded =
      decoded_kind(d.info.bits_per_sample, d.info.exponent_bits_per_sample);
  if (!decoded) return Err{DecodeError::bit_width(d.info.bits_per_sample)};
  const SampleKind kind = *decoded;
  const uint32_t channels = channels_of(d.info);
  const JxlPixelFormat format = pixel_format(channels, kind);
  size_t bytes = 0;
  if (Check s = check_status(JxlDecoderImageOutBufferSize(d.dec, &format, &bytes)); !s) return s;
  const SamplePlacement at = d.store.place(kind, channels, bytes);
  if (at.memory == nullptr) return out_of_memory();
  if (at.convert == nullptr) {
    d.pixels = PixelSamples{kind, channels, {at.memory, bytes}};
    return check_call([&] { return JxlDecoderSetImageOutBuffer(d.dec, &format, at.memory, bytes); });
  }
  // Converted as libjxl writes each run, on its worker threads, while the
  // samples are still in cache; the decoded layout never takes memory.
  const size_t count = bytes / PixelSamples::sample_size(kind);
  d.pixels = PixelSamples{kind, channels, {at.memory, count * at.out_sample_size}};
  d.rows.at = at;
  d.rows.width = d.info.xsize;
  d.rows.height = d.info.ysize;
  d.rows.channels = channels;
  return check_call([&] {
    return JxlDecoderSetMultithreadedImageOutCallback(d.dec, &format, rows_init, rows_run,
                                                      rows_destroy, &d.rows);
  });
}

Check on_jpeg_reconstruction(Decode& d) noexcept {
  if (!try_resize(d.jpeg, d.options.initial_jpeg_buffer_size)) return out_of_memory();
  return check_status(JxlDecoderSetJPEGBuffer(d.dec, d.jpeg.data(), d.jpeg.size()));
}

// libjxl has filled the buffer it was given: keep what it wrote, double the
// buffer and hand over the unwritten tail.
Check on_jpeg_need_more_output(Decode& d) noexcept {
  std::vector<uint8_t>& jpeg = d.jpeg;
  const size_t unwritten = JxlDecoderReleaseJPEGBuffer(d.dec);
  const size_t written = unwritten <= jpeg.size() ? jpeg.size() - unwritten : jpeg.size();
  if (jpeg.size() > jpeg.max_size() / 2) return out_of_memory();
  if (!try_resize(jpeg, jpeg.size() < 4096 ? 4096 : jpeg.size() * 2)) return out_of_memory();
  return check_status(JxlDecoderSetJPEGBuffer(d.dec, jpeg.data() + written, jpeg.size() - written));
}

// Cuts the JPEG buffer to the bytes written (one that never started stays
// empty) and resets libjxl so that the driver can decode again.
Decoded on_success(Decode& d) noexcept {
  const size_t unwritten = JxlDecoderReleaseJPEGBuffer(d.dec);
  if (unwritten <= d.jpeg.size()) d.jpeg.resize(d.jpeg.size() - unwritten);
  try_shrink_to_fit(d.jpeg);
  JxlDecoderReset(d.dec);

  Decoded decoded;
  DecodeMetadata& meta = decoded.metadata;
  meta.width = d.info.xsize;
  meta.height = d.info.ysize;
  meta.num_color_channels = d.info.num_color_channels;
  meta.has_alpha = d.info.alpha_bits > 0;
  if (d.options.want_icc) meta.icc = std::move(d.icc);
  if (!d.jpeg.empty()) {
    decoded.image.content = std::move(d.jpeg);
  } else {
    decoded.image.content = d.pixels;
  }
  return decoded;
}

Check start(Decode& d, std::span<const uint8_t> data) noexcept {
  const JxlSignature signature = JxlSignatureCheck(data.data(), data.size());
  if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) {
    return Err{DecodeError::of(Kind::NotJpegXl)};
  }
  if (const ThreadsRunner* runner = d.options.runner) {
    if (Check s = check_status(
            JxlDecoderSetParallelRunner(d.dec, runner->runner_function(), runner->opaque()));
        !s) {
      return s;
    }
  }
  int events = JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE | JXL_DEC_JPEG_RECONSTRUCTION;
  if (d.options.want_icc) events |= JXL_DEC_COLOR_ENCODING;
  if (Check s = check_status(JxlDecoderSubscribeEvents(d.dec, events)); !s) return s;
  if (Check s = check_status(JxlDecoderSetInput(d.dec, data.data(), data.size())); !s) return s;
  JxlDecoderCloseInput(d.dec);
  return {};
}

// One step of the event loop: the status libjxl returned, answered.
Check on_event(Decode& d, JxlDecoderStatus status) noexcept {
  switch (status) {
    case JXL_DEC_BASIC_INFO: return on_basic_info(d);
    case JXL_DEC_COLOR_ENCODING: return on_color_encoding(d);
    case JXL_DEC_NEED_IMAGE_OUT_BUFFER: return on_image_out_buffer(d);
    case JXL_DEC_JPEG_RECONSTRUCTION: return on_jpeg_reconstruction(d);
    case JXL_DEC_JPEG_NEED_MORE_OUTPUT: return on_jpeg_need_more_output(d);
    case JXL_DEC_FRAME:
    case JXL_DEC_FULL_IMAGE:
    case JXL_DEC_FRAME_PROGRESSION: return {};
    case JXL_DEC_ERROR:
    // The input is closed, so a request for more means a truncated file.
    case JXL_DEC_NEED_MORE_INPUT: return Err{DecodeError::of(Kind::DecoderFailure)};
    case JXL_DEC_NEED_PREVIEW_OUT_BUFFER: return Err{DecodeError::missing("preview image output")};
    case JXL_DEC_BOX_NEED_MORE_OUTPUT: return Err{DecodeError::missing("box output")};
    case JXL_DEC_PREVIEW_IMAGE: return Err{DecodeError::missing("preview image")};
    case JXL_DEC_BOX: return Err{DecodeError::missing("box handling")};
    case JXL_DEC_BOX_COMPLETE: return Err{DecodeError::missing("box complete")};
    default: return Err{DecodeError::unexpected(status)};
  }
}

}  // namespace

Result<DecoderDriver, DecodeError> DecoderOptions::build() const noexcept {
  const std::optional<JxlDecoder*> created =
      allocating_call([] { return JxlDecoderCreate(nullptr); });
  if (!created) return Err{DecodeError::of(Kind::OutOfMemory)};
  JxlDecoderPtr decoder(*created);
  if (!decoder) return Err{DecodeError::of(Kind::DecoderCreateFailed)};
  return DecoderDriver(std::move(decoder), *this);
}

Result<Decoded, DecodeError> DecoderDriver::decode_or_reconstruct(std::span<const uint8_t> data,
                                                                  SampleStore& store) noexcept {
  Decode d{decoder_.get(), options_, store};
  Check step = start(d, data);
  while (step) {
    const std::optional<JxlDecoderStatus> processed =
        allocating_call([&] { return JxlDecoderProcessInput(d.dec); });
    if (!processed) {
      step = out_of_memory();
      break;
    }
    JxlDecoderStatus status = *processed;
    if (status == JXL_DEC_FULL_IMAGE && TESSARA_INJECT(DecoderStatus)) {
      status = static_cast<JxlDecoderStatus>(0x7fff);
    }
    if (status == JXL_DEC_SUCCESS) {
      if (!d.rows.outside.load(std::memory_order_relaxed)) return on_success(d);
      step = Err{DecodeError::of(Kind::DecoderFailure)};
      break;
    }
    step = on_event(d, status);
  }
  // libjxl may still point into buffers dropped with `d`; a reset forgets
  // them and leaves the driver able to decode again.
  JxlDecoderReset(d.dec);
  return Err{step.error()};
}

}  // namespace tessara
