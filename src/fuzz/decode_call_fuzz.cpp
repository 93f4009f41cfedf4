// libFuzzer target for the whole decode call as Python sees it, minus the
// interpreter: a per-call thread pool, the decoder driver, the box walk and
// the sample store with its conversion, in the order and with the options of
// decode_call in src/decode/decoder.cpp. Everything there that depends on the
// input runs without the interpreter lock, so it is all here; what is left
// (argument parsing, building the result objects) sees only sizes, and the
// Python mutation fuzzer and the sanitizer suite run it. Embedding the
// interpreter would cost each execution far more than the decode itself.
//
// Findings: any crash or sanitizer report, a successful decode whose mode the
// module would treat as an internal fault, or image bytes that do not match
// the mode and size the call reports.
#include <cstdlib>
#include <optional>

#include "codec/boxes.h"
#include "codec/decoder.h"
#include "codec/pixels.h"
#include "codec/runner.h"
#include "fuzz/fuzz_limits.h"

namespace tessara {
namespace {

// Bytes per pixel the module hands out for a mode: grey keeps its sample
// size (half floats widened to 4 bytes), colour is 8-bit.
uint64_t pixel_bytes(const std::string& mode, const PixelSamples& samples) {
  const uint64_t sample = samples.kind == PixelSamples::Kind::Float16
                              ? 4
                              : PixelSamples::sample_size(samples.kind);
  if (mode == "RGB") return 3;
  if (mode == "RGBA") return 4;
  if (mode == "LA") return 2 * sample;
  return sample;  // L, I;16, F, F;16
}

void run(std::span<const uint8_t> input) {
  std::optional<ThreadsRunner> runner = create_runner(0);
  if (!runner) std::abort();
  auto driver = DecoderOptions{true, 512 * 1024, &*runner}.build();
  if (!driver) std::abort();
  OwnedImageBytes image;
  auto decoded = driver.value().decode_or_reconstruct(input, image);
  if (!decoded) return;
  const BoxWalk walk = walk_boxes(input);
  if (!walk.error.empty() && !walk.boxes.empty()) std::abort();

  const DecodeMetadata& meta = decoded.value().metadata;
  const auto* samples = std::get_if<PixelSamples>(&decoded.value().image.content);
  const std::string mode = image_mode(meta.num_color_channels, meta.has_alpha, samples);
  if (mode.empty()) std::abort();  // the module's "Unsupported color mode" fault
  if (samples == nullptr) return;  // a rebuilt JPEG, handed out as it is
  const uint64_t pixels = uint64_t{meta.width} * meta.height;
  if (image.bytes().size() != pixels * pixel_bytes(mode, *samples)) std::abort();
}

}  // namespace
}  // namespace tessara

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessara::fuzz::declares_small_image(data, size)) return -1;
  tessara::run({data, size});
  return 0;
}
