// The full-precision decode on the decoder driver, and the header read on
// libjxl's events up to the colour encoding.
#include "codec/arrays.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <cmath>
#include <new>
#include <utility>
#include <variant>

#include "codec/boxes.h"
#include "codec/decoder.h"
#include "codec/memory.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using Kind = DecodeError::Kind;

// Memory for the samples as libjxl decodes them, no conversion; the same
// memory for every frame of an animation.
class OwnedSamples final : public SampleStore {
 public:
  SamplePlacement place(SampleKind, uint32_t, size_t bytes) noexcept override {
    if (!memory_ || size_ != bytes) {
      memory_.reset(new (std::nothrow) uint8_t[bytes]);
      size_ = memory_ ? bytes : 0;
    }
    return {memory_.get(), nullptr, 0};
  }
  std::unique_ptr<uint8_t[]> take() noexcept { return std::move(memory_); }

 private:
  std::unique_ptr<uint8_t[]> memory_;
  size_t size_ = 0;
};

}  // namespace

Result<ArrayImage, DecodeError> decode_full_precision(std::span<const uint8_t> data,
                                                     const ThreadsRunner* runner,
                                                     uint64_t max_pixels) noexcept {
  DecoderOptions options;
  options.want_icc = false;
  options.reconstruct_jpeg = false;
  options.full_precision = true;
  options.max_pixels = max_pixels;
  options.runner = runner;
  auto driver = options.build();
  if (!driver) return Err{driver.error()};
  OwnedSamples store;
  auto decoded = driver.value().decode_or_reconstruct(data, store);
  if (!decoded) return Err{decoded.error()};
  const DecodeMetadata& meta = decoded.value().metadata;
  const auto* pixels = std::get_if<PixelSamples>(&decoded.value().image.content);
  if (pixels == nullptr) return Err{DecodeError::of(Kind::DecoderFailure)};  // not asked for
  ArrayImage image;
  image.bytes = pixels->bytes.size();
  image.kind = pixels->kind;
  image.width = meta.width;
  image.height = meta.height;
  image.channels = pixels->channels;
  image.samples = store.take();
  if (meta.exponent_bits_per_sample == 0 && image.kind == SampleKind::Float) {
    // libjxl hands integers out as floats only over 0..1; back to the values
    // stored (exact up to 24 bits).
    const float top = static_cast<float>(std::ldexp(1.0, static_cast<int>(meta.bits_per_sample)) - 1);
    scale_and_round({reinterpret_cast<float*>(image.samples.get()), image.bytes / sizeof(float)},
                    top);
  }
  return image;
}

Result<ImageHeader, DecodeError> read_header(std::span<const uint8_t> data) noexcept {
  const JxlSignature signature = JxlSignatureCheck(data.data(), data.size());
  if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) {
    return Err{DecodeError::of(Kind::NotJpegXl)};
  }
  const std::optional<JxlDecoder*> created =
      allocating_call([] { return JxlDecoderCreate(nullptr); });
  if (!created) return Err{DecodeError::of(Kind::OutOfMemory)};
  JxlDecoderPtr owned(*created);
  JxlDecoder* dec = owned.get();
  if (dec == nullptr) return Err{DecodeError::of(Kind::DecoderCreateFailed)};
  const int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING;
  // libjxl reports the orientation as 1 once it applies it; kept, the file's
  // own is reported and the sizes are swapped here instead.
  if (JxlDecoderSubscribeEvents(dec, events) != JXL_DEC_SUCCESS ||
      JxlDecoderSetKeepOrientation(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec, data.data(), data.size()) != JXL_DEC_SUCCESS) {
    return Err{DecodeError::of(Kind::DecoderFailure)};
  }
  JxlDecoderCloseInput(dec);
  ImageHeader header;
  // Its box may follow the first part of the codestream, which libjxl would
  // only reach by decoding on.
  header.jpeg_reconstruction = has_box(data, {'j', 'b', 'r', 'd'});
  for (;;) {
    const std::optional<JxlDecoderStatus> status =
        allocating_call([&] { return JxlDecoderProcessInput(dec); });
    if (!status) return Err{DecodeError::of(Kind::OutOfMemory)};
    switch (*status) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(dec, &header.info) != JXL_DEC_SUCCESS) {
          return Err{DecodeError::of(Kind::DecoderFailure)};
        }
        if (header.info.orientation >= JXL_ORIENT_TRANSPOSE) {
          std::swap(header.info.xsize, header.info.ysize);
        }
        break;
      case JXL_DEC_COLOR_ENCODING: {
        size_t size = 0;
        const auto target = JXL_COLOR_PROFILE_TARGET_DATA;
        const std::optional<JxlDecoderStatus> sized = allocating_call(
            [&] { return JxlDecoderGetICCProfileSize(dec, target, &size); });
        if (!sized) return Err{DecodeError::of(Kind::OutOfMemory)};
        if (*sized != JXL_DEC_SUCCESS) return Err{DecodeError::of(Kind::DecoderFailure)};
        if (!try_resize(header.icc, size)) return Err{DecodeError::of(Kind::OutOfMemory)};
        const std::optional<JxlDecoderStatus> got = allocating_call([&] {
          return JxlDecoderGetColorAsICCProfile(dec, target, header.icc.data(), size);
        });
        if (!got) return Err{DecodeError::of(Kind::OutOfMemory)};
        if (*got != JXL_DEC_SUCCESS) return Err{DecodeError::of(Kind::DecoderFailure)};
        return header;
      }
      // Closed input: a request for more is a truncated file.
      case JXL_DEC_NEED_MORE_INPUT:
      case JXL_DEC_ERROR: return Err{DecodeError::of(Kind::DecoderFailure)};
      default: return Err{DecodeError::unexpected(*status)};
    }
  }
}

}  // namespace tessara
