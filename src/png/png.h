// PNG files through libpng, at the file's own depth: a reader that streams
// rows into one image buffer and a writer that streams them out. No Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/result.h"

namespace tessara::png {

struct PngError {
  enum class Kind : uint8_t {
    NotPng,       // no PNG signature
    Corrupt,      // libpng refused the file; `message` holds its words
    Truncated,    // the file ends before the image's last row
    TooLarge,     // more pixels than the caller's limit
    OutOfMemory,  // an allocation failed (ours or libpng's)
    TextTooLarge, // the XMP text decompresses to more than the text limit
    BadRequest,   // (writing) samples that do not match the size and layout
    Refused,      // (writing) libpng refused what it was given; `message` says why
    Internal,     // libpng could not be set up
  };
  Kind kind = Kind::Internal;
  char message[128] = {};  // NUL-terminated

  static PngError of(Kind k) noexcept { return PngError{k, {}}; }
};

// H.273 code points: primaries, transfer, matrix, full range.
using Cicp = std::array<uint8_t, 4>;

// The colour chunks as libpng reports them; a reader picks by precedence
// (cICP, then iCCP, then sRGB, then gAMA/cHRM).
struct PngColour {
  std::optional<Cicp> cicp;
  std::vector<uint8_t> icc;
  int srgb_intent = -1;  // -1: no sRGB chunk
  uint32_t gamma = 0;    // gAMA times 100000; 0: none
  // cHRM times 100000: white x, y, red x, y, green x, y, blue x, y.
  std::optional<std::array<int32_t, 8>> chromaticities;
};

// An APNG's acTL chunk (the image itself is its default image).
struct PngAnimation {
  uint32_t frames = 0;
  uint32_t plays = 0;  // 0: forever
};

// Samples interleaved, rows packed, native byte order: grey, grey+alpha,
// RGB or RGBA at 8 or 16 bits. Palette and low-bit grey come expanded to
// 8 bits, a tRNS colour key as an alpha channel.
struct PngImage {
  std::unique_ptr<uint8_t[]> samples;  // new[]; the caller takes it over
  size_t bytes = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;
  uint32_t bits = 0;  // 8 or 16
  PngColour colour;
  std::vector<uint8_t> exif;  // the eXIf chunk as stored (a TIFF header first)
  std::vector<uint8_t> xmp;   // the text of the last "XML:com.adobe.xmp" text chunk
  std::optional<PngAnimation> animation;
};

struct PngReadLimits {
  uint64_t max_pixels = uint64_t{1} << 30;
  // The most an XMP text may hold once decompressed, as Pillow limits a
  // text chunk.
  size_t max_text = size_t{1} << 20;
  // The most any other chunk (ICC profile, Exif) may hold, compressed or not.
  size_t max_chunk = size_t{16} << 20;
};

// The whole file is in `data`. Image data past the last row is never
// inflated; other text chunks are skipped unread.
Result<PngImage, PngError> read_png(std::span<const uint8_t> data,
                                    const PngReadLimits& limits) noexcept;

struct PngWriteRequest {
  std::span<const uint8_t> samples;  // as PngImage holds them
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;  // 1 to 4
  uint32_t bits = 8;      // 8 or 16
  std::optional<Cicp> cicp;
  std::span<const uint8_t> icc;
  std::span<const uint8_t> exif;  // a TIFF header first
  std::span<const uint8_t> xmp;
  int compress_level = 6;  // zlib's 0 to 9
};

Result<std::vector<uint8_t>, PngError> write_png(const PngWriteRequest& request) noexcept;

}  // namespace tessara::png
