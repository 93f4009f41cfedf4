// The PNG reader and writer against files made here chunk by chunk (zlib for
// the image data), and against each other.
#include "png/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace tessara::png {
namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

Bytes chunk(const char* kind, const Bytes& content) {
  Bytes out;
  put32(out, static_cast<uint32_t>(content.size()));
  Bytes typed(kind, kind + 4);
  typed.insert(typed.end(), content.begin(), content.end());
  out.insert(out.end(), typed.begin(), typed.end());
  put32(out, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
  return out;
}

Bytes deflated(const Bytes& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
  out.resize(size);
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes header(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type) {
  Bytes ihdr;
  put32(ihdr, width);
  put32(ihdr, height);
  ihdr.insert(ihdr.end(), {depth, colour_type, 0, 0, 0});
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes c = chunk("IHDR", ihdr);
  out.insert(out.end(), c.begin(), c.end());
  return out;
}

// An 8-bit RGB file: rows of `width` grey ramps, unfiltered, then `extra`
// chunks before the image data and `idat` (the image data chunk's content)
// when given.
Bytes rgb_file(uint32_t width, uint32_t height, const std::vector<Bytes>& extra = {},
               const Bytes* idat = nullptr) {
  Bytes raw;
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (uint32_t x = 0; x < width * 3; ++x) raw.push_back(static_cast<uint8_t>(x + y));
  }
  Bytes out = header(width, height, 8, 2);
  for (const Bytes& c : extra) out.insert(out.end(), c.begin(), c.end());
  Bytes data = chunk("IDAT", idat != nullptr ? *idat : deflated(raw));
  Bytes end = chunk("IEND", {});
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

PngImage read_ok(const Bytes& file, PngReadLimits limits = {}) {
  auto read = read_png(file, limits);
  EXPECT_TRUE(read.ok()) << static_cast<int>(read.error().kind) << " " << read.error().message;
  return read ? std::move(read.value()) : PngImage{};
}

PngError::Kind read_error(const Bytes& file, PngReadLimits limits = {}) {
  auto read = read_png(file, limits);
  EXPECT_FALSE(read.ok());
  return read ? PngError::Kind::Internal : read.error().kind;
}

struct Layout {
  uint32_t channels;
  uint32_t bits;
};

class RoundTrip : public testing::TestWithParam<Layout> {};

TEST_P(RoundTrip, SamplesAndMetadataComeBackAsWritten) {
  const Layout layout = GetParam();
  const uint32_t width = 13, height = 7;
  Bytes samples(size_t{width} * height * layout.channels * layout.bits / 8);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 37 + i / 5);
  const Bytes exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
  const Bytes xmp = text("<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
  PngWriteRequest request;
  request.samples = samples;
  request.width = width;
  request.height = height;
  request.channels = layout.channels;
  request.bits = layout.bits;
  request.cicp = Cicp{9, 16, 0, 1};
  request.exif = exif;
  request.xmp = xmp;
  auto written = write_png(request);
  ASSERT_TRUE(written.ok()) << written.error().message;
  const PngImage image = read_ok(written.value());
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, height);
  EXPECT_EQ(image.channels, layout.channels);
  EXPECT_EQ(image.bits, layout.bits);
  ASSERT_EQ(image.bytes, samples.size());
  EXPECT_EQ(std::memcmp(image.samples.get(), samples.data(), samples.size()), 0);
  EXPECT_EQ(image.colour.cicp, request.cicp);
  EXPECT_EQ(image.exif, exif);
  EXPECT_EQ(image.xmp, xmp);
  EXPECT_FALSE(image.animation.has_value());
}

INSTANTIATE_TEST_SUITE_P(EveryLayout, RoundTrip,
                         testing::Values(Layout{1, 8}, Layout{2, 8}, Layout{3, 8}, Layout{4, 8},
                                         Layout{1, 16}, Layout{2, 16}, Layout{3, 16},
                                         Layout{4, 16}));

TEST(PngWrite, RefusesSamplesThatDoNotMatchTheLayout) {
  const Bytes samples(16);
  // Three pixels wide, one high.
  for (const auto& [channels, bits, size] :
       {std::tuple{3u, 8u, 10u}, std::tuple{5u, 8u, 15u}, std::tuple{1u, 12u, 6u},
        std::tuple{1u, 16u, 3u}, std::tuple{0u, 8u, 0u}, std::tuple{4u, 8u, 16u}}) {
    PngWriteRequest request;
    request.samples = std::span<const uint8_t>(samples).first(size);
    request.width = 3;
    request.height = 1;
    request.channels = channels;
    request.bits = bits;
    auto written = write_png(request);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().kind, PngError::Kind::BadRequest);
  }
}

TEST(PngWrite, LibpngsRefusalOfAProfileIsAnError) {
  const Bytes samples(12), not_a_profile = text("not an ICC profile at all, but long enough");
  PngWriteRequest request;
  request.samples = samples;
  request.width = 4;
  request.height = 1;
  request.channels = 3;
  request.icc = not_a_profile;
  auto written = write_png(request);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind, PngError::Kind::Refused);
  EXPECT_NE(std::string(written.error().message), "");
}

TEST(PngRead, AStreamRunningOnPastTheLastRowLeavesTheRowsIntact) {
  // 16 MiB of zeros after the rows of a 4x2 image: libpng's progressive
  // reader stops inflating at the last row (the Python cost tests show it
  // costs nothing), and takes what follows for no error.
  Bytes raw;
  for (int y = 0; y < 2; ++y) {
    raw.push_back(0);
    for (int x = 0; x < 12; ++x) raw.push_back(static_cast<uint8_t>(x * 20 + y));
  }
  raw.resize(raw.size() + (size_t{16} << 20), 0);
  const Bytes idat = deflated(raw);
  const PngImage image = read_ok(rgb_file(4, 2, {}, &idat));
  ASSERT_EQ(image.bytes, 24u);
  EXPECT_EQ(image.samples[13], 21);  // row 1, sample 1: 1 * 20 + 1
}

TEST(PngRead, EveryCutOfTheFileIsAnErrorOrTheWholeImage) {
  const Bytes file = rgb_file(9, 5, {chunk("eXIf", {'M', 'M', 0, 42, 0, 0, 0, 8})});
  const PngImage whole = read_ok(file);
  for (size_t cut = 0; cut < file.size(); ++cut) {
    auto read = read_png(std::span<const uint8_t>(file).first(cut), {});
    if (read) {
      ASSERT_EQ(read.value().bytes, whole.bytes);
      EXPECT_EQ(std::memcmp(read.value().samples.get(), whole.samples.get(), whole.bytes), 0);
    } else {
      const PngError::Kind kind = read.error().kind;
      EXPECT_TRUE(kind == PngError::Kind::Truncated || kind == PngError::Kind::NotPng ||
                  kind == PngError::Kind::Corrupt)
          << cut;
    }
  }
}

TEST(PngRead, TheCallersPixelLimitHoldsForWidthHeightAndArea) {
  const Bytes file = rgb_file(40, 30);
  EXPECT_EQ(read_error(file, {.max_pixels = 1199}), PngError::Kind::TooLarge);
  EXPECT_EQ(read_error(file, {.max_pixels = 35}), PngError::Kind::Corrupt);  // libpng: width
  EXPECT_EQ(read_ok(file, {.max_pixels = 1200}).width, 40u);
}

Bytes keyword_text(const char* kind, const std::string& keyword, const Bytes& body) {
  Bytes content = text(keyword);
  content.push_back(0);
  if (std::strcmp(kind, "zTXt") == 0) content.push_back(0);
  if (std::strcmp(kind, "iTXt") == 0) content.insert(content.end(), {1, 0, 'e', 'n', 0, 0});
  content.insert(content.end(), body.begin(), body.end());
  return chunk(kind, content);
}

TEST(PngRead, XmpIsReadFromEveryTextChunkWithinTheTextLimit) {
  const Bytes xmp = text("<x:xmpmeta/>");
  for (const char* kind : {"tEXt", "zTXt", "iTXt"}) {
    const Bytes body = std::strcmp(kind, "tEXt") == 0 ? xmp : deflated(xmp);
    const PngImage image = read_ok(rgb_file(2, 2, {keyword_text(kind, "XML:com.adobe.xmp", body)}));
    EXPECT_EQ(image.xmp, xmp) << kind;
  }
  const Bytes big = deflated(Bytes(size_t{4} << 20, ' '));
  for (const char* kind : {"zTXt", "iTXt"}) {
    EXPECT_EQ(read_error(rgb_file(2, 2, {keyword_text(kind, "XML:com.adobe.xmp", big)})),
              PngError::Kind::TextTooLarge);
    // Any other text is passed over without being decompressed.
    EXPECT_TRUE(read_ok(rgb_file(2, 2, {keyword_text(kind, "Comment", big)})).xmp.empty());
  }
}

TEST(PngRead, ColourChunksAndAnimationFactsAreReported) {
  Bytes actl, chrm;
  put32(actl, 3);
  put32(actl, 2);
  for (uint32_t v : {31270u, 32900u, 64000u, 33000u, 30000u, 60000u, 15000u, 6000u}) put32(chrm, v);
  Bytes gama;
  put32(gama, 45455);
  const PngImage image =
      read_ok(rgb_file(3, 3, {chunk("cICP", {12, 13, 0, 1}), chunk("sRGB", {1}), chunk("gAMA", gama),
                              chunk("cHRM", chrm), chunk("acTL", actl)}));
  EXPECT_EQ(image.colour.cicp, (Cicp{12, 13, 0, 1}));
  EXPECT_EQ(image.colour.srgb_intent, 1);
  EXPECT_EQ(image.colour.gamma, 45455u);
  ASSERT_TRUE(image.colour.chromaticities.has_value());
  EXPECT_EQ((*image.colour.chromaticities)[2], 64000);
  ASSERT_TRUE(image.animation.has_value());
  EXPECT_EQ(image.animation->frames, 3u);
  EXPECT_EQ(image.animation->plays, 2u);
}

TEST(PngRead, DamageIsACleanError) {
  Bytes bad_crc = rgb_file(4, 4);
  bad_crc[40] ^= 1;  // inside the image data
  EXPECT_EQ(read_error(bad_crc), PngError::Kind::Corrupt);
  EXPECT_EQ(read_error(rgb_file(4, 4, {chunk("QUIT", {1, 2})})), PngError::Kind::Corrupt);
  EXPECT_EQ(read_error(text("GIF89a, not a PNG")), PngError::Kind::NotPng);
  // libpng takes damaged image data for data that ends early.
  const Bytes garbage = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(read_error(rgb_file(4, 4, {}, &garbage)), PngError::Kind::Truncated);
  // An unknown ancillary chunk is passed over.
  EXPECT_EQ(read_ok(rgb_file(4, 4, {chunk("quIt", {1, 2})})).width, 4u);
}

}  // namespace
}  // namespace tessara::png
