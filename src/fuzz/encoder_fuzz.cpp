// libFuzzer target for the encoder driver: arbitrary bytes as a JPEG file to
// transcode or, as the first byte chooses, as a tiny pixel frame to encode.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/encoder.h"

namespace tessara {
namespace {

// Byte 0: bit 0 picks the path, bit 1 lossless, bit 2 container, bit 3 adds an
// Exif box (bit 4 compresses it), bits 6-7 the sample type; bit 5 is unused.
struct Choice {
  uint8_t bits;
  bool pixels() const { return bits & 1; }
  bool lossless() const { return bits & 2; }
  bool container() const { return bits & 4; }
  bool box() const { return bits & 8; }
  bool compress() const { return bits & 16; }
  uint8_t sample() const { return static_cast<uint8_t>(bits >> 6); }  // 0-1 u8, 2 u16, 3 float
};

const ThreadsRunner& runner() {
  // One calling-thread pool for the whole run keeps executions cheap and repeatable.
  static std::optional<ThreadsRunner> pool = create_runner(0);
  if (!pool) __builtin_trap();
  return *pool;
}

// libjxl sizes its coefficient buffers from the frame header alone, so a few
// hundred bytes can ask for gigabytes; such inputs only measure libjxl's
// appetite. Every FF Cx pair is read as a frame header, which skips a superset.
bool declares_huge_jpeg_frame(const uint8_t* bytes, size_t size) {
  constexpr uint64_t kMaxPixels = uint64_t{1} << 22;
  for (size_t i = 0; i + 9 <= size; ++i) {
    const uint8_t marker = bytes[i + 1];
    const bool frame_header = bytes[i] == 0xFF && (marker & 0xF0) == 0xC0 && marker != 0xC4 &&
                              marker != 0xC8 && marker != 0xCC;
    if (!frame_header) continue;
    const uint64_t height = uint64_t{bytes[i + 5]} << 8 | bytes[i + 6];
    const uint64_t width = uint64_t{bytes[i + 7]} << 8 | bytes[i + 8];
    if (width * height > kMaxPixels) return true;
  }
  return false;
}

template <typename T>
void encode_frame(EncoderDriver& driver, const uint8_t* bytes, size_t size, uint32_t channels,
                  uint32_t width, uint32_t height) {
  std::vector<T> samples(size / sizeof(T));  // aligned copy of the unaligned input
  if (!samples.empty()) std::memcpy(samples.data(), bytes, samples.size() * sizeof(T));
  (void)driver.encode_pixels(PixelFrame<T>{samples.data(), samples.size(), channels}, width,
                             height);
}

void run(const uint8_t* data, size_t size) {
  const Choice choice{data[0]};
  // Bytes 1-3 of a pixel input: width, height, then channels, effort and speed.
  const size_t header = choice.pixels() ? 4 : 1;
  if (size < header) return;
  if (!choice.pixels() && declares_huge_jpeg_frame(data + header, size - header)) return;
  const uint8_t shape = choice.pixels() ? data[3] : 0;
  const uint32_t channels = choice.sample() <= 1 ? 1u + (shape & 3) : 1u;

  EncoderSettings settings;
  settings.lossless = choice.lossless();
  settings.uses_original_profile = choice.lossless();
  settings.use_container = choice.container();
  settings.has_alpha = channels == 2 || channels == 4;
  settings.distance = 0.5f + static_cast<float>(shape >> 3);  // up to 31.5: downsampling too
  settings.decoding_speed = (shape >> 2) % 5;
  // The colour encodings the module pairs with each sample type (see
  // color_encoding in src/encode/encode_call.cpp): 16-bit and float samples
  // are linear grey, 8-bit ones sRGB. libjxl asserts on some float samples
  // under the sRGB transfer, a pairing the module never makes.
  const bool grey = channels <= 2;
  settings.color = choice.sample() >= 2 ? EncoderColorEncoding::LinearSrgbGrey
                   : grey               ? EncoderColorEncoding::SrgbGrey
                                        : EncoderColorEncoding::Srgb;

  auto driver = EncoderDriver::create(runner(), settings);
  if (!driver) return;
  driver.value().set_effort(static_cast<uint8_t>(1 + shape % 10));
  if (choice.box()) {
    const size_t box_size = std::min<size_t>(size, 64);
    if (!driver.value().add_box(BoxKind::Exif, {data, box_size}, choice.compress())) return;
  }
  const uint8_t* body = data + header;
  const size_t body_size = size - header;
  if (!choice.pixels()) {
    (void)driver.value().encode_jpeg({body, body_size});
    return;
  }
  const uint32_t width = 1u + data[1] % 16;
  const uint32_t height = 1u + data[2] % 16;
  switch (choice.sample()) {
    case 2: return encode_frame<uint16_t>(driver.value(), body, body_size, 1, width, height);
    case 3: return encode_frame<float>(driver.value(), body, body_size, 1, width, height);
    default: return encode_frame<uint8_t>(driver.value(), body, body_size, channels, width, height);
  }
}

}  // namespace
}  // namespace tessara

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0) tessara::run(data, size);
  return 0;
}
