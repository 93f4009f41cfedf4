// libFuzzer target for the decoder driver and the sample store the module
// decodes into: any input ends in a result or a DecodeError, and a result's
// bytes match the image it describes.
#include <cstdlib>

#include "codec/decoder.h"
#include "codec/pixels.h"
#include "fuzz/fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessara::fuzz::declares_small_image(data, size)) return -1;
  tessara::DecoderOptions options;
  // A tiny first JPEG buffer makes every reconstruction take the growth path.
  options.initial_jpeg_buffer_size = size % 2 == 0 ? 16 : 512 * 1024;
  auto driver = options.build();
  if (!driver.ok()) std::abort();
  tessara::OwnedImageBytes store;
  auto decoded = driver.value().decode_or_reconstruct({data, size}, store);
  if (!decoded.ok()) return 0;
  const tessara::DecodeMetadata& meta = decoded.value().metadata;
  if (!meta.icc.has_value()) std::abort();
  if (const auto* pixels = std::get_if<tessara::PixelSamples>(&decoded.value().image.content)) {
    const uint64_t channels = meta.num_color_channels + (meta.has_alpha ? 1 : 0);
    const uint64_t samples = uint64_t{meta.width} * meta.height * channels;
    if (pixels->channels != channels) std::abort();
    if (pixels->bytes.data() != store.bytes().data() ||
        pixels->bytes.size() != store.bytes().size()) {
      std::abort();
    }
    // Grey keeps its sample size (half floats widened), colour becomes bytes.
    const bool grey = meta.num_color_channels == 1;
    const uint64_t per_sample = !grey ? 1
                                : pixels->kind == tessara::PixelSamples::Kind::Float16
                                    ? 4
                                    : tessara::PixelSamples::sample_size(pixels->kind);
    if (store.bytes().size() != samples * per_sample) std::abort();
  } else if (std::get<std::vector<uint8_t>>(decoded.value().image.content).empty()) {
    std::abort();
  }
  return 0;
}
