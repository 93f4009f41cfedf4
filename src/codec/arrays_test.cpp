// The array paths of the codec layer: frames of every sample kind encoded by
// encode_samples and decoded back as stored by the frame decoder, their
// facts, and the refusals of check_frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "codec/animation.h"
#include "codec/encoder.h"
#include "codec/facts.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;

struct Stored {
  FileFacts facts;
  FrameFormat format;
  Bytes samples;
};

// Frame 0 of a file as the array functions decode it: every sample as stored.
Result<Stored, AnimationError> decode_stored(const Bytes& file, int64_t threads = 2) {
  auto decoder = FrameDecoder::open(file, std::nullopt, create_runner(threads));
  if (!decoder) return Err{decoder.error()};
  Stored out{decoder.value().facts(), decoder.value().format(),
             Bytes(decoder.value().frame_bytes())};
  auto frame = decoder.value().decode(0, out.samples);
  if (!frame) return Err{frame.error()};
  return out;
}

const ThreadsRunner& pool() {
  static std::optional<ThreadsRunner> runner = create_runner(2);
  return *runner;
}

// Random samples of `kind` below 2^bits (integers) or in 0..1 (floats).
Bytes samples(SampleKind kind, size_t count, uint32_t bits, uint32_t seed) {
  std::mt19937 gen(seed);
  const size_t size = layout_of(kind).size;
  Bytes out(count * size);
  for (size_t i = 0; i < count; ++i) {
    auto v = static_cast<uint32_t>(gen());
    if (kind == SampleKind::Float) {
      const float f = static_cast<float>(v % 10000) / 10000.0f;
      std::memcpy(&out[i * size], &f, size);
    } else if (kind == SampleKind::Float16) {
      v = 0x1400 + v % 0x2400;  // normal halves from about 6e-5 to 1
      std::memcpy(&out[i * size], &v, size);
    } else {
      v &= (1u << bits) - 1;
      std::memcpy(&out[i * size], &v, size);
    }
  }
  return out;
}

Bytes encode(const SampleFrame& frame, bool lossless, uint8_t effort = 3) {
  EncoderSettings settings;
  settings.lossless = lossless;
  settings.distance = lossless ? 0.0f : 1.0f;
  auto driver = EncoderDriver::create(pool(), settings);
  EXPECT_TRUE(driver.ok());
  driver.value().set_effort(effort);
  auto out = driver.value().encode_samples(frame);
  EXPECT_TRUE(out.ok()) << static_cast<int>(out.ok() ? EncodeError::Unreachable : out.error());
  return out.ok() ? out.value() : Bytes{};
}

struct KindCase {
  SampleKind kind;
  uint32_t bits;  // 0: the kind's own
};

class RoundTrip : public ::testing::TestWithParam<std::tuple<KindCase, uint32_t>> {};

TEST_P(RoundTrip, LosslessFramesComeBackAsStored) {
  const auto [k, channels] = GetParam();
  const uint32_t width = 37, height = 270;  // two groups high
  const Bytes in = samples(k.kind, size_t{width} * height * channels, k.bits ? k.bits : 16, channels);
  const SampleFrame frame{k.kind, in, width, height, channels, k.bits, {}};
  const Bytes file = encode(frame, true);
  auto decoded = decode_stored(file);
  ASSERT_TRUE(decoded.ok());
  const Stored& image = decoded.value();
  EXPECT_EQ(static_cast<int>(image.format.kind), static_cast<int>(k.kind));
  EXPECT_EQ(image.facts.width(), width);
  EXPECT_EQ(image.facts.height(), height);
  EXPECT_EQ(image.format.channels, channels);
  EXPECT_EQ(image.samples, in);

  auto facts = read_facts(file);
  ASSERT_TRUE(facts.ok());
  const uint32_t stored = static_cast<uint32_t>(layout_of(k.kind).size * 8);
  EXPECT_EQ(facts.value().colour.bits, k.bits ? k.bits : stored);
  EXPECT_EQ(facts.value().colour.exponent_bits, layout_of(k.kind).exponent_bits);
  EXPECT_EQ(facts.value().has_alpha(), channels % 2 == 0);
  EXPECT_FALSE(facts.value().icc.empty());
  EXPECT_FALSE(facts.value().jpeg_reconstruction);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, RoundTrip,
    ::testing::Combine(::testing::Values(KindCase{SampleKind::Uint8, 0}, KindCase{SampleKind::Uint8, 3},
                                         KindCase{SampleKind::Uint16, 0}, KindCase{SampleKind::Uint16, 12},
                                         KindCase{SampleKind::Float16, 0}, KindCase{SampleKind::Float, 0}),
                       ::testing::Values(1u, 2u, 3u, 4u)));

TEST(Arrays, AnIccProfileIsStoredAsGiven) {
  const Bytes in = samples(SampleKind::Uint16, 8 * 8 * 3, 16, 1);
  // The profile libjxl writes for linear sRGB: not the one integers get.
  const Bytes floats = samples(SampleKind::Float, 8 * 8 * 3, 0, 2);
  auto linear = read_facts(encode({SampleKind::Float, floats, 8, 8, 3, 0, {}}, true));
  auto srgb = read_facts(encode({SampleKind::Uint16, in, 8, 8, 3, 0, {}}, true));
  ASSERT_TRUE(linear.ok() && srgb.ok());
  ASSERT_NE(linear.value().icc, srgb.value().icc);
  auto tagged = read_facts(encode({SampleKind::Uint16, in, 8, 8, 3, 0, linear.value().icc}, true));
  ASSERT_TRUE(tagged.ok());
  EXPECT_EQ(tagged.value().icc, linear.value().icc);
}

AnimationError::Kind decode_failure(const Bytes& file) {
  auto decoded = decode_stored(file, 0);
  return decoded.ok() ? AnimationError::Kind::Unexpected : decoded.error().kind;
}

AnimationError::Kind facts_failure(const Bytes& file) {
  auto facts = read_facts(file);
  return facts.ok() ? AnimationError::Kind::Unexpected : facts.error().kind;
}

TEST(Arrays, BadFilesAreErrorsOfTheirKind) {
  using Kind = AnimationError::Kind;
  const Bytes in = samples(SampleKind::Uint8, 200 * 100 * 3, 8, 4);
  Bytes file = encode({SampleKind::Uint8, in, 200, 100, 3, 0, {}}, true);
  EXPECT_EQ(decode_failure(Bytes{1, 2, 3}), Kind::NotJpegXl);
  EXPECT_EQ(facts_failure(Bytes{}), Kind::NotJpegXl);
  file.resize(file.size() / 2);
  EXPECT_EQ(decode_failure(file), Kind::Truncated);
  file.resize(5);
  EXPECT_EQ(facts_failure(file), Kind::Truncated);
}

Bytes halves(std::initializer_list<uint16_t> values) {
  Bytes out(values.size() * 2);
  std::memcpy(out.data(), values.begin(), out.size());
  return out;
}

Bytes floats(std::initializer_list<float> values) {
  Bytes out(values.size() * 4);
  std::memcpy(out.data(), values.begin(), out.size());
  return out;
}

struct ProblemCase {
  const char* name;
  SampleKind kind;
  Bytes bytes;
  uint32_t bits;
  bool lossless;
  FrameProblem expected;
};

TEST(Arrays, CheckFrameRefusesWhatLibjxlCannotKeep) {
  const float inf = std::numeric_limits<float>::infinity();
  const ProblemCase cases[] = {
      {"finite_floats", SampleKind::Float, floats({0.5f, -2.0f}), 0, false, FrameProblem::None},
      {"lossy_nan", SampleKind::Float, floats({0.5f, std::nanf("")}), 0, false, FrameProblem::NotFinite},
      {"lossy_inf", SampleKind::Float, floats({-inf, 0.0f}), 0, false, FrameProblem::NotFinite},
      {"lossy_huge", SampleKind::Float, floats({1e31f, 0.0f}), 0, false, FrameProblem::NotFinite},
      {"lossless_nan_float", SampleKind::Float, floats({std::nanf(""), 0.0f}), 0, true, FrameProblem::None},
      {"lossy_half_inf", SampleKind::Float16, halves({0x7c00, 0}), 0, false, FrameProblem::NotFinite},
      {"lossless_half_inf", SampleKind::Float16, halves({0xfc00, 0}), 0, true, FrameProblem::None},
      {"lossless_half_nan", SampleKind::Float16, halves({0x7c01, 0}), 0, true, FrameProblem::UnkeptHalf},
      {"lossless_subnormal", SampleKind::Float16, halves({0x0200, 0}), 0, true, FrameProblem::UnkeptHalf},
      {"lossless_neg_subnormal", SampleKind::Float16, halves({0x83ff, 0}), 0, true, FrameProblem::UnkeptHalf},
      {"lossless_small_subnormal", SampleKind::Float16, halves({0x01ff, 0x8001}), 0, true, FrameProblem::None},
      {"lossy_subnormal", SampleKind::Float16, halves({0x0200, 0}), 0, false, FrameProblem::None},
      {"within_12_bits", SampleKind::Uint16, halves({4095, 0}), 12, true, FrameProblem::None},
      {"above_12_bits", SampleKind::Uint16, halves({4096, 0}), 12, true, FrameProblem::AboveDepth},
      {"above_1_bit", SampleKind::Uint8, Bytes{1, 2}, 1, false, FrameProblem::AboveDepth},
      {"bits_beyond_kind", SampleKind::Uint8, Bytes{1, 2}, 9, false, FrameProblem::Shape},
      {"uint16_at_8_bits", SampleKind::Uint16, halves({1, 2}), 8, true, FrameProblem::Shape},
      {"bits_on_floats", SampleKind::Float, floats({0, 0}), 16, true, FrameProblem::Shape},
      {"short_bytes", SampleKind::Uint16, Bytes{1, 2, 3}, 0, true, FrameProblem::Shape},
  };
  for (const ProblemCase& c : cases) {
    const uint32_t count = static_cast<uint32_t>(c.bytes.size() / layout_of(c.kind).size);
    const SampleFrame frame{c.kind, c.bytes, c.kind == SampleKind::Uint16 && c.bytes.size() == 3 ? 2 : count, 1, 1,
                            c.bits, {}};
    EXPECT_EQ(static_cast<int>(check_frame(frame, c.lossless)), static_cast<int>(c.expected)) << c.name;
  }
  const Bytes one{0};
  EXPECT_EQ(check_frame({SampleKind::Uint8, one, 0, 1, 1, 0, {}}, true), FrameProblem::Shape);
  EXPECT_EQ(check_frame({SampleKind::Uint8, one, 1, 1, 5, 0, {}}, true), FrameProblem::Shape);
  // A frame with a problem never reaches libjxl.
  EncoderSettings settings;
  auto driver = EncoderDriver::create(pool(), settings);
  ASSERT_TRUE(driver.ok());
  const Bytes nan = floats({std::nanf("")});
  auto refused = driver.value().encode_samples({SampleKind::Float, nan, 1, 1, 1, 0, {}});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), EncodeError::BadInput);
}

TEST(Arrays, LosslessEffortOneMovesToTwoOnlyForWideIntegers) {
  const Bytes none;
  const SampleFrame u16{SampleKind::Uint16, none, 1, 1, 1, 0, {}};
  const SampleFrame u8{SampleKind::Uint8, none, 1, 1, 1, 0, {}};
  const SampleFrame f16{SampleKind::Float16, none, 1, 1, 1, 0, {}};
  EXPECT_EQ(effective_effort(1, true, u16), 2);
  EXPECT_EQ(effective_effort(1, true, {SampleKind::Uint16, none, 1, 1, 1, 9, {}}), 2);
  EXPECT_EQ(effective_effort(1, true, u8), 1);
  EXPECT_EQ(effective_effort(1, true, f16), 1);
  EXPECT_EQ(effective_effort(1, false, u16), 1);
  EXPECT_EQ(effective_effort(3, true, u16), 3);
  // The case itself: noisy 16-bit samples over one group, exactly back.
  const Bytes noisy = samples(SampleKind::Uint16, 200 * 130, 16, 9);
  const Bytes file = encode({SampleKind::Uint16, noisy, 200, 130, 1, 0, {}}, true, 1);
  auto decoded = decode_stored(file);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().samples, noisy);
}

}  // namespace
}  // namespace tessara
