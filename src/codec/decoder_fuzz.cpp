// libFuzzer target for the decoder driver: any input ends in a result or a
// DecodeError, and a result's buffers match the image it describes.
#include <cstdlib>

#include "codec/decoder.h"

namespace {

// libjxl allocates for the declared size before failing, so giant headers
// would only measure the machine's memory; such inputs are skipped.
bool small_enough(const uint8_t* data, size_t size) {
  JxlDecoderPtr dec(JxlDecoderCreate(nullptr));
  if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec.get(), data, size) != JXL_DEC_SUCCESS) {
    return false;
  }
  JxlDecoderCloseInput(dec.get());
  JxlBasicInfo info;
  if (JxlDecoderProcessInput(dec.get()) != JXL_DEC_BASIC_INFO ||
      JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS) {
    return true;  // fails early anyway; still worth running through the driver
  }
  return uint64_t{info.xsize} * info.ysize <= (uint64_t{1} << 20) && info.num_extra_channels <= 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!small_enough(data, size)) return -1;
  tessara::DecoderOptions options;
  // A tiny first JPEG buffer makes every reconstruction take the growth path.
  options.initial_jpeg_buffer_size = size % 2 == 0 ? 16 : 512 * 1024;
  auto driver = options.build();
  if (!driver.ok()) std::abort();
  auto decoded = driver.value().decode_or_reconstruct({data, size});
  if (!decoded.ok()) return 0;
  const tessara::DecodeMetadata& meta = decoded.value().metadata;
  if (!meta.icc.has_value()) std::abort();
  if (const auto* pixels = std::get_if<tessara::PixelSamples>(&decoded.value().image.content)) {
    const uint64_t channels = meta.num_color_channels + (meta.has_alpha ? 1 : 0);
    if (pixels->size() != uint64_t{meta.width} * meta.height * channels) std::abort();
  } else if (std::get<std::vector<uint8_t>>(decoded.value().image.content).empty()) {
    std::abort();
  }
  return 0;
}
