// Tests of the encoder driver: everything it writes is read back with libjxl's
// own decoder, or walked box by box, and compared with what went in.
#include "codec/encoder.h"

#include <gtest/gtest.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "codec/test_tools.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;
using Output = Result<Bytes, EncodeError>;

constexpr float kDefaultQualityDistance = 23.9f;  // JxlEncoderDistanceFromQuality(1.0f)

ThreadsRunner make_runner(int64_t threads = -1) {
  // An empty optional throws here, which fails the test that asked.
  return std::move(create_runner(threads).value());
}

// ---- Synthetic images ----------------------------------------------------

template <typename T>
T from_unit(double v) {
  if constexpr (std::is_same_v<T, float>) {
    return static_cast<float>(v);
  } else {
    return static_cast<T>(std::lround(v * std::numeric_limits<T>::max()));
  }
}

template <typename T>
double to_unit(T v) {
  if constexpr (std::is_same_v<T, float>) {
    return v;
  } else {
    return static_cast<double>(v) / std::numeric_limits<T>::max();
  }
}

struct Noise {
  uint64_t state = 0x9E3779B97F4A7C15u;
  double next() {  // xorshift64, uniform in [0, 1)
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  }
};

template <typename T>
std::vector<T> smooth_image(uint32_t w, uint32_t h, uint32_t channels) {
  std::vector<T> px;
  px.reserve(size_t{w} * h * channels);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t c = 0; c < channels; ++c)
        px.push_back(from_unit<T>(0.5 + 0.4 * std::sin(x * 0.07 + c) * std::cos(y * 0.05 - c)));
  return px;
}

template <typename T>
std::vector<T> noise_image(uint32_t w, uint32_t h, uint32_t channels) {
  std::vector<T> px(size_t{w} * h * channels);
  Noise noise;
  for (T& v : px) v = from_unit<T>(noise.next());
  return px;
}

// ---- Encoding and decoding -------------------------------------------------

template <typename T>
Output encode(const std::vector<T>& px, uint32_t channels, uint32_t w, uint32_t h,
              const EncoderSettings& settings, int64_t threads = -1, uint8_t effort = 7) {
  ThreadsRunner runner = make_runner(threads);
  auto driver = EncoderDriver::create(runner, settings);
  if (!driver) return Err{driver.error()};
  driver.value().set_effort(effort);
  return driver.value().encode_pixels(PixelFrame<T>{px.data(), px.size(), channels}, w, h);
}

Output transcode(const Bytes& jpeg, const EncoderSettings& settings) {
  ThreadsRunner runner = make_runner();
  auto driver = EncoderDriver::create(runner, settings);
  if (!driver) return Err{driver.error()};
  return driver.value().encode_jpeg(jpeg);
}

template <typename T>
struct Decoded {
  JxlBasicInfo info{};
  JxlColorEncoding color{};
  std::vector<T> pixels;
  size_t unread_input = 0;  // bytes libjxl did not need
};

template <typename T>
JxlDataType data_type_of() {
  if constexpr (std::is_same_v<T, uint8_t>) return JXL_TYPE_UINT8;
  if constexpr (std::is_same_v<T, uint16_t>) return JXL_TYPE_UINT16;
  return JXL_TYPE_FLOAT;
}

template <typename T>
std::optional<Decoded<T>> decode(const Bytes& file, uint32_t channels) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  const int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE;
  if (JxlDecoderSubscribeEvents(dec.get(), events) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec.get(), file.data(), file.size()) != JXL_DEC_SUCCESS) {
    return std::nullopt;
  }
  JxlDecoderCloseInput(dec.get());
  const JxlPixelFormat format{channels, data_type_of<T>(), JXL_NATIVE_ENDIAN, 0};
  Decoded<T> out;
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(dec.get(), &out.info) != JXL_DEC_SUCCESS) return std::nullopt;
        break;
      case JXL_DEC_COLOR_ENCODING:
        if (JxlDecoderGetColorAsEncodedProfile(dec.get(), JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                               &out.color) != JXL_DEC_SUCCESS) {
          return std::nullopt;
        }
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        size_t size = 0;
        if (JxlDecoderImageOutBufferSize(dec.get(), &format, &size) != JXL_DEC_SUCCESS) {
          return std::nullopt;
        }
        out.pixels.resize(size / sizeof(T));
        if (JxlDecoderSetImageOutBuffer(dec.get(), &format, out.pixels.data(), size) !=
            JXL_DEC_SUCCESS) {
          return std::nullopt;
        }
        break;
      }
      case JXL_DEC_FULL_IMAGE: break;
      case JXL_DEC_SUCCESS:
        out.unread_input = JxlDecoderReleaseInput(dec.get());
        return out;
      default: return std::nullopt;
    }
  }
}

// The JPEG file libjxl rebuilds from the reconstruction data, or nothing.
std::optional<Bytes> reconstruct_jpeg(const Bytes& file) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE) !=
          JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec.get(), file.data(), file.size()) != JXL_DEC_SUCCESS) {
    return std::nullopt;
  }
  JxlDecoderCloseInput(dec.get());
  Bytes jpeg(4096);
  size_t used = 0;
  auto hand_out_rest = [&] {
    return JxlDecoderSetJPEGBuffer(dec.get(), jpeg.data() + used, jpeg.size() - used);
  };
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_JPEG_RECONSTRUCTION:
        if (hand_out_rest() != JXL_DEC_SUCCESS) return std::nullopt;
        break;
      case JXL_DEC_JPEG_NEED_MORE_OUTPUT:
        used = jpeg.size() - JxlDecoderReleaseJPEGBuffer(dec.get());
        jpeg.resize(jpeg.size() * 2);
        if (hand_out_rest() != JXL_DEC_SUCCESS) return std::nullopt;
        break;
      case JXL_DEC_FULL_IMAGE:
        used = jpeg.size() - JxlDecoderReleaseJPEGBuffer(dec.get());
        break;
      case JXL_DEC_SUCCESS:
        jpeg.resize(used);
        return jpeg;
      default: return std::nullopt;  // including a pixel buffer request: no JPEG stored
    }
  }
}

struct Box {
  std::string type;
  Bytes contents;
  bool operator==(const Box&) const = default;
};

uint64_t read_be(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// Every box of a container in file order; nothing for a bare codestream or a
// malformed structure.
std::optional<std::vector<Box>> walk_container(const Bytes& file) {
  static const uint8_t kSignature[] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 13, 10, 0x87, 10};
  if (file.size() < sizeof kSignature || std::memcmp(file.data(), kSignature, 12) != 0) {
    return std::nullopt;
  }
  std::vector<Box> boxes;
  size_t pos = 0;
  while (pos < file.size()) {
    if (file.size() - pos < 8) return std::nullopt;
    uint64_t size = read_be(&file[pos], 4);
    size_t header = 8;
    if (size == 1) {
      if (file.size() - pos < 16) return std::nullopt;
      size = read_be(&file[pos + 8], 8);
      header = 16;
    } else if (size == 0) {
      size = file.size() - pos;
    }
    if (size < header || size > file.size() - pos) return std::nullopt;
    boxes.push_back(Box{std::string(reinterpret_cast<const char*>(&file[pos + 4]), 4),
                        Bytes(file.begin() + static_cast<ptrdiff_t>(pos + header),
                              file.begin() + static_cast<ptrdiff_t>(pos + size))});
    pos += size;
  }
  return boxes;
}

// Metadata boxes as libjxl's decoder reads them, Brotli-compressed ones unpacked.
std::optional<std::vector<Box>> read_boxes_with_libjxl(const Bytes& file) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BOX) != JXL_DEC_SUCCESS ||
      JxlDecoderSetDecompressBoxes(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec.get(), file.data(), file.size()) != JXL_DEC_SUCCESS) {
    return std::nullopt;
  }
  JxlDecoderCloseInput(dec.get());
  std::vector<Box> boxes;
  size_t used = 0;
  auto finish_box = [&] {
    if (boxes.empty()) return;
    Bytes& c = boxes.back().contents;
    c.resize(c.size() - JxlDecoderReleaseBoxBuffer(dec.get()));
  };
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_BOX: {
        finish_box();
        JxlBoxType type;
        if (JxlDecoderGetBoxType(dec.get(), type, JXL_TRUE) != JXL_DEC_SUCCESS) return std::nullopt;
        boxes.push_back(Box{std::string(type, 4), Bytes(1 << 16)});
        used = 0;
        Bytes& c = boxes.back().contents;
        if (JxlDecoderSetBoxBuffer(dec.get(), c.data(), c.size()) != JXL_DEC_SUCCESS) {
          return std::nullopt;
        }
        break;
      }
      case JXL_DEC_BOX_NEED_MORE_OUTPUT: {
        Bytes& c = boxes.back().contents;
        used = c.size() - JxlDecoderReleaseBoxBuffer(dec.get());
        c.resize(c.size() * 2);
        if (JxlDecoderSetBoxBuffer(dec.get(), c.data() + used, c.size() - used) !=
            JXL_DEC_SUCCESS) {
          return std::nullopt;
        }
        break;
      }
      case JXL_DEC_SUCCESS:
        finish_box();
        return boxes;
      default: return std::nullopt;
    }
  }
}

bool is_bare_codestream(const Bytes& file) {
  return file.size() >= 2 && file[0] == 0xFF && file[1] == 0x0A;
}

// ---- Round trips over every colour encoding and sample type --------------------

enum class Sample { U8, U16, F32 };

struct RoundTripCase {
  const char* name;
  Sample sample;
  uint32_t channels;
  EncoderColorEncoding color;
  // Largest difference of a sample at distance 1, as a fraction of full scale.
  double lossy_bound;
};

// At distance 1 colour samples measured up to 8/255 off and grey ones 2/255
// (0.0123 of full scale in linear 16-bit and float); the bounds leave room.
const RoundTripCase kRoundTripCases[] = {
    {"grey8", Sample::U8, 1, EncoderColorEncoding::SrgbGrey, 5.0 / 255},
    {"grey_alpha8", Sample::U8, 2, EncoderColorEncoding::SrgbGrey, 5.0 / 255},
    {"rgb8", Sample::U8, 3, EncoderColorEncoding::Srgb, 12.0 / 255},
    {"rgba8", Sample::U8, 4, EncoderColorEncoding::Srgb, 12.0 / 255},
    {"linear_rgb8", Sample::U8, 3, EncoderColorEncoding::LinearSrgb, 12.0 / 255},
    {"linear_grey8", Sample::U8, 1, EncoderColorEncoding::LinearSrgbGrey, 5.0 / 255},
    {"linear_grey16", Sample::U16, 1, EncoderColorEncoding::LinearSrgbGrey, 0.02},
    {"linear_grey_float", Sample::F32, 1, EncoderColorEncoding::LinearSrgbGrey, 0.02},
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

bool grey(EncoderColorEncoding c) {
  return c == EncoderColorEncoding::SrgbGrey || c == EncoderColorEncoding::LinearSrgbGrey;
}

class RoundTrip : public testing::TestWithParam<std::tuple<RoundTripCase, bool>> {
 protected:
  template <typename T>
  void run() {
    const auto& [c, lossless] = GetParam();
    constexpr uint32_t w = 64, h = 48;
    const bool alpha = c.channels == 2 || c.channels == 4;
    EncoderSettings settings;
    settings.has_alpha = alpha;
    settings.lossless = lossless;
    settings.uses_original_profile = lossless;
    // Lossless encoders still get the distance of the default quality.
    settings.distance = lossless ? kDefaultQualityDistance : 1.0f;
    settings.color = c.color;
    const std::vector<T> px =
        lossless ? noise_image<T>(w, h, c.channels) : smooth_image<T>(w, h, c.channels);

    Output out = encode(px, c.channels, w, h, settings);
    ASSERT_TRUE(out.ok()) << error_text(out.error());
    auto back = decode<T>(out.value(), c.channels);
    ASSERT_TRUE(back.has_value());

    const uint32_t bits = sizeof(T) * 8;
    const uint32_t exponent_bits = std::is_same_v<T, float> ? 8 : 0;
    EXPECT_EQ(back->info.xsize, w);
    EXPECT_EQ(back->info.ysize, h);
    EXPECT_EQ(back->info.bits_per_sample, bits);
    EXPECT_EQ(back->info.exponent_bits_per_sample, exponent_bits);
    EXPECT_EQ(back->info.num_color_channels, grey(c.color) ? 1u : 3u);
    EXPECT_EQ(back->info.num_extra_channels, alpha ? 1u : 0u);
    EXPECT_EQ(back->info.alpha_bits, alpha ? bits : 0u);
    EXPECT_EQ(back->info.alpha_exponent_bits, alpha ? exponent_bits : 0u);
    EXPECT_EQ(back->color.color_space, grey(c.color) ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB);
    const bool linear = c.color == EncoderColorEncoding::LinearSrgb ||
                        c.color == EncoderColorEncoding::LinearSrgbGrey;
    EXPECT_EQ(back->color.transfer_function,
              linear ? JXL_TRANSFER_FUNCTION_LINEAR : JXL_TRANSFER_FUNCTION_SRGB);

    ASSERT_EQ(back->pixels.size(), px.size());
    if (lossless) {
      EXPECT_TRUE(back->pixels == px);
      return;
    }
    double worst = 0;
    for (size_t i = 0; i < px.size(); ++i) {
      worst = std::max(worst, std::abs(to_unit(back->pixels[i]) - to_unit(px[i])));
    }
    EXPECT_LE(worst, c.lossy_bound);
    EXPECT_GT(worst, 0.0) << "a lossy encoding came back exact";
  }
};

TEST_P(RoundTrip, DecodesToTheImageGiven) {
  switch (std::get<0>(GetParam()).sample) {
    case Sample::U8: return run<uint8_t>();
    case Sample::U16: return run<uint16_t>();
    case Sample::F32: return run<float>();
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllEncodings, RoundTrip, testing::Combine(testing::ValuesIn(kRoundTripCases), testing::Bool()),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) +
             (std::get<1>(p.param) ? "_lossless" : "_lossy");
    });

// ---- Output buffer -----------------------------------------------------------

TEST(EncoderOutput, SmallFileComesBackAtItsExactLength) {
  const auto px = smooth_image<uint8_t>(32, 32, 3);
  Output out = encode(px, 3, 32, 32, EncoderSettings{});
  ASSERT_TRUE(out.ok()) << error_text(out.error());
  ASSERT_LT(out.value().size(), 512u * 1024);
  EXPECT_EQ(out.value().capacity(), out.value().size());
  auto back = decode<uint8_t>(out.value(), 3);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->unread_input, 0u) << "output carries bytes beyond the codestream";
}

TEST(EncoderOutput, FileLargerThanTwoDoublingsIsWhole) {
  constexpr uint32_t w = 1024, h = 512;  // lossless noise: about 1.5 MiB
  const auto px = noise_image<uint8_t>(w, h, 3);
  EncoderSettings settings;
  settings.lossless = true;
  settings.uses_original_profile = true;
  Output out = encode(px, 3, w, h, settings, -1, /*effort=*/1);
  ASSERT_TRUE(out.ok()) << error_text(out.error());
  ASSERT_GT(out.value().size(), 1024u * 1024);
  EXPECT_EQ(out.value().capacity(), out.value().size());
  auto back = decode<uint8_t>(out.value(), 3);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->unread_input, 0u);
  EXPECT_TRUE(back->pixels == px);
}

TEST(EncoderOutput, SameBytesWhateverTheWorkerCount) {
  constexpr uint32_t w = 256, h = 192;
  auto px = smooth_image<uint8_t>(w, h, 4);
  const auto noise = noise_image<uint8_t>(w, h, 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(px[i] ^ (noise[i] & 7));
  EncoderSettings settings;
  settings.has_alpha = true;
  Output reference = encode(px, 4, w, h, settings, 0);
  ASSERT_TRUE(reference.ok()) << error_text(reference.error());
  for (int64_t threads : {1, 2, -1}) {
    Output out = encode(px, 4, w, h, settings, threads);
    ASSERT_TRUE(out.ok()) << error_text(out.error());
    EXPECT_TRUE(out.value() == reference.value()) << threads << " workers";
  }
}

TEST(EncoderOutput, DriverEncodesAgainAfterASuccess) {
  const auto px = smooth_image<uint8_t>(40, 30, 3);
  ThreadsRunner runner = make_runner();
  auto driver = EncoderDriver::create(runner, EncoderSettings{});
  ASSERT_TRUE(driver.ok());
  const PixelFrame<uint8_t> frame{px.data(), px.size(), 3};
  Output first = driver.value().encode_pixels(frame, 40, 30);
  Output second = driver.value().encode_pixels(frame, 40, 30);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_TRUE(first.value() == second.value());
}

// ---- Metadata boxes -----------------------------------------------------------

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct BoxInput {
  BoxKind kind;
  std::string type;
  Bytes contents;
};

// Deliberately not in the caller's usual order: the driver must keep its own.
std::vector<BoxInput> sample_boxes() {
  Bytes exif = bytes_of(std::string("\0\0\0\0MM\0*", 8));
  for (int i = 0; i < 3000; ++i) exif.push_back(static_cast<uint8_t>(i % 7));
  return {{BoxKind::Jumbf, "jumb", bytes_of("jumbf payload")},
          {BoxKind::Exif, "Exif", exif},
          {BoxKind::Xml, "xml ", bytes_of("<x:xmpmeta xmlns:x='adobe:ns:meta/'/>")}};
}

Output encode_with_boxes(const std::vector<BoxInput>& boxes, bool compress,
                         bool use_container = false) {
  const auto px = smooth_image<uint8_t>(16, 16, 3);
  EncoderSettings settings;
  settings.use_container = use_container;
  ThreadsRunner runner = make_runner();
  auto driver = EncoderDriver::create(runner, settings);
  if (!driver) return Err{driver.error()};
  for (const BoxInput& b : boxes) {
    Status<EncodeError> added = driver.value().add_box(b.kind, b.contents, compress);
    if (!added) return Err{added.error()};
  }
  return driver.value().encode_pixels(PixelFrame<uint8_t>{px.data(), px.size(), 3}, 16, 16);
}

std::vector<Box> metadata_boxes(const std::vector<Box>& all) {
  std::vector<Box> picked;
  for (const Box& b : all) {
    if (b.type == "Exif" || b.type == "xml " || b.type == "jumb" || b.type == "brob") {
      picked.push_back(b);
    }
  }
  return picked;
}

TEST(EncoderBoxes, StoredVerbatimInTheOrderAdded) {
  const auto input = sample_boxes();
  Output out = encode_with_boxes(input, /*compress=*/false);
  ASSERT_TRUE(out.ok()) << error_text(out.error());
  auto boxes = walk_container(out.value());
  ASSERT_TRUE(boxes.has_value()) << "boxes did not force a container";
  std::vector<Box> expected;
  for (const BoxInput& b : input) expected.push_back(Box{b.type, b.contents});
  EXPECT_EQ(metadata_boxes(*boxes), expected);
  ASSERT_TRUE(decode<uint8_t>(out.value(), 3).has_value());
}

TEST(EncoderBoxes, CompressedBoxesAreBrotliBoxesOfTheSameContents) {
  const auto input = sample_boxes();
  Output out = encode_with_boxes(input, /*compress=*/true);
  ASSERT_TRUE(out.ok()) << error_text(out.error());
  auto walked = walk_container(out.value());
  ASSERT_TRUE(walked.has_value());
  const auto stored = metadata_boxes(*walked);
  ASSERT_EQ(stored.size(), input.size());
  for (size_t i = 0; i < input.size(); ++i) {
    EXPECT_EQ(stored[i].type, "brob");
    ASSERT_GE(stored[i].contents.size(), 4u);
    EXPECT_EQ(std::string(stored[i].contents.begin(), stored[i].contents.begin() + 4),
              input[i].type);
  }
  auto unpacked = read_boxes_with_libjxl(out.value());
  ASSERT_TRUE(unpacked.has_value());
  std::vector<Box> expected;
  for (const BoxInput& b : input) expected.push_back(Box{b.type, b.contents});
  EXPECT_EQ(metadata_boxes(*unpacked), expected);
}

// libjxl's reset forgets that boxes were enabled; a reused driver must enable
// them again rather than fail its second run.
TEST(EncoderBoxes, DriverAddsBoxesAgainAfterASuccess) {
  const auto px = smooth_image<uint8_t>(16, 16, 3);
  const auto input = sample_boxes();
  ThreadsRunner runner = make_runner();
  auto driver = EncoderDriver::create(runner, EncoderSettings{});
  ASSERT_TRUE(driver.ok());
  std::vector<Box> expected;
  for (const BoxInput& b : input) expected.push_back(Box{b.type, b.contents});
  for (int run = 0; run < 3; ++run) {
    for (const BoxInput& b : input) {
      Status<EncodeError> added = driver.value().add_box(b.kind, b.contents, run == 1);
      ASSERT_TRUE(added.ok()) << "run " << run << ": " << error_text(added.error());
    }
    Output out = driver.value().encode_pixels(PixelFrame<uint8_t>{px.data(), px.size(), 3}, 16, 16);
    ASSERT_TRUE(out.ok()) << "run " << run << ": " << error_text(out.error());
    auto boxes = read_boxes_with_libjxl(out.value());
    ASSERT_TRUE(boxes.has_value()) << "run " << run;
    EXPECT_EQ(metadata_boxes(*boxes), expected) << "run " << run;
  }
}

TEST(EncoderBoxes, EmptyContentsMakeAnEmptyBox) {
  Output out = encode_with_boxes({{BoxKind::Exif, "Exif", {}}}, false);
  ASSERT_TRUE(out.ok()) << error_text(out.error());
  auto boxes = walk_container(out.value());
  ASSERT_TRUE(boxes.has_value());
  EXPECT_EQ(metadata_boxes(*boxes), (std::vector<Box>{{"Exif", {}}}));
}

TEST(EncoderBoxes, ContainerOnlyWhenAskedForOrNeededByBoxes) {
  const struct {
    bool use_container;
    bool with_box;
    bool container;
  } cases[] = {{false, false, false}, {true, false, true}, {false, true, true}, {true, true, true}};
  for (const auto& c : cases) {
    std::vector<BoxInput> boxes;
    if (c.with_box) boxes.push_back({BoxKind::Xml, "xml ", bytes_of("<x/>")});
    Output out = encode_with_boxes(boxes, false, c.use_container);
    ASSERT_TRUE(out.ok()) << error_text(out.error());
    EXPECT_EQ(walk_container(out.value()).has_value(), c.container)
        << "use_container=" << c.use_container << " with_box=" << c.with_box;
    EXPECT_EQ(is_bare_codestream(out.value()), !c.container);
  }
}

// ---- Refusals -------------------------------------------------------------------

TEST(EncoderErrors, RefusalsMapToTheirKinds) {
  const auto px = smooth_image<uint8_t>(8, 8, 3);
  auto with_float = [](float value) {
    auto grey = smooth_image<float>(8, 8, 1);
    grey[13] = value;
    return grey;
  };
  const EncoderSettings grey{.color = EncoderColorEncoding::LinearSrgbGrey};
  const std::vector<uint8_t> short_px(px.begin(), px.end() - 1);
  const Bytes not_jpeg = bytes_of("this is not a JPEG file at all");
  const Bytes truncated_soi = {0xFF, 0xD8, 0xFF};
  const struct {
    const char* what;
    Output out;
    EncodeError expected;
  } cases[] = {
      {"short pixel data", encode(short_px, 3, 8, 8, EncoderSettings{}), EncodeError::ApiUsage},
      {"width 0", encode(px, 3, 0, 8, EncoderSettings{}), EncodeError::ApiUsage},
      {"height 0", encode(px, 3, 8, 0, EncoderSettings{}), EncodeError::ApiUsage},
      {"text as JPEG", transcode(not_jpeg, EncoderSettings{}), EncodeError::BadInput},
      {"truncated JPEG", transcode(truncated_soi, EncoderSettings{}), EncodeError::BadInput},
      {"empty JPEG", transcode(Bytes{}, EncoderSettings{}), EncodeError::BadInput},
      // libjxl's range check lets NaN through and then asserts deep inside.
      {"NaN distance", encode(px, 3, 8, 8, EncoderSettings{.distance = NAN}),
       EncodeError::ApiUsage},
      {"negative NaN distance", encode(px, 3, 8, 8, EncoderSettings{.distance = -NAN}),
       EncodeError::ApiUsage},
      {"infinite distance", encode(px, 3, 8, 8, EncoderSettings{.distance = INFINITY}),
       EncodeError::ApiUsage},
      {"NaN lossless", encode(px, 3, 8, 8, EncoderSettings{.lossless = true, .distance = NAN}),
       EncodeError::ApiUsage},
      // Samples libjxl's lossy coder asserts on, at an effort where it does.
      {"NaN sample", encode(with_float(NAN), 1, 8, 8, grey, -1, 7), EncodeError::BadInput},
      {"infinite sample", encode(with_float(INFINITY), 1, 8, 8, grey, -1, 7),
       EncodeError::BadInput},
      {"huge sample", encode(with_float(-3e38f), 1, 8, 8, grey, -1, 7), EncodeError::BadInput},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.out.ok()) << c.what;
    EXPECT_EQ(c.out.error(), c.expected) << c.what << ": " << error_text(c.out.error());
  }
  // Lossless coding takes those samples, and a large finite one is fine lossy.
  EncoderSettings lossless = grey;
  lossless.lossless = true;
  lossless.uses_original_profile = true;
  EXPECT_TRUE(encode(with_float(NAN), 1, 8, 8, lossless, -1, 7).ok());
  EXPECT_TRUE(encode(with_float(1e30f), 1, 8, 8, grey, -1, 7).ok());
}

// ---- Our own allocation failing ---------------------------------------------

// With no sanitizer replacing operator new, the test binary's own operator new
// can refuse one chosen request size, which is how the output buffer is hit.
#if defined(__SANITIZE_ADDRESS__)
#define TESSARA_OWN_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define TESSARA_OWN_NEW 0
#endif
#endif
#ifndef TESSARA_OWN_NEW
#define TESSARA_OWN_NEW 1
#endif

#if TESSARA_OWN_NEW
std::atomic<size_t> g_refused_size{0};
#endif

}  // namespace
}  // namespace tessara

#if TESSARA_OWN_NEW
// g++ sees malloc/free behind the replaced operators once they are inlined
// and takes them for a mismatched pair; they are the matched pair here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (size != 0 && size == tessara::g_refused_size.load()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace tessara {
namespace {

TEST(EncoderAllocation, FailedOutputBufferIsAnErrorValue) {
#if !TESSARA_OWN_NEW
  GTEST_SKIP() << "operator new belongs to the sanitizer";
#else
  const auto small = smooth_image<uint8_t>(16, 16, 3);
  const auto noise = noise_image<uint8_t>(600, 400, 3);  // about 700 KiB lossless
  EncoderSettings lossless;
  lossless.lossless = true;
  lossless.uses_original_profile = true;
  const struct {
    const char* what;
    size_t refused;
    const std::vector<uint8_t>& px;
    uint32_t w, h;
  } cases[] = {{"first buffer", 512 * 1024, small, 16, 16},
               {"doubled buffer", 1024 * 1024, noise, 600, 400}};
  for (const auto& c : cases) {
    ThreadsRunner runner = make_runner(0);
    auto driver = EncoderDriver::create(runner, lossless);
    ASSERT_TRUE(driver.ok());
    driver.value().set_effort(1);
    g_refused_size = c.refused;
    const PixelFrame<uint8_t> frame{c.px.data(), c.px.size(), 3};
    Output out = driver.value().encode_pixels(frame, c.w, c.h);
    g_refused_size = 0;
    ASSERT_FALSE(out.ok()) << c.what;
    EXPECT_EQ(out.error(), EncodeError::AllocationFailed) << c.what;
  }
#endif
}

// ---- JPEG transcoding -----------------------------------------------------------

// A file under the temporary directory that is removed again with the object.
class TempFile {
 public:
  explicit TempFile(const Bytes& contents) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/tessara-test-XXXXXX";
    const int fd = mkstemp(path_.data());
    if (fd < 0) return;
    ok_ = write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

bool cjpeg_available() { return std::system("command -v cjpeg >/dev/null 2>&1") == 0; }

// A PPM (3 channels) or PGM (1 channel) of a smooth image with some grain.
Bytes netpbm_image(uint32_t w, uint32_t h, uint32_t channels) {
  const std::string header =
      (channels == 1 ? "P5\n" : "P6\n") + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  Bytes file(header.begin(), header.end());
  const auto smooth = smooth_image<uint8_t>(w, h, channels);
  const auto grain = noise_image<uint8_t>(w, h, channels);
  for (size_t i = 0; i < smooth.size(); ++i) {
    file.push_back(static_cast<uint8_t>(smooth[i] / 2 + grain[i] / 4 + 32));
  }
  return file;
}

std::optional<Bytes> run_cjpeg(const std::string& options, const TempFile& input) {
  const std::string command = "cjpeg " + options + " '" + input.path() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  Bytes jpeg;
  uint8_t chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    jpeg.insert(jpeg.end(), chunk, chunk + n);
  }
  if (pclose(pipe) != 0 || jpeg.size() < 4) return std::nullopt;
  return jpeg;
}

struct JpegCase {
  const char* name;
  uint32_t channels;
  const char* cjpeg_options;
};

const JpegCase kJpegCases[] = {
    {"baseline", 3, "-quality 90"},
    {"progressive", 3, "-quality 85 -progressive"},
    {"grey", 1, "-quality 90"},
    {"restart_markers", 3, "-quality 90 -restart 1"},
    {"full_chroma_optimized", 3, "-quality 95 -sample 1x1 -optimize"},
};

struct JpegSettings {
  const char* name;
  float distance;
  bool lossless;
};

// The default quality's distance would make libjxl downsample a pixel frame.
const JpegSettings kJpegSettings[] = {
    {"distance1", 1.0f, false},
    {"default_quality", kDefaultQualityDistance, false},
    {"lossless", kDefaultQualityDistance, true},
};

void PrintTo(const JpegCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const JpegSettings& s, std::ostream* os) { *os << s.name; }

class JpegTranscode : public testing::TestWithParam<std::tuple<JpegCase, JpegSettings>> {};

TEST_P(JpegTranscode, RebuildsTheInputBitForBit) {
  if (!cjpeg_available()) TESSARA_TOOL_MISSING("cjpeg");
  const auto& [c, s] = GetParam();
  TempFile image(netpbm_image(97, 61, c.channels));  // partial MCUs at both edges
  ASSERT_TRUE(image.ok());
  auto jpeg = run_cjpeg(c.cjpeg_options, image);
  ASSERT_TRUE(jpeg.has_value()) << "cjpeg " << c.cjpeg_options;

  EncoderSettings settings;
  settings.distance = s.distance;
  settings.lossless = s.lossless;
  settings.uses_original_profile = s.lossless;
  Output out = transcode(*jpeg, settings);
  ASSERT_TRUE(out.ok()) << error_text(out.error());
  auto rebuilt = reconstruct_jpeg(out.value());
  ASSERT_TRUE(rebuilt.has_value()) << "no JPEG reconstruction data";
  EXPECT_TRUE(*rebuilt == *jpeg) << "rebuilt " << rebuilt->size() << " bytes of " << jpeg->size();

  auto pixels = decode<uint8_t>(out.value(), c.channels);
  ASSERT_TRUE(pixels.has_value());
  EXPECT_EQ(pixels->info.xsize, 97u);
  EXPECT_EQ(pixels->info.ysize, 61u);
}

INSTANTIATE_TEST_SUITE_P(CjpegFiles, JpegTranscode,
                         testing::Combine(testing::ValuesIn(kJpegCases),
                                          testing::ValuesIn(kJpegSettings)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param).name) + "_" +
                                  std::get<1>(p.param).name;
                         });

}  // namespace
}  // namespace tessara
