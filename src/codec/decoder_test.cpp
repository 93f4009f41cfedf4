// Decoder driver tests over files made in-process with libjxl's encoder.
#include "codec/decoder.h"

#include <gtest/gtest.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "codec/pixels.h"
#include "codec/test_tools.h"

namespace tessara {
namespace {

using Kind = DecodeError::Kind;
using Bytes = std::vector<uint8_t>;

struct Image {
  uint32_t width = 7;
  uint32_t height = 5;
  uint32_t channels = 3;
  uint32_t bits = 8;
  uint32_t exponent_bits = 0;
  bool lossless = true;
  uint32_t frames = 1;
  bool container = false;
};

// Sample i of frame f before scaling; below 256 so it fits every bit depth.
uint32_t sample_value(size_t i, uint32_t frame) {
  return static_cast<uint32_t>((i * 37 + frame * 11) % 256);
}

void check_enc(JxlEncoderStatus status, const char* call) {
  ASSERT_EQ(status, JXL_ENC_SUCCESS) << call;
}

// Integers up to 16 bits are given at the stored depth; floats and deeper
// integers as 32-bit floats (k / 256, exact even in half floats).
Bytes encode(const Image& im) {
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  const bool alpha = im.channels % 2 == 0;
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = im.width;
  info.ysize = im.height;
  info.bits_per_sample = im.bits;
  info.exponent_bits_per_sample = im.exponent_bits;
  info.num_color_channels = im.channels >= 3 ? 3 : 1;
  info.num_extra_channels = alpha ? 1 : 0;
  info.alpha_bits = alpha ? im.bits : 0;
  info.alpha_exponent_bits = alpha ? im.exponent_bits : 0;
  info.uses_original_profile = im.lossless ? JXL_TRUE : JXL_FALSE;
  if (im.frames > 1) {
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = 10;
    info.animation.tps_denominator = 1;
  }
  check_enc(JxlEncoderUseContainer(enc.get(), im.container), "UseContainer");
  check_enc(JxlEncoderSetBasicInfo(enc.get(), &info), "SetBasicInfo");
  JxlColorEncoding color;
  JxlColorEncodingSetToSRGB(&color, info.num_color_channels == 1);
  check_enc(JxlEncoderSetColorEncoding(enc.get(), &color), "SetColorEncoding");
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  check_enc(JxlEncoderSetFrameLossless(settings, im.lossless), "SetFrameLossless");
  const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
  check_enc(JxlEncoderSetFrameBitDepth(settings, &depth), "SetFrameBitDepth");
  const size_t count = size_t{im.width} * im.height * im.channels;
  for (uint32_t f = 0; f < im.frames; ++f) {
    JxlFrameHeader header;
    JxlEncoderInitFrameHeader(&header);
    header.duration = 1;
    if (im.frames > 1) check_enc(JxlEncoderSetFrameHeader(settings, &header), "SetFrameHeader");
    JxlPixelFormat format{im.channels, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
    Bytes u8;
    std::vector<uint16_t> u16;
    std::vector<float> f32;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t v = sample_value(i, f);
      if (im.exponent_bits == 0 && im.bits <= 8) u8.push_back(static_cast<uint8_t>(v));
      if (im.exponent_bits == 0 && im.bits > 8 && im.bits <= 16) {
        u16.push_back(static_cast<uint16_t>(v));
      }
      f32.push_back(static_cast<float>(v) / 256.0f);
    }
    const void* data = f32.data();
    size_t size = f32.size() * sizeof(float);
    if (!u8.empty()) {
      format.data_type = JXL_TYPE_UINT8;
      data = u8.data();
      size = u8.size();
    } else if (!u16.empty()) {
      format.data_type = JXL_TYPE_UINT16;
      data = u16.data();
      size = u16.size() * sizeof(uint16_t);
    }
    check_enc(JxlEncoderAddImageFrame(settings, &format, data, size), "AddImageFrame");
  }
  JxlEncoderCloseInput(enc.get());
  return drain_encoder(enc.get());
}

Bytes transcode_jpeg(const Bytes& jpeg) {
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  check_enc(JxlEncoderStoreJPEGMetadata(enc.get(), JXL_TRUE), "StoreJPEGMetadata");
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  check_enc(JxlEncoderAddJPEGFrame(settings, jpeg.data(), jpeg.size()), "AddJPEGFrame");
  JxlEncoderCloseInput(enc.get());
  return drain_encoder(enc.get());
}

// A noisy picture compresses badly, so cjpeg at quality 100 makes a JPEG of
// several MiB. Empty when cjpeg cannot be run.
Bytes large_jpeg_from_cjpeg() {
  const auto ppm = std::filesystem::temp_directory_path() /
                   ("tessara_decoder_test_" + std::to_string(::getpid()) + ".ppm");
  const uint32_t w = 1600, h = 1200;
  {
    std::ofstream out(ppm, std::ios::binary);
    out << "P6 " << w << " " << h << " 255\n";
    std::mt19937 rng(7);
    for (size_t i = 0; i < size_t{w} * h * 3; ++i) out.put(static_cast<char>(rng() & 0xFF));
  }
  Bytes jpeg;
  const std::string command = "cjpeg -quality 100 '" + ppm.string() + "' 2>/dev/null";
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
      jpeg.insert(jpeg.end(), chunk, chunk + got);
    }
    if (::pclose(pipe) != 0) jpeg.clear();
  }
  std::filesystem::remove(ppm);
  return jpeg;
}

Result<Decoded, DecodeError> decode(const Bytes& data, SampleStore& store,
                                    DecoderOptions options = {}) {
  auto driver = options.build();
  if (!driver.ok()) return Err{driver.error()};
  return driver.value().decode_or_reconstruct(data, store);
}

// For tests that look at errors, metadata or the JPEG file only: the pixel
// view of the result points into a store that is gone.
Result<Decoded, DecodeError> decode_ignoring_pixels(const Bytes& data,
                                                    DecoderOptions options = {}) {
  OwnedImageBytes store;
  return decode(data, store, options);
}

const PixelSamples& pixels_of(const Decoded& decoded) {
  return std::get<PixelSamples>(decoded.image.content);
}

// Sample i of the bytes handed out, read as a T.
template <typename T>
T sample_at(const PixelSamples& pixels, size_t i) {
  T value;
  std::memcpy(&value, pixels.bytes.data() + i * sizeof(T), sizeof(T));
  return value;
}

// The final bytes of a decode into `store`.
Bytes final_bytes(const OwnedImageBytes& store, const PixelSamples& pixels) {
  EXPECT_EQ(pixels.bytes.data(), store.bytes().data());
  return Bytes(store.bytes().begin(), store.bytes().end());
}

struct SampleCase {
  const char* name;
  Image image;
  PixelSamples::Kind kind;
  size_t out_bytes;  // a sample handed out: colour 8-bit, grey as decoded (halves widened)
};

class DecodeSamples : public testing::TestWithParam<SampleCase> {};

TEST_P(DecodeSamples, KindChannelsAndExactLength) {
  const SampleCase& c = GetParam();
  OwnedImageBytes store;
  auto decoded = decode(encode(c.image), store);
  ASSERT_TRUE(decoded.ok()) << error_text(decoded.error());
  const DecodeMetadata& meta = decoded.value().metadata;
  EXPECT_EQ(meta.width, c.image.width);
  EXPECT_EQ(meta.height, c.image.height);
  EXPECT_EQ(meta.num_color_channels, c.image.channels >= 3 ? 3u : 1u);
  EXPECT_EQ(meta.has_alpha, c.image.channels % 2 == 0);
  ASSERT_TRUE(meta.icc.has_value());
  EXPECT_GT(meta.icc->size(), 0u);
  ASSERT_FALSE(decoded.value().image.is_jpeg());
  const PixelSamples& pixels = pixels_of(decoded.value());
  EXPECT_EQ(pixels.kind, c.kind);
  EXPECT_EQ(pixels.channels, c.image.channels);
  const size_t samples = size_t{c.image.width} * c.image.height * c.image.channels;
  EXPECT_EQ(pixels.bytes.size(), samples * c.out_bytes);
  // Decoded (or converted) straight into the final buffer, of exactly that
  // size: nothing was copied.
  EXPECT_EQ(pixels.bytes.data(), store.bytes().data());
  EXPECT_EQ(pixels.bytes.size(), store.bytes().size());
}

TEST_P(DecodeSamples, LosslessValuesSurvive) {
  const SampleCase& c = GetParam();
  OwnedImageBytes store;
  auto decoded = decode(encode(c.image), store);
  ASSERT_TRUE(decoded.ok()) << error_text(decoded.error());
  const PixelSamples& pixels = pixels_of(decoded.value());
  const uint32_t frame = c.image.frames - 1;
  const bool colour = c.image.channels >= 3;
  const size_t samples = size_t{c.image.width} * c.image.height * c.image.channels;
  for (size_t i = 0; i < samples; ++i) {
    const uint32_t v = sample_value(i, frame);
    const float f = static_cast<float>(v) / 256.0f;
    // The colour rule for floats: * 255, limited to 255, truncated.
    const auto f_byte = static_cast<uint8_t>(std::min(f * 255.0f, 255.0f));
    switch (pixels.kind) {
      case PixelSamples::Kind::Uint8: ASSERT_EQ(sample_at<uint8_t>(pixels, i), v) << i; break;
      case PixelSamples::Kind::Uint16: {
        const double max = static_cast<double>((1u << c.image.bits) - 1);
        const auto u16 = static_cast<uint16_t>(std::lround(v * 65535.0 / max));
        if (colour) {
          ASSERT_EQ(sample_at<uint8_t>(pixels, i), u16 >> 8) << i;
        } else {
          ASSERT_EQ(sample_at<uint16_t>(pixels, i), u16) << i;
        }
        break;
      }
      case PixelSamples::Kind::Float16:
      case PixelSamples::Kind::Float:
        if (colour) {
          ASSERT_EQ(sample_at<uint8_t>(pixels, i), f_byte) << i;
        } else {
          ASSERT_EQ(sample_at<float>(pixels, i), f) << i;
        }
        break;
    }
  }
}

constexpr Image with(uint32_t channels, uint32_t bits, uint32_t exponent_bits = 0) {
  Image im;
  im.channels = channels;
  im.bits = bits;
  im.exponent_bits = exponent_bits;
  return im;
}

Image animation(uint32_t frames) {
  Image im = with(4, 8);
  im.frames = frames;
  return im;
}

Image in_container(Image im) {
  im.container = true;
  return im;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeSamples,
    testing::Values(SampleCase{"grey8", with(1, 8), PixelSamples::Kind::Uint8, 1},
                    SampleCase{"grey_alpha8", with(2, 8), PixelSamples::Kind::Uint8, 1},
                    SampleCase{"rgb8", with(3, 8), PixelSamples::Kind::Uint8, 1},
                    SampleCase{"rgba8", with(4, 8), PixelSamples::Kind::Uint8, 1},
                    SampleCase{"rgb8_container", in_container(with(3, 8)),
                               PixelSamples::Kind::Uint8, 1},
                    SampleCase{"grey10", with(1, 10), PixelSamples::Kind::Uint16, 2},
                    SampleCase{"rgb12", with(3, 12), PixelSamples::Kind::Uint16, 1},
                    SampleCase{"rgba16", with(4, 16), PixelSamples::Kind::Uint16, 1},
                    SampleCase{"rgb_half", with(3, 16, 5), PixelSamples::Kind::Float16, 1},
                    SampleCase{"grey_alpha_half", with(2, 16, 5), PixelSamples::Kind::Float16, 4},
                    SampleCase{"grey_float", with(1, 32, 8), PixelSamples::Kind::Float, 4},
                    SampleCase{"rgba_float", with(4, 32, 8), PixelSamples::Kind::Float, 1},
                    SampleCase{"animation_last_frame", animation(3), PixelSamples::Kind::Uint8, 1}),
    [](const testing::TestParamInfo<SampleCase>& p) { return std::string(p.param.name); });

TEST(DecoderDriver, TwentyBitIntegersHaveNoOutputType) {
  auto decoded = decode_ignoring_pixels(encode(with(3, 20)));
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().kind, Kind::BitWidthUnsupported);
  EXPECT_EQ(decoded.error().bits, 20u);
}

TEST(DecoderDriver, TwentyFourBitFloatsHaveNoOutputType) {
  Image im = with(3, 24, 8);
  im.lossless = false;
  auto decoded = decode_ignoring_pixels(encode(im));
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().kind, Kind::BitWidthUnsupported);
  EXPECT_EQ(error_text(decoded.error()), "Unsupported Pixel bit width: 24");
}

TEST(DecoderDriver, NotJpegXlBeforeAnyDecoding) {
  for (const Bytes& input : {Bytes{}, Bytes{0xFF}, Bytes{0x00, 0x00, 0x00, 0x0C},
                             Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'},
                             Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, small_jpeg()}) {
    auto decoded = decode_ignoring_pixels(input);
    ASSERT_FALSE(decoded.ok()) << input.size();
    EXPECT_EQ(decoded.error().kind, Kind::NotJpegXl) << input.size();
  }
}

TEST(DecoderDriver, GarbageAfterSignatureIsDecoderFailure) {
  auto decoded = decode_ignoring_pixels(Bytes{0xFF, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().kind, Kind::DecoderFailure);
}

class Truncated : public testing::TestWithParam<bool> {};

TEST_P(Truncated, EveryPrefixFailsCleanly) {
  Image im = with(4, 8);
  im.width = 40;
  im.height = 30;
  im.container = GetParam();
  const Bytes whole = encode(im);
  // Prefixes shorter than the signature are not recognised as JPEG XL at all.
  const size_t signature = im.container ? 12 : 2;
  auto driver = DecoderOptions{}.build();
  ASSERT_TRUE(driver.ok());
  OwnedImageBytes store;
  for (size_t n = 0; n < whole.size(); ++n) {
    auto decoded = driver.value().decode_or_reconstruct({whole.data(), n}, store);
    ASSERT_FALSE(decoded.ok()) << n;
    EXPECT_EQ(decoded.error().kind, n < signature ? Kind::NotJpegXl : Kind::DecoderFailure) << n;
  }
  EXPECT_TRUE(driver.value().decode_or_reconstruct(whole, store).ok());
}

INSTANTIATE_TEST_SUITE_P(Forms, Truncated, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return p.param ? "container" : "codestream";
                         });

TEST(DecoderDriver, IccOnlyWhenWanted) {
  DecoderOptions options;
  options.want_icc = false;
  auto decoded = decode_ignoring_pixels(encode(with(3, 8)), options);
  ASSERT_TRUE(decoded.ok());
  EXPECT_FALSE(decoded.value().metadata.icc.has_value());
}

TEST(DecoderDriver, OneDriverDecodesAgain) {
  const Bytes rgb = encode(with(3, 8));
  const Bytes grey16 = encode(with(1, 16));
  auto driver = DecoderOptions{}.build();
  ASSERT_TRUE(driver.ok());
  OwnedImageBytes first_store, second_store, third_store;
  auto first = driver.value().decode_or_reconstruct(rgb, first_store);
  auto second = driver.value().decode_or_reconstruct(grey16, second_store);
  auto third = driver.value().decode_or_reconstruct(rgb, third_store);
  ASSERT_TRUE(first.ok() && second.ok() && third.ok());
  EXPECT_EQ(pixels_of(second.value()).kind, PixelSamples::Kind::Uint16);
  EXPECT_EQ(final_bytes(first_store, pixels_of(first.value())),
            final_bytes(third_store, pixels_of(third.value())));
}

TEST(DecoderDriver, RunnerGivesTheSamePixels) {
  Image im = with(3, 8);
  im.width = 300;
  im.height = 280;
  const Bytes file = encode(im);
  auto runner = create_runner(4);
  ASSERT_TRUE(runner.has_value());
  DecoderOptions threaded;
  threaded.runner = &*runner;
  OwnedImageBytes threaded_store, plain_store;
  auto with_runner = decode(file, threaded_store, threaded);
  auto without = decode(file, plain_store);
  ASSERT_TRUE(with_runner.ok() && without.ok());
  EXPECT_EQ(final_bytes(threaded_store, pixels_of(with_runner.value())),
            final_bytes(plain_store, pixels_of(without.value())));
}

TEST(DecoderDriver, JpegIsRebuiltExactly) {
  const Bytes jpeg = small_jpeg();
  ASSERT_FALSE(jpeg.empty());
  auto decoded = decode_ignoring_pixels(transcode_jpeg(jpeg));
  ASSERT_TRUE(decoded.ok()) << error_text(decoded.error());
  ASSERT_TRUE(decoded.value().image.is_jpeg());
  const Bytes& rebuilt = std::get<Bytes>(decoded.value().image.content);
  EXPECT_EQ(rebuilt, jpeg);
  EXPECT_EQ(rebuilt.capacity(), rebuilt.size());
  EXPECT_EQ(decoded.value().metadata.width, 48u);
  EXPECT_EQ(decoded.value().metadata.height, 32u);
  EXPECT_TRUE(decoded.value().metadata.icc.has_value());
}

TEST(DecoderDriver, JpegBufferGrowsFromAnyStartSize) {
  const Bytes jpeg = small_jpeg();
  const Bytes file = transcode_jpeg(jpeg);
  for (size_t start : {size_t{1}, size_t{100}, jpeg.size() - 1, jpeg.size()}) {
    DecoderOptions options;
    options.initial_jpeg_buffer_size = start;
    auto decoded = decode_ignoring_pixels(file, options);
    ASSERT_TRUE(decoded.ok()) << start;
    EXPECT_EQ(std::get<Bytes>(decoded.value().image.content), jpeg) << start;
  }
}

TEST(DecoderDriver, JpegFarAboveTheFirstBufferIsRebuiltExactly) {
  const Bytes jpeg = large_jpeg_from_cjpeg();
  if (jpeg.empty()) TESSARA_TOOL_MISSING("cjpeg");
  ASSERT_GT(jpeg.size(), size_t{1} << 20);
  auto decoded = decode_ignoring_pixels(transcode_jpeg(jpeg));
  ASSERT_TRUE(decoded.ok()) << error_text(decoded.error());
  EXPECT_TRUE(std::get<Bytes>(decoded.value().image.content) == jpeg);
}

// A store that cannot provide memory fails the decode as out of memory, and
// the driver can decode again afterwards.
class NoMemory final : public SampleStore {
 public:
  SamplePlacement place(PixelSamples::Kind, uint32_t, size_t) noexcept override { return {}; }
};

TEST(DecoderDriver, StoreWithoutMemoryIsOutOfMemory) {
  auto driver = DecoderOptions{}.build();
  ASSERT_TRUE(driver.ok());
  NoMemory none;
  const Bytes file = encode(with(3, 8));
  auto decoded = driver.value().decode_or_reconstruct(file, none);
  ASSERT_FALSE(decoded.ok());
  EXPECT_EQ(decoded.error().kind, Kind::OutOfMemory);
  OwnedImageBytes store;
  EXPECT_TRUE(driver.value().decode_or_reconstruct(file, store).ok());
}

}  // namespace
}  // namespace tessara
