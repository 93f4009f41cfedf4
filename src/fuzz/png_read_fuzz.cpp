// libFuzzer target for the PNG reader: any input either fails cleanly or
// gives an image whose size adds up, which the writer stores and the reader
// then gives back unchanged.
#include <cstdlib>
#include <cstring>

#include "png/png.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tessara::png::PngImage;
  tessara::png::PngReadLimits limits;
  limits.max_pixels = uint64_t{1} << 20;  // giant images would only measure the machine
  auto read = tessara::png::read_png({data, size}, limits);
  if (!read) return 0;
  const PngImage& image = read.value();
  if (image.bytes != size_t{image.width} * image.height * image.channels * (image.bits / 8)) {
    std::abort();
  }
  tessara::png::PngWriteRequest request;
  request.samples = {image.samples.get(), image.bytes};
  request.width = image.width;
  request.height = image.height;
  request.channels = image.channels;
  request.bits = image.bits;
  request.compress_level = 1;
  auto written = tessara::png::write_png(request);
  if (!written) std::abort();
  auto again = tessara::png::read_png(written.value(), limits);
  if (!again || again.value().bytes != image.bytes ||
      std::memcmp(again.value().samples.get(), image.samples.get(), image.bytes) != 0) {
    std::abort();
  }
  return 0;
}
