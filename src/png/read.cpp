// read_png: libpng's progressive reader run over the whole file (the
// guarded part in libpng_calls.cpp), then the facts collected from it.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "codec/memory.h"
#include "png/libpng_calls.h"
#include "png/png.h"

namespace tessara::png {
namespace {

// The read struct, its info struct and the samples until they are handed on.
class Reader {
 public:
  explicit Reader(detail::ReadState* state) noexcept : state_(state) {
    png_ = detail::create_reader(state);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
    delete[] state_->samples;
  }
  bool ready() const noexcept { return info_ != nullptr; }
  png_structp png() const noexcept { return png_; }
  png_infop info() const noexcept { return info_; }

 private:
  detail::ReadState* state_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

PngError failure_of(const detail::ReadState& s) noexcept {
  if (s.failure.out_of_memory) return PngError::of(PngError::Kind::OutOfMemory);
  return s.failure.set ? s.failure.error : PngError::of(PngError::Kind::Internal);
}

// `compressed` inflated into `out`, which may hold at most `limit` bytes.
Status<PngError> inflate_text(std::span<const uint8_t> compressed, size_t limit,
                              std::vector<uint8_t>& out) noexcept {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return Err{PngError::of(PngError::Kind::OutOfMemory)};
  uint8_t piece[16384];
  z.next_in = const_cast<Bytef*>(compressed.data());
  z.avail_in = static_cast<uInt>(compressed.size());  // at most the chunk limit
  int ret = Z_OK;
  Status<PngError> status;
  while (ret != Z_STREAM_END) {
    z.next_out = piece;
    z.avail_out = sizeof piece;
    ret = inflate(&z, Z_NO_FLUSH);
    if (ret != Z_OK && ret != Z_STREAM_END) {
      // A damaged or cut text is dropped, as libpng drops a damaged
      // ancillary chunk.
      out.clear();
      break;
    }
    const size_t got = sizeof piece - z.avail_out;
    if (got > limit - out.size()) {
      status = Err{PngError::of(PngError::Kind::TextTooLarge)};
      break;
    }
    const size_t at = out.size();
    if (!try_resize(out, at + got)) {
      status = Err{PngError::of(PngError::Kind::OutOfMemory)};
      break;
    }
    std::memcpy(out.data() + at, piece, got);
  }
  inflateEnd(&z);
  return status;
}

// The XMP packet of a tEXt, zTXt or iTXt chunk whose keyword has been
// checked; a malformed one gives nothing.
Status<PngError> xmp_text(std::span<const uint8_t> chunk, char kind, size_t limit,
                          std::vector<uint8_t>& out) noexcept {
  const auto nul = std::find(chunk.begin(), chunk.end(), uint8_t{0});
  std::span<const uint8_t> rest = chunk.subspan(std::min(chunk.size(), size_t(nul - chunk.begin()) + 1));
  bool compressed = kind == 'z';
  if (kind == 'z') {
    if (rest.empty() || rest[0] != 0) return {};
    rest = rest.subspan(1);
  } else if (kind == 'i') {
    if (rest.size() < 2 || rest[0] > 1 || rest[1] != 0) return {};
    compressed = rest[0] == 1;
    rest = rest.subspan(2);
    for (int field = 0; field < 2; ++field) {  // language tag, translated keyword
      const auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
      if (end == rest.end()) return {};
      rest = rest.subspan(size_t(end - rest.begin()) + 1);
    }
  }
  if (compressed) return inflate_text(rest, limit, out);
  if (rest.size() > limit) return Err{PngError::of(PngError::Kind::TextTooLarge)};
  if (!try_assign(out, rest.data(), rest.data() + rest.size())) {
    return Err{PngError::of(PngError::Kind::OutOfMemory)};
  }
  return {};
}

// The colour chunks and eXIf, as libpng kept them.
Status<PngError> collect_facts(png_structp png, png_infop info, PngImage& image) noexcept {
  PngColour& c = image.colour;
  png_byte cicp[4];
  if (png_get_cICP(png, info, &cicp[0], &cicp[1], &cicp[2], &cicp[3]) != 0) {
    c.cicp = Cicp{cicp[0], cicp[1], cicp[2], cicp[3]};
  }
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 length = 0;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &length) != 0 && length != 0 &&
      !try_assign(c.icc, static_cast<const uint8_t*>(profile), profile + length)) {
    return Err{PngError::of(PngError::Kind::OutOfMemory)};
  }
  int intent = 0;
  if (png_get_sRGB(png, info, &intent) != 0) c.srgb_intent = intent;
  png_fixed_point gamma = 0;
  if (png_get_gAMA_fixed(png, info, &gamma) != 0 && gamma > 0) c.gamma = static_cast<uint32_t>(gamma);
  std::array<png_fixed_point, 8> xy{};
  if (png_get_cHRM_fixed(png, info, &xy[0], &xy[1], &xy[2], &xy[3], &xy[4], &xy[5], &xy[6],
                         &xy[7]) != 0) {
    c.chromaticities = xy;
  }
  png_bytep exif = nullptr;
  png_uint_32 exif_length = 0;
  if (png_get_eXIf_1(png, info, &exif_length, &exif) != 0 && exif_length != 0 &&
      !try_assign(image.exif, static_cast<const uint8_t*>(exif), exif + exif_length)) {
    return Err{PngError::of(PngError::Kind::OutOfMemory)};
  }
  return {};
}

}  // namespace

Result<PngImage, PngError> read_png(std::span<const uint8_t> data,
                                    const PngReadLimits& limits) noexcept {
  if (data.size() < 8 || png_sig_cmp(data.data(), 0, 8) != 0) {
    return Err{PngError::of(PngError::Kind::NotPng)};
  }
  std::vector<uint8_t> xmp_chunk;
  detail::ReadState state;
  state.max_pixels = limits.max_pixels;
  state.max_chunk = limits.max_chunk;
  state.xmp_chunk = &xmp_chunk;
  Reader reader(&state);
  if (!reader.ready()) {
    return Err{PngError::of(state.failure.out_of_memory ? PngError::Kind::OutOfMemory
                                                        : PngError::Kind::Internal)};
  }
  if (!detail::read_all(reader.png(), reader.info(), &state, data.data(), data.size())) {
    return Err{failure_of(state)};
  }
  if (!state.complete) return Err{PngError::of(PngError::Kind::Truncated)};
  PngImage image;
  image.bytes = state.row_bytes * state.height;
  image.width = state.width;
  image.height = state.height;
  image.channels = state.channels;
  image.bits = state.bits;
  if (state.has_animation) image.animation = PngAnimation{state.frames, state.plays};
  if (Status<PngError> facts = collect_facts(reader.png(), reader.info(), image); !facts) {
    return Err{facts.error()};
  }
  if (!xmp_chunk.empty()) {
    if (Status<PngError> xmp = xmp_text(xmp_chunk, state.xmp_kind, limits.max_text, image.xmp);
        !xmp) {
      return Err{xmp.error()};
    }
  }
  image.samples.reset(std::exchange(state.samples, nullptr));
  return image;
}

}  // namespace tessara::png
