// libFuzzer target for the array decodes: any input ends in a result or a
// DecodeError, a result's samples are exactly the size it describes, and the
// header read agrees with the decode on the size, channels and sample kind.
#include <cstdlib>

#include "codec/arrays.h"
#include "fuzz/fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessara::fuzz::declares_small_image(data, size)) return -1;
  auto header = tessara::read_header({data, size});
  auto decoded = tessara::decode_full_precision({data, size}, nullptr, uint64_t{1} << 20);
  if (!decoded.ok()) return 0;
  const tessara::ArrayImage& image = decoded.value();
  const uint64_t samples = uint64_t{image.width} * image.height * image.channels;
  if (image.samples == nullptr || image.bytes != samples * tessara::layout_of(image.kind).size) {
    std::abort();
  }
  // A file libjxl decodes whole has a header it reads.
  if (!header.ok()) std::abort();
  const JxlBasicInfo& info = header.value().info;
  if (info.xsize != image.width || info.ysize != image.height ||
      tessara::channels_of(info) != image.channels ||
      tessara::full_precision_kind(info) != image.kind) {
    std::abort();
  }
  return 0;
}
