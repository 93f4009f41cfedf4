// libFuzzer target for encode_samples: arbitrary bytes as a small frame of any
// sample kind, depth and channel count. Whatever check_frame lets through
// must encode, and losslessly must decode back bit for bit.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/animation.h"
#include "codec/encoder.h"

namespace tessara {
namespace {

const ThreadsRunner& runner() {
  static std::optional<ThreadsRunner> pool = create_runner(0);
  if (!pool) __builtin_trap();
  return *pool;
}

// Byte 0: bits 0-1 the sample kind, bits 2-3 channels - 1, bit 4 lossless,
// bits 5-7 the effort - 1 (1 to 8); byte 1: width - 1 and height - 1 (4 bits
// each); byte 2: bits (0 the kind's own); the rest the samples, as many as
// the frame holds (zero-filled when short).
void run(const uint8_t* data, size_t size) {
  if (size < 3) return;
  const auto kind = static_cast<SampleKind>(data[0] & 3);
  const uint32_t channels = 1u + ((data[0] >> 2) & 3);
  const bool lossless = (data[0] & 16) != 0;
  const auto effort = static_cast<uint8_t>(1 + (data[0] >> 5));
  const uint32_t width = 1u + (data[1] & 15);
  const uint32_t height = 1u + (data[1] >> 4);
  const uint32_t bits = data[2] % 17;
  std::vector<uint8_t> samples(size_t{width} * height * channels * layout_of(kind).size);
  std::memcpy(samples.data(), data + 3, std::min(samples.size(), size - 3));
  const SampleFrame frame{kind, samples, width, height, channels, bits, {}};
  if (check_frame(frame, lossless) != FrameProblem::None) return;

  EncoderSettings settings;
  settings.lossless = lossless;
  settings.distance = lossless ? 0.0f : 1.0f;
  auto driver = EncoderDriver::create(runner(), settings);
  if (!driver) return;
  driver.value().set_effort(effort);
  auto file = driver.value().encode_samples(frame);
  if (!file) std::abort();  // a frame check_frame accepts is libjxl's to take
  if (!lossless) return;
  auto decoder = FrameDecoder::open(file.value(), std::nullopt, std::nullopt);
  if (!decoder || decoder.value().format().kind != kind ||
      decoder.value().frame_bytes() != samples.size()) {
    std::abort();
  }
  std::vector<uint8_t> decoded(samples.size());
  if (!decoder.value().decode(0, decoded) ||
      std::memcmp(decoded.data(), samples.data(), samples.size()) != 0) {
    std::abort();
  }
}

}  // namespace
}  // namespace tessara

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessara::run(data, size);
  return 0;
}
