// The progressive decoder: files fed in pieces of every size decode to what
// a one-shot decode gives; the stages come in order and each picture is
// libjxl's own for the same bytes (a raw libjxl decoder flushed into a
// buffer pre-filled with a sentinel judges what was drawn, and where it drew
// nothing ours must be zero); bad bytes are error values; and the samples
// handed to Pillow match the module's decode.
#include "codec/progressive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "codec/animation.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/pixels.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;
using Kind = ProgressiveError::Kind;

const ThreadsRunner& pool() {
  static std::optional<ThreadsRunner> runner = create_runner(2);
  return *runner;
}

// A photo-like picture: shading, hard edges and grain, in whole values that
// every kind holds (integers below 2^bits; floats over 0..1).
Bytes picture(SampleKind kind, uint32_t w, uint32_t h, uint32_t channels, uint32_t bits) {
  std::mt19937 rng(w * 31 + h + channels);
  std::normal_distribution<double> grain(0.0, 0.02);
  const size_t size = layout_of(kind).size;
  const double top = std::ldexp(1.0, static_cast<int>(bits)) - 1;
  Bytes out(size_t{w} * h * channels * size);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      for (uint32_t c = 0; c < channels; ++c) {
        double v = 0.5 + 0.3 * std::sin(x * (0.01 + 0.004 * c) + y * 0.013) * std::cos(y * 0.021);
        if ((x / 61 + y / 47) % 5 == 0) v = 0.15 + 0.2 * c;
        if (c == 3 || (channels == 2 && c == 1)) v = x < w / 2 ? 1.0 : 0.6;  // alpha
        v = std::fmin(1.0, std::fmax(0.0, v + grain(rng)));
        uint8_t* p = &out[((size_t{y} * w + x) * channels + c) * size];
        if (kind == SampleKind::Float) {
          const float f = static_cast<float>(std::round(v * 1000) / 1000);
          std::memcpy(p, &f, 4);
        } else {
          const auto i = static_cast<uint32_t>(std::lround(v * top));
          std::memcpy(p, &i, size);  // little-endian: the low bytes
        }
      }
    }
  }
  return out;
}

struct FileCase {
  SampleKind kind = SampleKind::Uint8;
  uint32_t channels = 3;
  uint32_t bits = 0;  // 0: the kind's own
  bool lossless = false;
  Progression progression = {};
  uint32_t width = 600;
  uint32_t height = 420;
};

Bytes encode(const FileCase& c) {
  const uint32_t bits = c.bits ? c.bits : static_cast<uint32_t>(layout_of(c.kind).size * 8);
  const uint32_t top_bits = c.kind == SampleKind::Float ? 1 : bits;
  const Bytes pixels = picture(c.kind, c.width, c.height, c.channels, top_bits);
  const SampleFrame frame{c.kind, pixels, c.width, c.height, c.channels, c.bits, {}};
  EncoderSettings settings;
  settings.lossless = c.lossless;
  settings.distance = c.lossless ? 0.0f : 1.0f;
  auto driver = EncoderDriver::create(pool(), settings);
  EXPECT_TRUE(driver.ok());
  if (!driver) return {};
  driver.value().set_effort(c.lossless ? 1 : 3);
  driver.value().set_progression(c.progression);
  auto out = driver.value().encode_samples(frame);
  EXPECT_TRUE(out.ok());
  return out.ok() ? out.value() : Bytes{};
}

const Bytes& progressive_file() {
  static const Bytes file = encode(FileCase{.progression = {1, 1, 1}});
  return file;
}

// The array functions' decode of the whole file: frame 0 at full precision.
Bytes one_shot(const Bytes& file) {
  auto decoder = FrameDecoder::open(file, std::nullopt, create_runner(2));
  EXPECT_TRUE(decoder.ok());
  if (!decoder) return {};
  Bytes out(decoder.value().frame_bytes());
  EXPECT_TRUE(decoder.value().decode(0, out).ok());
  return out;
}

ProgressiveDecoder make(uint64_t max_pixels = 0, uint64_t frame = 0) {
  auto d = ProgressiveDecoder::create(max_pixels, create_runner(2), frame);
  EXPECT_TRUE(d.ok());
  return std::move(d.value());
}

Bytes copy_of(std::span<const uint8_t> s) { return Bytes(s.begin(), s.end()); }

// The samples as the array functions hand them out.
Bytes array_of(const ProgressiveDecoder& d) {
  Bytes out(d.array_bytes());
  EXPECT_TRUE(d.array_samples(d.samples(), out).ok());
  return out;
}

// ---- Pieces of any size --------------------------------------------------------

class Pieces : public ::testing::TestWithParam<size_t> {};

TEST_P(Pieces, FedInPiecesTheStagesRiseAndEndInTheOneShotDecode) {
  const Bytes& file = progressive_file();
  const size_t piece = GetParam() == 0 ? file.size() : GetParam();
  ProgressiveDecoder d = make();
  std::vector<Stage> seen;
  for (size_t at = 0; at < file.size(); at += piece) {
    const size_t n = std::min(piece, file.size() - at);
    ASSERT_TRUE(d.feed({file.data() + at, n}).ok()) << "at " << at;
    if (seen.empty() || seen.back() != d.stage()) seen.push_back(d.stage());
  }
  ASSERT_EQ(d.stage(), Stage::Complete);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1], seen[i]);
  EXPECT_EQ(d.bytes_fed(), file.size());
  auto rendered = d.render(false);
  ASSERT_TRUE(rendered.ok());
  EXPECT_TRUE(rendered.value().drawn);
  EXPECT_EQ(array_of(d), one_shot(file));
}

// 0: the whole file at once.
INSTANTIATE_TEST_SUITE_P(Sizes, Pieces, ::testing::Values(0, 1, 2, 13, 997, 4096, 65536));

TEST(Progressive, MoreBytesAfterTheImageAreIgnored) {
  Bytes file = progressive_file();
  ProgressiveDecoder d = make();
  ASSERT_TRUE(d.feed(file).ok());
  ASSERT_EQ(d.stage(), Stage::Complete);
  const Bytes junk(100, 0xEE);
  EXPECT_TRUE(d.feed(junk).ok());
  EXPECT_EQ(array_of(d), one_shot(file));
}

// ---- Stages, judged by libjxl ----------------------------------------------------

// libjxl's own picture of a prefix: fed it in one piece, flushed into a
// buffer of `sentinel` bytes. Empty when it cannot flush.
std::optional<Bytes> libjxl_flush(const Bytes& file, size_t prefix, uint8_t sentinel) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlBasicInfo info{};
  Bytes out;
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE);
  JxlDecoderSetInput(dec.get(), file.data(), prefix);
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_BASIC_INFO) {
      JxlDecoderGetBasicInfo(dec.get(), &info);
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      const SampleKind kind =
          full_precision_kind(SampleDepth{info.bits_per_sample, info.exponent_bits_per_sample},
                              SampleDepth{info.alpha_bits, info.alpha_exponent_bits});
      const JxlPixelFormat format = pixel_format(channels_of(info), kind);
      size_t size = 0;
      JxlDecoderImageOutBufferSize(dec.get(), &format, &size);
      out.assign(size, sentinel);
      JxlDecoderSetImageOutBuffer(dec.get(), &format, out.data(), out.size());
    } else if (status == JXL_DEC_NEED_MORE_INPUT) {
      if (out.empty() || JxlDecoderFlushImage(dec.get()) != JXL_DEC_SUCCESS) return std::nullopt;
      return out;
    } else {
      return status == JXL_DEC_FULL_IMAGE ? std::optional<Bytes>(out) : std::nullopt;
    }
  }
}

// The first prefix (in steps of `step` bytes) at which the decoder reports `stage`.
size_t first_prefix(const Bytes& file, Stage stage, size_t step) {
  for (size_t n = step; n < file.size() + step; n += step) {
    ProgressiveDecoder d = make();
    const size_t len = std::min(n, file.size());
    if (!d.feed({file.data(), len}).ok()) return 0;
    if (d.stage() >= stage) return len;
  }
  return 0;
}

double mean_abs_difference(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(a.size());
}

class Stages : public ::testing::TestWithParam<Stage> {};

TEST_P(Stages, EachStageIsLibjxlsOwnPictureOfItsBytes) {
  const Bytes& file = progressive_file();
  const size_t step = file.size() / 50;
  const size_t at = first_prefix(file, GetParam(), step);
  ASSERT_GT(at, 0u);
  ASSERT_LT(at, file.size()) << "no such stage before the end";
  ProgressiveDecoder d = make();
  ASSERT_TRUE(d.feed({file.data(), at}).ok());
  ASSERT_EQ(d.stage(), GetParam());
  auto rendered = d.render(false);
  ASSERT_TRUE(rendered.ok());
  EXPECT_TRUE(rendered.value().drawn);
  EXPECT_EQ(rendered.value().stage, GetParam());
  const std::optional<Bytes> reference = libjxl_flush(file, at, 0xA5);
  ASSERT_TRUE(reference.has_value());
  EXPECT_EQ(array_of(d), *reference);
  // The picture resembles the image, more so at the later stage.
  const double off = mean_abs_difference(array_of(d), one_shot(file));
  EXPECT_LT(off, GetParam() == Stage::Preview ? 12.0 : 6.0);
}

INSTANTIATE_TEST_SUITE_P(Progressive, Stages, ::testing::Values(Stage::Preview, Stage::Pass));

TEST(Progressive, StagesArriveInOrderAndThePreviewEarly) {
  const Bytes& file = progressive_file();
  const size_t step = file.size() / 100;
  const size_t preview = first_prefix(file, Stage::Preview, step);
  const size_t pass = first_prefix(file, Stage::Pass, step);
  const size_t complete = first_prefix(file, Stage::Complete, step);
  EXPECT_GT(preview, 0u);
  EXPECT_LT(preview, pass);
  EXPECT_LT(pass, complete);
  EXPECT_EQ(complete, file.size());
  EXPECT_LT(preview, file.size() / 2);
}

TEST(Progressive, NoPictureBeforeThePreviewAndNothingDrawnIsZero) {
  // No DC frame: the frame, and the buffer, start before its DC groups.
  const Bytes file = encode(FileCase{.progression = {0, 1, 0}});
  const size_t step = file.size() / 100;
  const size_t cut = first_prefix(file, Stage::Preview, step) - step;
  ProgressiveDecoder d = make();
  ASSERT_TRUE(d.feed({file.data(), cut}).ok());
  EXPECT_EQ(d.stage(), Stage::None);
  auto none = d.render(false);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().drawn);
  EXPECT_FALSE(libjxl_flush(file, cut, 0).has_value());  // libjxl cannot draw either
  auto any = d.render(true);
  ASSERT_TRUE(any.ok());
  EXPECT_FALSE(any.value().drawn);
  EXPECT_EQ(any.value().stage, Stage::None);
  const Bytes samples = copy_of(d.samples());
  ASSERT_FALSE(samples.empty());
  EXPECT_EQ(samples, Bytes(samples.size(), 0));
}

TEST(Progressive, PicturesAreDrawnOncePerState) {
  const Bytes& file = progressive_file();
  const size_t pass = first_prefix(file, Stage::Pass, file.size() / 50);
  ProgressiveDecoder d = make();
  ASSERT_TRUE(d.feed({file.data(), pass}).ok());
  ASSERT_TRUE(d.render(false).ok());
  const Bytes first = array_of(d);
  ASSERT_TRUE(d.render(false).ok());
  EXPECT_EQ(array_of(d), first);
  // More bytes of the same pass: a new picture, refined where they arrived.
  ASSERT_TRUE(d.feed({file.data() + pass, (file.size() - pass) / 3}).ok());
  ASSERT_TRUE(d.render(false).ok());
  EXPECT_LT(mean_abs_difference(array_of(d), one_shot(file)),
            mean_abs_difference(first, one_shot(file)));
}

// A lossless file has no stages before the whole, but libjxl draws the
// groups that arrived; those are exact, and the rest is what libjxl leaves.
TEST(Progressive, LosslessGroupsThatArrivedAreExact) {
  const Bytes file = encode(FileCase{.lossless = true});
  const Bytes whole = one_shot(file);
  const size_t cut = file.size() * 6 / 10;
  ProgressiveDecoder d = make();
  ASSERT_TRUE(d.feed({file.data(), cut}).ok());
  EXPECT_EQ(d.stage(), Stage::None);
  auto none = d.render(false);
  ASSERT_TRUE(none.ok() && !none.value().drawn);
  auto any = d.render(true);
  ASSERT_TRUE(any.ok());
  ASSERT_TRUE(any.value().drawn);
  const Bytes samples = array_of(d);
  const std::optional<Bytes> zeros = libjxl_flush(file, cut, 0);
  const std::optional<Bytes> sentinel = libjxl_flush(file, cut, 0xA5);
  ASSERT_TRUE(zeros && sentinel);
  size_t exact = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    const bool drawn = (*zeros)[i] == (*sentinel)[i];
    EXPECT_EQ(samples[i], drawn ? (*zeros)[i] : 0) << "sample " << i;
    exact += samples[i] == whole[i];
  }
  EXPECT_GT(exact, samples.size() / 3);
  EXPECT_LT(exact, samples.size());
}

// ---- Files of every kind ---------------------------------------------------------

class Kinds : public ::testing::TestWithParam<FileCase> {};

TEST_P(Kinds, TheWholeFileGivesTheFullPrecisionDecode) {
  const Bytes file = encode(GetParam());
  ProgressiveDecoder d = make();
  for (size_t at = 0; at < file.size(); at += 5000) {
    ASSERT_TRUE(d.feed({file.data() + at, std::min<size_t>(5000, file.size() - at)}).ok());
  }
  ASSERT_EQ(d.stage(), Stage::Complete);
  const FileFacts& f = *d.facts();
  EXPECT_EQ(f.channels(), GetParam().channels);
  EXPECT_EQ(static_cast<int>(full_precision_kind(f)), static_cast<int>(GetParam().kind));
  EXPECT_EQ(array_of(d), one_shot(file));
  // Once complete, the samples are handed over whole.
  const Bytes samples = copy_of(d.samples());
  std::unique_ptr<uint8_t[]> taken = d.take_samples();
  ASSERT_TRUE(taken);
  EXPECT_TRUE(d.samples().empty());
  EXPECT_EQ(Bytes(taken.get(), taken.get() + samples.size()), samples);
}

// The samples handed to Pillow are those of the module's decode of the
// file: grey at its precision, colour at 8 bits; 4 bytes a pixel but grey.
// The same from a decoder for Pillow's picture only, asked for the samples
// the module asks libjxl for (four a pixel but for grey).
class PillowKinds : public ::testing::TestWithParam<std::tuple<FileCase, bool>> {};

TEST_P(PillowKinds, PillowSamplesAreTheModulesDecode) {
  const auto& [c, pillow_only] = GetParam();
  const Bytes file = encode(c);
  std::optional<FrameFormat> format;
  if (pillow_only) {
    const uint32_t bits = c.bits ? c.bits : static_cast<uint32_t>(layout_of(c.kind).size * 8);
    const std::optional<SampleKind> kind = decoded_kind(bits, c.kind == SampleKind::Float ? 8 : 0);
    ASSERT_TRUE(kind.has_value());
    format = FrameFormat{*kind, c.channels == 1 ? 1u : 4u, false};
  }
  auto created = ProgressiveDecoder::create(0, create_runner(2), 0, format);
  ASSERT_TRUE(created.ok());
  ProgressiveDecoder& d = created.value();
  ASSERT_TRUE(d.feed(file).ok());
  const FileFacts& f = *d.facts();
  const ProgressiveDecoder::PillowLayout layout = d.pillow_layout();
  Bytes ours(layout.bytes);
  d.pillow_samples(d.samples(), ours);

  DecoderOptions options;
  options.runner = &pool();
  auto driver = options.build();
  ASSERT_TRUE(driver.ok());
  OwnedImageBytes store;
  auto decoded = driver.value().decode_or_reconstruct(file, store);
  ASSERT_TRUE(decoded.ok());
  const std::span<const uint8_t> module = store.bytes();
  const size_t pixels = size_t{f.width()} * f.height();
  if (layout.channels == 1) {
    ASSERT_EQ(module.size(), ours.size());
    EXPECT_EQ(copy_of(module), ours);
    return;
  }
  // 8-bit colour; grey with alpha at its precision, which the plug-in
  // makes 8-bit as the module does colour.
  Bytes module8(pixels * c.channels);
  if (module.size() == module8.size() * 4) {
    floats_to_bytes({reinterpret_cast<const float*>(module.data()), module8.size()}, module8);
  } else if (module.size() == module8.size() * 2) {
    high_bytes({reinterpret_cast<const uint16_t*>(module.data()), module8.size()}, module8);
  } else {
    ASSERT_EQ(module.size(), module8.size());
    module8.assign(module.begin(), module.end());
  }
  size_t differ = 0;
  for (size_t i = 0; i < pixels; ++i) {
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t from = c.channels == 2 ? (k == 3 ? 1 : 0) : k;
      const uint8_t expected = from < c.channels ? module8[i * c.channels + from] : 255;
      differ += ours[i * 4 + k] != expected;
    }
  }
  EXPECT_EQ(differ, 0u);
}

const auto kKinds = ::testing::Values(
    FileCase{SampleKind::Uint8, 1}, FileCase{SampleKind::Uint8, 2}, FileCase{SampleKind::Uint8, 3},
    FileCase{SampleKind::Uint8, 4}, FileCase{SampleKind::Uint8, 1, 4, true},
    FileCase{SampleKind::Uint16, 1, 12, true}, FileCase{SampleKind::Uint16, 3, 12, true},
    FileCase{SampleKind::Uint16, 4}, FileCase{SampleKind::Uint16, 1},
    FileCase{SampleKind::Float, 1}, FileCase{SampleKind::Float, 3},
    FileCase{SampleKind::Float, 2, 0, true});
INSTANTIATE_TEST_SUITE_P(Progressive, Kinds, kKinds);
INSTANTIATE_TEST_SUITE_P(Progressive, PillowKinds, ::testing::Combine(kKinds, ::testing::Bool()));

TEST(ProgressiveErrors, APillowFormatIsGreyOrFourSamplesAtLibjxlsRange) {
  for (const FrameFormat& format :
       {FrameFormat{SampleKind::Uint8, 3, false}, FrameFormat{SampleKind::Uint16, 4, true}}) {
    auto created = ProgressiveDecoder::create(0, std::nullopt, 0, format);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().kind, Kind::BadFormat);
  }
  // And it has no array samples to give.
  auto pillow = ProgressiveDecoder::create(0, std::nullopt, 0, FrameFormat{SampleKind::Uint8, 4});
  ASSERT_TRUE(pillow.ok());
  ASSERT_TRUE(pillow.value().feed(progressive_file()).ok());
  Bytes out(pillow.value().pillow_layout().bytes);
  EXPECT_FALSE(pillow.value().array_samples(pillow.value().samples(), out).ok());
}

// ---- Animations ----------------------------------------------------------------

Bytes animation(uint32_t frames) {
  AnimationSettings s;
  s.width = 40;
  s.height = 30;
  s.lossless = true;
  s.effort = 1;
  auto enc = AnimationEncoder::create(s, std::nullopt);
  EXPECT_TRUE(enc.ok());
  for (uint32_t f = 0; f < frames; ++f) {
    Bytes frame = picture(SampleKind::Uint8, s.width, s.height, 3, 8);
    for (uint8_t& v : frame) v = static_cast<uint8_t>(v + 37 * f);
    EXPECT_TRUE(enc.value().add_frame(frame, 10).ok());
  }
  auto file = enc.value().finish();
  EXPECT_TRUE(file.ok());
  return file.ok() ? file.value() : Bytes{};
}

TEST(Progressive, AnAnimationGivesTheFrameAskedFor) {
  const Bytes file = animation(3);
  for (uint64_t index : {0u, 2u}) {
    auto frames = FrameDecoder::open(file, FrameFormat{SampleKind::Uint8, 3}, std::nullopt);
    ASSERT_TRUE(frames.ok());
    Bytes expected(frames.value().frame_bytes());
    ASSERT_TRUE(frames.value().decode(index, expected).ok());
    ProgressiveDecoder d = make(0, index);
    ASSERT_TRUE(d.feed(file).ok());
    EXPECT_EQ(d.stage(), Stage::Complete);
    EXPECT_TRUE(d.facts()->have_animation);
    EXPECT_EQ(array_of(d), expected) << "frame " << index;
  }
}

// ---- Errors ----------------------------------------------------------------------

TEST(ProgressiveErrors, NotJpegXlEvenByteByByte) {
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  ProgressiveDecoder d = make();
  auto fed = d.feed(png);
  ASSERT_FALSE(fed.ok());
  EXPECT_EQ(fed.error().kind, Kind::NotJpegXl);
  // A container's signature split at every byte is still recognised.
  const Bytes file = encode(FileCase{.channels = 1, .width = 16, .height = 16});
  ProgressiveDecoder one = make();
  for (uint8_t byte : file) ASSERT_TRUE(one.feed({&byte, 1}).ok());
  EXPECT_EQ(one.stage(), Stage::Complete);
}

TEST(ProgressiveErrors, CorruptBytesFailAndKeepFailing) {
  Bytes file = progressive_file();
  for (size_t i = 40; i < 90; ++i) file[i] ^= 0x5A;
  ProgressiveDecoder d = make();
  auto fed = d.feed(file);
  ASSERT_FALSE(fed.ok());
  EXPECT_EQ(fed.error().kind, Kind::Corrupt);
  EXPECT_FALSE(d.feed(file).ok());
  EXPECT_FALSE(d.render(true).ok());
  EXPECT_EQ(error_text(d.feed(file).error()), "libjxl cannot decode the file: it is corrupt");
}

TEST(ProgressiveErrors, MorePixelsThanTheLimitBeforeAnyPixelMemory) {
  ProgressiveDecoder d = make(600 * 420 - 1);
  auto fed = d.feed(progressive_file());
  ASSERT_FALSE(fed.ok());
  EXPECT_EQ(fed.error().kind, Kind::TooLarge);
  EXPECT_TRUE(d.samples().empty());
  ProgressiveDecoder enough = make(600 * 420);
  EXPECT_TRUE(enough.feed(progressive_file()).ok());
}

TEST(ProgressiveErrors, NoPictureBeforeTheHeader) {
  const Bytes& file = progressive_file();
  ProgressiveDecoder d = make();
  ASSERT_TRUE(d.feed({file.data(), 3}).ok());
  EXPECT_FALSE(d.facts().has_value());
  auto none = d.render(false);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().drawn);
  auto any = d.render(true);
  ASSERT_FALSE(any.ok());
  EXPECT_EQ(any.error().kind, Kind::NoImageYet);
}

}  // namespace
}  // namespace tessara
