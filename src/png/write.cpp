// write_png: the request checked, then libpng's writer run row by row into
// a growing buffer (the guarded part in libpng_calls.cpp).
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "codec/memory.h"
#include "png/libpng_calls.h"
#include "png/png.h"

namespace tessara::png {
namespace {

class Writer {
 public:
  explicit Writer(detail::WriteState* state) noexcept {
    png_ = detail::create_writer(state);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    if (png_ != nullptr) png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr);
  }
  bool ready() const noexcept { return info_ != nullptr; }
  png_structp png() const noexcept { return png_; }
  png_infop info() const noexcept { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

bool well_formed(const PngWriteRequest& r) noexcept {
  constexpr uint64_t kLargestSide = 0x7FFFFFFF;
  if (r.width == 0 || r.height == 0 || r.width > kLargestSide || r.height > kLargestSide ||
      r.channels < 1 || r.channels > 4 || (r.bits != 8 && r.bits != 16) ||
      r.compress_level < 0 || r.compress_level > 9) {
    return false;
  }
  const uint64_t row = uint64_t{r.width} * r.channels * (r.bits / 8);
  if (row > std::numeric_limits<uint64_t>::max() / r.height) return false;
  // Chunk lengths are 31-bit.
  const uint64_t largest_chunk = 0x7FFFFFFF;
  return row * r.height == r.samples.size() && r.icc.size() <= largest_chunk &&
         r.exif.size() <= largest_chunk && r.xmp.size() <= largest_chunk;
}

}  // namespace

Result<std::vector<uint8_t>, PngError> write_png(const PngWriteRequest& request) noexcept {
  if (!well_formed(request)) return Err{PngError::of(PngError::Kind::BadRequest)};
  if (request.cicp && ((*request.cicp)[2] != 0 || (*request.cicp)[3] > 1)) {
    PngError refused = PngError::of(PngError::Kind::Refused);
    std::strncpy(refused.message,
                 "cICP: a PNG holds RGB (matrix coefficients 0) with a full range flag of 0 or 1",
                 sizeof refused.message - 1);
    return Err{refused};
  }
  std::vector<uint8_t> out;
  detail::WriteState state;
  state.out = &out;
  std::string xmp;
  if (!request.xmp.empty()) {
    if (!try_resize(xmp, request.xmp.size())) return Err{PngError::of(PngError::Kind::OutOfMemory)};
    std::memcpy(xmp.data(), request.xmp.data(), request.xmp.size());
    state.xmp = xmp.c_str();
  }
  Writer writer(&state);
  if (!writer.ready()) {
    return Err{PngError::of(state.failure.out_of_memory ? PngError::Kind::OutOfMemory
                                                        : PngError::Kind::Internal)};
  }
  if (!detail::write_all(writer.png(), writer.info(), &state, request)) {
    if (state.failure.out_of_memory) return Err{PngError::of(PngError::Kind::OutOfMemory)};
    return Err{state.failure.error};
  }
  out.resize(state.used);  // smaller: no allocation
  try_shrink_to_fit(out);
  return out;
}

}  // namespace tessara::png
