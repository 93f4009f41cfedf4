// Animation tests: files made by the animation encoder are walked and
// decoded frame by frame, compared with the frames that went in, with a
// one-pass decode through plain libjxl, and with what jxlinfo reports.
#include "codec/animation.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <sstream>
#include <string>

#include "codec/boxes.h"
#include "codec/facts.h"
#include "codec/pixels.h"
#include "codec/test_tools.h"

namespace tessara {
namespace {

using Bytes = std::vector<uint8_t>;
using Kind = AnimationError::Kind;

std::optional<ThreadsRunner> runner(int64_t threads = 2) { return create_runner(threads); }

// Frame f of a layout: noise (so that frames take hundreds of bytes each)
// that differs in every frame, in whole values that every kind holds exactly.
Bytes make_frame(const AnimationSettings& s, uint32_t f) {
  const size_t count = size_t{s.width} * s.height * s.channels;
  std::mt19937 rng(1000 + f);
  Bytes out(count * layout_of(s.sample).size);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t v = rng() % 256;
    switch (s.sample) {
      case SampleKind::Uint8: out[i] = static_cast<uint8_t>(v); break;
      case SampleKind::Uint16: {
        const uint16_t w = static_cast<uint16_t>(v * 257);
        std::memcpy(&out[2 * i], &w, 2);
        break;
      }
      case SampleKind::Float16: {  // k / 256 as a half: exponent and mantissa by hand
        uint16_t h = 0;
        if (v != 0) {
          int e = 31 - __builtin_clz(v);  // v = 2^e * (1 + m)
          h = static_cast<uint16_t>(((e - 8 + 15) << 10) | ((v << (10 - e)) & 0x3ff));
        }
        std::memcpy(&out[2 * i], &h, 2);
        break;
      }
      case SampleKind::Float: {
        const float x = static_cast<float>(v) / 256.0f;
        std::memcpy(&out[4 * i], &x, 4);
        break;
      }
    }
  }
  return out;
}

struct Animation {
  std::vector<Bytes> frames;
  std::vector<uint32_t> durations;
  Bytes file;
};

Animation encode(const AnimationSettings& s, std::vector<uint32_t> durations,
                 const std::vector<std::pair<BoxKind, std::string>>& boxes = {}) {
  Animation a;
  a.durations = std::move(durations);
  auto enc = AnimationEncoder::create(s, runner());
  EXPECT_TRUE(enc.ok()) << error_text(enc.error());
  if (!enc.ok()) return a;
  for (const auto& [kind, text] : boxes) {
    const Bytes contents(text.begin(), text.end());
    EXPECT_TRUE(enc.value().add_box(kind, contents, false).ok());
  }
  for (uint32_t f = 0; f < a.durations.size(); ++f) {
    a.frames.push_back(make_frame(s, f));
    auto added = enc.value().add_frame(a.frames.back(), a.durations[f], "f" + std::to_string(f));
    EXPECT_TRUE(added.ok()) << error_text(added.error());
  }
  auto file = enc.value().finish();
  EXPECT_TRUE(file.ok()) << error_text(file.error());
  if (file.ok()) a.file = std::move(file.value());
  return a;
}

AnimationSettings lossless(uint32_t channels, SampleKind sample, uint32_t w = 23, uint32_t h = 17) {
  AnimationSettings s;
  s.width = w;
  s.height = h;
  s.channels = channels;
  s.sample = sample;
  s.lossless = true;
  s.effort = 2;
  s.num_loops = 3;
  return s;
}

// Every displayed frame in one pass of a plain libjxl decoder: the reference
// the frame decoder's seeks must agree with.
std::vector<Bytes> reference_frames(const Bytes& file, FrameFormat format) {
  std::vector<Bytes> frames;
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE);
  JxlDecoderSetInput(dec.get(), file.data(), file.size());
  JxlDecoderCloseInput(dec.get());
  const JxlPixelFormat pixel = pixel_format(format.channels, format.kind);
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      size_t size = 0;
      JxlDecoderImageOutBufferSize(dec.get(), &pixel, &size);
      frames.emplace_back(size);
      JxlDecoderSetImageOutBuffer(dec.get(), &pixel, frames.back().data(), size);
    } else if (status != JXL_DEC_FULL_IMAGE) {
      EXPECT_EQ(status, JXL_DEC_SUCCESS);
      return frames;
    }
  }
}

void expect_frames_in_order(const Bytes& file, FrameFormat format,
                            const std::vector<uint64_t>& order, const std::vector<Bytes>& expected,
                            const std::vector<uint32_t>& durations, bool named = true) {
  auto dec = FrameDecoder::open(file, format, runner());
  ASSERT_TRUE(dec.ok()) << error_text(dec.error());
  Bytes out(dec.value().frame_bytes());
  for (const uint64_t i : order) {
    auto facts = dec.value().decode(i, out);
    ASSERT_TRUE(facts.ok()) << "frame " << i << ": " << error_text(facts.error());
    EXPECT_TRUE(out == expected[i]) << "frame " << i;
    EXPECT_EQ(facts.value().duration, durations[i]);
    EXPECT_EQ(facts.value().name, named ? "f" + std::to_string(i) : "");
    EXPECT_EQ(facts.value().is_last, i + 1 == expected.size());
    EXPECT_EQ(dec.value().position(), i + 1);
  }
}

struct LayoutCase {
  const char* name;
  uint32_t channels;
  SampleKind sample;
};

class Layouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(Layouts, WalkAndEveryFrameExactInEverySeekOrder) {
  const LayoutCase& c = GetParam();
  const std::vector<uint32_t> durations = {40, 1, 1000, 33, 250, 7};
  const Animation a = encode(lossless(c.channels, c.sample), durations);
  ASSERT_FALSE(a.file.empty());

  auto facts = read_facts(a.file, {false});
  ASSERT_TRUE(facts.ok()) << error_text(facts.error());
  EXPECT_TRUE(facts.value().have_animation);
  EXPECT_EQ(facts.value().tps_numerator, 1000u);
  EXPECT_EQ(facts.value().tps_denominator, 1u);
  EXPECT_EQ(facts.value().num_loops, 3u);
  EXPECT_EQ(facts.value().width(), 23u);
  EXPECT_EQ(facts.value().has_alpha(), c.channels % 2 == 0);
  ASSERT_EQ(facts.value().frames.size(), 1u);  // the read up to frame 0 stops there
  EXPECT_EQ(facts.value().frames[0].duration, durations[0]);

  auto walk = read_facts(a.file);
  ASSERT_TRUE(walk.ok());
  EXPECT_FALSE(walk.value().stopped.has_value());
  ASSERT_EQ(walk.value().frames.size(), durations.size());
  for (size_t i = 0; i < durations.size(); ++i) {
    EXPECT_EQ(walk.value().frames[i].duration, durations[i]);
    EXPECT_EQ(walk.value().frames[i].name, "f" + std::to_string(i));
    EXPECT_EQ(walk.value().frames[i].is_last, i + 1 == durations.size());
  }

  const FrameFormat own = FrameFormat::full_precision(facts.value());
  EXPECT_EQ(own.kind, c.sample);
  std::vector<uint64_t> forward(durations.size());
  std::iota(forward.begin(), forward.end(), 0);
  std::vector<uint64_t> backward(forward.rbegin(), forward.rend());
  std::vector<uint64_t> random = {3, 0, 5, 5, 1, 4, 2, 0, 2};
  for (const auto& order : {forward, backward, random}) {
    expect_frames_in_order(a.file, own, order, a.frames, durations);
  }
}

INSTANTIATE_TEST_SUITE_P(Animation, Layouts,
                         testing::Values(LayoutCase{"rgb8", 3, SampleKind::Uint8},
                                         LayoutCase{"rgba8", 4, SampleKind::Uint8},
                                         LayoutCase{"grey16", 1, SampleKind::Uint16},
                                         LayoutCase{"la_half", 2, SampleKind::Float16},
                                         LayoutCase{"rgb_float", 3, SampleKind::Float}),
                         [](const auto& p) { return std::string(p.param.name); });

// Lossy frames and formats other than the file's own: whatever libjxl hands
// out in one pass, the frame decoder hands out for the same frame after seeks.
TEST(AnimationFormats, SeeksAgreeWithOnePassDecode) {
  AnimationSettings s = lossless(4, SampleKind::Uint16, 40, 30);
  s.lossless = false;
  s.distance = 2.0f;
  const Animation a = encode(s, {10, 20, 30, 40});
  for (const FrameFormat format : {FrameFormat{SampleKind::Uint8, 3}, FrameFormat{SampleKind::Float16, 4},
                                   FrameFormat{SampleKind::Float, 1 + 3}, FrameFormat{SampleKind::Uint16, 4}}) {
    const std::vector<Bytes> reference = reference_frames(a.file, format);
    ASSERT_EQ(reference.size(), 4u);
    expect_frames_in_order(a.file, format, {2, 3, 0, 1, 3}, reference, a.durations);
  }
}

// libjxl composites a frame of zero duration into the next one: it is a
// layer, not a displayed frame, so frame counts and indices skip it.
TEST(AnimationFormats, ZeroDurationFrameIsALayer) {
  const Animation a = encode(lossless(3, SampleKind::Uint8), {100, 0, 100});
  auto walk = read_facts(a.file);
  ASSERT_TRUE(walk.ok());
  ASSERT_EQ(walk.value().frames.size(), 2u);
  EXPECT_EQ(walk.value().frames[1].name, "f2");
  EXPECT_EQ(walk.value().frames[1].layers, 2u);
  const auto reference = reference_frames(a.file, {SampleKind::Uint8, 3});
  ASSERT_EQ(reference.size(), 2u);
  EXPECT_TRUE(reference[1] == a.frames[2]);  // replaces the layer under it
}

// Integers narrowed to fewer bits than their kind are written and read back
// as stored (a 12-bit sample as 0..4095); the stored-depth format leaves
// them so, the ordinary one spreads them over the kind's range as libjxl
// does, and a sample above the depth is refused. Lossless effort 1 runs.
TEST(AnimationFormats, NarrowedDepthKeepsStoredValues) {
  for (const uint32_t bits : {10u, 12u}) {
    AnimationSettings s = lossless(2, SampleKind::Uint16, 19, 7);
    s.bits = bits;
    s.effort = 1;
    auto enc = AnimationEncoder::create(s, runner());
    ASSERT_TRUE(enc.ok());
    std::vector<std::vector<uint16_t>> frames;
    for (uint32_t f = 0; f < 3; ++f) {
      std::vector<uint16_t> v(size_t{19} * 7 * 2);
      for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint16_t>((i * 37 + f * 101) % (1u << bits));
      frames.push_back(v);
      const std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(v.data()), v.size() * 2};
      ASSERT_TRUE(enc.value().add_frame(bytes, 10).ok());
    }
    std::vector<uint16_t> above(size_t{19} * 7 * 2, static_cast<uint16_t>(1u << bits));
    EXPECT_EQ(enc.value()
                  .add_frame({reinterpret_cast<const uint8_t*>(above.data()), above.size() * 2}, 10)
                  .error(),
              EncodeError::BadInput);
    auto file = enc.value().finish();
    ASSERT_TRUE(file.ok());
    auto walk = read_facts(file.value());
    ASSERT_TRUE(walk.ok());
    EXPECT_EQ(walk.value().colour.bits, bits);
    const FrameFormat stored = FrameFormat::full_precision(walk.value());
    EXPECT_TRUE(stored.stored_depth);
    for (const FrameFormat format : {stored, FrameFormat{SampleKind::Uint16, 2}}) {
      auto dec = FrameDecoder::open(file.value(), format, std::nullopt);
      ASSERT_TRUE(dec.ok());
      for (const uint64_t f : {2, 0, 1}) {
        std::vector<uint16_t> out(frames[f].size());
        ASSERT_TRUE(dec.value().decode(f, {reinterpret_cast<uint8_t*>(out.data()), out.size() * 2}).ok());
        for (size_t i = 0; i < out.size(); ++i) {
          const uint32_t v = frames[f][i];
          const uint32_t want = format.stored_depth ? v : (v * 65535u + ((1u << bits) - 1) / 2) / ((1u << bits) - 1);
          ASSERT_NEAR(out[i], want, format.stored_depth ? 0 : 1) << bits << " bits, frame " << f << ", " << i;
        }
      }
    }
  }
  AnimationSettings wrong = lossless(3, SampleKind::Uint16);
  wrong.bits = 8;  // libjxl takes 16-bit samples at 9 bits and more
  EXPECT_EQ(AnimationEncoder::create(wrong, std::nullopt).error(), EncodeError::BadInput);
  wrong.sample = SampleKind::Float;
  wrong.bits = 16;
  EXPECT_EQ(AnimationEncoder::create(wrong, std::nullopt).error(), EncodeError::BadInput);
}

// Frame k's data cut off: the walk lists the frames before it and says
// where it stopped; the decoder hands those out, fails at k and after
// (naming k), and starts afresh for an earlier frame.
TEST(AnimationBroken, TruncatedFileFailsAtTheBrokenFrame) {
  const Animation a = encode(lossless(3, SampleKind::Uint8, 64, 48), {10, 10, 10, 10, 10});
  // The shortest prefix in which the walk lists more than k frames.
  auto listed_at = [&](size_t k) {
    size_t lo = 0, hi = a.file.size();
    while (lo < hi) {
      const size_t mid = (lo + hi) / 2;
      auto walk = read_facts({a.file.data(), mid});
      if (walk.ok() && walk.value().frames.size() > k) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    return lo;
  };
  const size_t k = 2;
  const size_t cut = (listed_at(k - 1) + listed_at(k)) / 2;
  const Bytes prefix(a.file.begin(), a.file.begin() + static_cast<ptrdiff_t>(cut));

  auto walk = read_facts(prefix);
  ASSERT_TRUE(walk.ok());
  EXPECT_EQ(walk.value().frames.size(), k);
  ASSERT_TRUE(walk.value().stopped.has_value());
  EXPECT_EQ(walk.value().stopped->kind, Kind::Truncated);
  EXPECT_EQ(walk.value().stopped->frame, k);

  auto dec = FrameDecoder::open(prefix, FrameFormat{SampleKind::Uint8, 3}, runner());
  ASSERT_TRUE(dec.ok());
  Bytes out(dec.value().frame_bytes());
  for (const uint64_t i : {0, 1, 2, 1, 3, 0, 2}) {
    auto frame = dec.value().decode(i, out);
    if (i < k) {
      ASSERT_TRUE(frame.ok()) << i << ": " << error_text(frame.error());
      EXPECT_TRUE(out == a.frames[i]) << i;
    } else {
      ASSERT_FALSE(frame.ok()) << i;
      EXPECT_EQ(frame.error().kind, Kind::Truncated);
      EXPECT_EQ(error_text(frame.error()), "frame 2: the file is truncated");
    }
  }
}

// Displayed frames a plain libjxl decoder hands out from a prefix.
size_t frames_libjxl_decodes(const Bytes& file, size_t prefix) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE);
  JxlDecoderSetInput(dec.get(), file.data(), prefix);
  size_t frames = 0;
  Bytes out;
  const JxlPixelFormat pixel = pixel_format(3, SampleKind::Uint8);
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      size_t size = 0;
      JxlDecoderImageOutBufferSize(dec.get(), &pixel, &size);
      out.resize(size);
      JxlDecoderSetImageOutBuffer(dec.get(), &pixel, out.data(), size);
    } else if (status == JXL_DEC_FULL_IMAGE) {
      ++frames;
    } else {
      return frames;
    }
  }
}

// Cut exactly where a frame ends (where libjxl first hands it out): that
// frame is whole, and the file breaks at the next one.
TEST(AnimationBroken, CutAtTheEndOfAFrameKeepsThatFrame) {
  const Animation a = encode(lossless(3, SampleKind::Uint8, 64, 48), {10, 20, 30, 40});
  for (size_t k = 0; k + 1 < a.frames.size(); ++k) {
    size_t lo = 0, hi = a.file.size();
    while (lo < hi) {
      const size_t mid = (lo + hi) / 2;
      if (frames_libjxl_decodes(a.file, mid) > k) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    const Bytes prefix(a.file.begin(), a.file.begin() + static_cast<ptrdiff_t>(lo));
    auto walk = read_facts(prefix);
    ASSERT_TRUE(walk.ok());
    EXPECT_EQ(walk.value().frames.size(), k + 1) << "cut after frame " << k;
    EXPECT_EQ(walk.value().frames.back().duration, a.durations[k]);
    ASSERT_TRUE(walk.value().stopped.has_value());
    EXPECT_EQ(walk.value().stopped->kind, Kind::Truncated);
    EXPECT_EQ(walk.value().stopped->frame, k + 1);
    // A byte less, and frame k is the broken one.
    auto shorter = read_facts({prefix.data(), prefix.size() - 1});
    ASSERT_TRUE(shorter.ok());
    EXPECT_EQ(shorter.value().frames.size(), k);
    auto dec = FrameDecoder::open(prefix, FrameFormat{SampleKind::Uint8, 3}, runner());
    ASSERT_TRUE(dec.ok());
    Bytes out(dec.value().frame_bytes());
    ASSERT_TRUE(dec.value().decode(k, out).ok());
    EXPECT_TRUE(out == a.frames[k]);
    auto next = dec.value().decode(k + 1, out);
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(error_text(next.error()), "frame " + std::to_string(k + 1) + ": the file is truncated");
  }
  // The walk lists the last frame from its header; only a decode tells.
  const uint64_t last = a.frames.size() - 1;
  const Bytes short_by_one(a.file.begin(), a.file.end() - 1);
  auto walk = read_facts(short_by_one);
  ASSERT_TRUE(walk.ok());
  EXPECT_EQ(walk.value().frames.size(), a.frames.size());
  EXPECT_FALSE(frame_whole(short_by_one, last));
  EXPECT_TRUE(frame_whole(a.file, last));
  EXPECT_TRUE(frame_whole(short_by_one, last - 1));
}

TEST(AnimationBroken, RefusalsAreValues) {
  const Animation a = encode(lossless(3, SampleKind::Uint8), {5, 5, 5});
  const Bytes junk = {'G', 'I', 'F', '8', '9', 'a', 0, 0};
  EXPECT_EQ(read_facts(junk).error().kind, Kind::NotJpegXl);
  EXPECT_EQ(FrameDecoder::open(junk, std::nullopt, std::nullopt).error().kind, Kind::NotJpegXl);
  // Colour to one channel is refused by libjxl.
  EXPECT_EQ(FrameDecoder::open(a.file, FrameFormat{SampleKind::Uint8, 1}, std::nullopt).error().kind,
            Kind::FormatRefused);

  auto dec = FrameDecoder::open(a.file, FrameFormat{}, std::nullopt);
  ASSERT_TRUE(dec.ok());
  EXPECT_EQ(dec.value().format().channels, 3u);
  Bytes out(dec.value().frame_bytes());
  Bytes short_out(out.size() - 1);
  EXPECT_EQ(dec.value().decode(0, short_out).error().kind, Kind::BufferSize);
  auto past = dec.value().decode(3, out);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().kind, Kind::NoSuchFrame);
  EXPECT_EQ(past.error().frames, 3u);
  EXPECT_EQ(error_text(past.error()), "no frame 3: the file has 3 frames");
  ASSERT_TRUE(dec.value().decode(2, out).ok());  // usable after running off the end
  EXPECT_TRUE(out == a.frames[2]);

  auto limited = read_facts(a.file, {true, 2});
  ASSERT_TRUE(limited.ok());
  EXPECT_EQ(limited.value().frames.size(), 2u);
  ASSERT_TRUE(limited.value().stopped.has_value());
  EXPECT_EQ(limited.value().stopped->kind, Kind::TooManyFrames);
}

TEST(AnimationEncoderTest, RefusesMisuse) {
  AnimationSettings s = lossless(3, SampleKind::Uint8, 4, 4);
  auto enc = AnimationEncoder::create(s, std::nullopt);
  ASSERT_TRUE(enc.ok());
  EXPECT_EQ(enc.value().finish().error(), EncodeError::BadInput);  // no frame

  auto used = AnimationEncoder::create(s, std::nullopt);
  const Bytes frame = make_frame(s, 0);
  EXPECT_EQ(used.value().add_frame({frame.data(), frame.size() - 1}, 1).error(), EncodeError::BadInput);
  ASSERT_TRUE(used.value().add_frame(frame, 1).ok());
  const Bytes exif = {0, 0, 0, 0, 'I', 'I', 42, 0};
  EXPECT_EQ(used.value().add_box(BoxKind::Exif, exif, false).error(), EncodeError::ApiUsage);
  ASSERT_TRUE(used.value().finish().ok());
  EXPECT_EQ(used.value().add_frame(frame, 1).error(), EncodeError::ApiUsage);

  s.channels = 5;
  EXPECT_EQ(AnimationEncoder::create(s, std::nullopt).error(), EncodeError::BadInput);
  s = lossless(1, SampleKind::Float, 4, 4);
  s.lossless = false;
  auto lossy = AnimationEncoder::create(s, std::nullopt);
  ASSERT_TRUE(lossy.ok());
  std::vector<float> nan_frame(16, 0.5f);
  nan_frame[7] = std::numeric_limits<float>::quiet_NaN();
  const std::span<const uint8_t> nan_bytes(reinterpret_cast<const uint8_t*>(nan_frame.data()), 64);
  EXPECT_EQ(lossy.value().add_frame(nan_bytes, 1).error(), EncodeError::BadInput);
}

// Boxes and a profile given to the encoder come back out of the file.
TEST(AnimationEncoderTest, KeepsBoxesAndProfile) {
  const Animation source = encode(lossless(3, SampleKind::Uint8), {1});  // read in place
  auto profile_source = FrameDecoder::open(source.file, std::nullopt, std::nullopt);
  ASSERT_TRUE(profile_source.ok());
  AnimationSettings s = lossless(3, SampleKind::Uint8);
  s.icc = profile_source.value().icc();
  ASSERT_FALSE(s.icc.empty());
  const std::string exif("\0\0\0\0II*\0\x08\0\0\0", 12);
  const Animation a = encode(s, {5, 6}, {{BoxKind::Exif, exif}, {BoxKind::Xml, "<x:xmpmeta/>"}});
  const BoxWalk boxes = walk_boxes(a.file);
  ASSERT_TRUE(boxes.error.empty());
  std::vector<std::string> seen;
  for (const BoxRecord& box : boxes.boxes) {
    const std::string type(box.type.begin(), box.type.end());
    if (type == "Exif" || type == "xml ") seen.push_back(type + std::string(box.data.begin(), box.data.end()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Exif" + exif, "xml <x:xmpmeta/>"}));
  auto dec = FrameDecoder::open(a.file, std::nullopt, std::nullopt);
  ASSERT_TRUE(dec.ok());
  EXPECT_TRUE(dec.value().icc() == profile_source.value().icc());
  EXPECT_EQ(read_facts(a.file).value().frames.size(), 2u);
}

// A still image is an animation of one frame without a tick rate.
TEST(AnimationStill, OneFrameNotAnimated) {
  auto r = create_runner(1);
  ASSERT_TRUE(r.has_value());
  EncoderSettings settings;
  settings.lossless = true;
  settings.uses_original_profile = true;
  auto driver = EncoderDriver::create(*r, settings);
  ASSERT_TRUE(driver.ok());
  const AnimationSettings layout = lossless(3, SampleKind::Uint8);
  const Bytes pixels = make_frame(layout, 0);
  auto file = driver.value().encode_pixels(PixelFrame<uint8_t>{pixels.data(), pixels.size(), 3}, 23, 17);
  ASSERT_TRUE(file.ok());

  auto facts = read_facts(file.value(), {false});
  ASSERT_TRUE(facts.ok());
  EXPECT_FALSE(facts.value().have_animation);
  EXPECT_EQ(facts.value().tps_denominator, 0u);
  auto walk = read_facts(file.value());
  ASSERT_TRUE(walk.ok());
  ASSERT_EQ(walk.value().frames.size(), 1u);
  EXPECT_TRUE(walk.value().frames[0].is_last);
  expect_frames_in_order(file.value(), {SampleKind::Uint8, 3}, {0, 0}, {pixels}, {0}, false);
}

// Frames come out turned upright as libjxl turns still images by default:
// an orientation-6 animation (stored turned a quarter left) decodes with its
// sides swapped, each frame as the still-image decoder gives the last one.
TEST(AnimationStill, OrientationAppliedAsForStills) {
  const uint32_t w = 5, h = 3;
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = w;
  info.ysize = h;
  info.bits_per_sample = 8;
  info.uses_original_profile = JXL_TRUE;
  info.orientation = JXL_ORIENT_ROTATE_90_CW;
  info.have_animation = JXL_TRUE;
  info.animation.tps_numerator = 1000;
  info.animation.tps_denominator = 1;
  ASSERT_EQ(JxlEncoderSetBasicInfo(enc.get(), &info), JXL_ENC_SUCCESS);
  JxlColorEncoding color;
  JxlColorEncodingSetToSRGB(&color, JXL_FALSE);
  ASSERT_EQ(JxlEncoderSetColorEncoding(enc.get(), &color), JXL_ENC_SUCCESS);
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  ASSERT_EQ(JxlEncoderSetFrameLossless(fs, JXL_TRUE), JXL_ENC_SUCCESS);
  AnimationSettings layout = lossless(3, SampleKind::Uint8, w, h);
  const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::vector<Bytes> stored;
  for (uint32_t f = 0; f < 2; ++f) {
    JxlFrameHeader header;
    JxlEncoderInitFrameHeader(&header);
    header.duration = 10;
    ASSERT_EQ(JxlEncoderSetFrameHeader(fs, &header), JXL_ENC_SUCCESS);
    stored.push_back(make_frame(layout, f));
    ASSERT_EQ(JxlEncoderAddImageFrame(fs, &format, stored.back().data(), stored.back().size()),
              JXL_ENC_SUCCESS);
  }
  JxlEncoderCloseInput(enc.get());
  Bytes file(4096);
  uint8_t* next = file.data();
  size_t avail = file.size();
  ASSERT_EQ(JxlEncoderProcessOutput(enc.get(), &next, &avail), JXL_ENC_SUCCESS);
  file.resize(file.size() - avail);

  auto dec = FrameDecoder::open(file, FrameFormat{}, std::nullopt);
  ASSERT_TRUE(dec.ok());
  EXPECT_EQ(dec.value().facts().width(), h);
  EXPECT_EQ(dec.value().facts().height(), w);
  Bytes out(dec.value().frame_bytes());
  for (uint32_t f = 0; f < 2; ++f) {
    ASSERT_TRUE(dec.value().decode(f, out).ok());
    // Turned a quarter right: shown pixel (x, y) is stored pixel (y, h - 1 - x).
    Bytes upright(out.size());
    for (uint32_t y = 0; y < w; ++y) {
      for (uint32_t x = 0; x < h; ++x) {
        for (uint32_t c = 0; c < 3; ++c) {
          upright[(size_t{y} * h + x) * 3 + c] = stored[f][(size_t{h - 1 - x} * w + y) * 3 + c];
        }
      }
    }
    EXPECT_TRUE(out == upright) << "frame " << f;
  }
  OwnedImageBytes still;
  auto driver = DecoderOptions{}.build();
  ASSERT_TRUE(driver.ok());
  auto decoded = driver.value().decode_or_reconstruct(file, still);
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(Bytes(still.bytes().begin(), still.bytes().end()) == out);
}

// The orientation asked for is the codestream's, for every frame as given;
// readers turn it, as for stills, swapping the sides of 5 to 8. Stills
// share the setting through EncoderSettings.
TEST(AnimationStill, OrientationIsDeclaredForTheFramesAsGiven) {
  for (int value = 1; value <= 8; ++value) {
    AnimationSettings s = lossless(3, SampleKind::Uint8, 7, 4);
    s.orientation = static_cast<JxlOrientation>(value);
    const Animation a = encode(s, {10, 20});
    auto facts = read_facts(a.file);
    ASSERT_TRUE(facts.ok());
    EXPECT_EQ(facts.value().orientation, static_cast<uint32_t>(value));
    EXPECT_EQ(facts.value().width(), value >= 5 ? 4u : 7u);
    auto r = create_runner(0);
    EncoderSettings still;
    still.orientation = s.orientation;
    auto driver = EncoderDriver::create(*r, still);
    ASSERT_TRUE(driver.ok());
    SampleFrame frame{SampleKind::Uint8, a.frames[0], 7, 4, 3, 0, {}};
    auto file = driver.value().encode_samples(frame);
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(read_facts(file.value()).value().orientation, static_cast<uint32_t>(value));
  }
}

// jxlinfo, reading our encoder's file on its own, reports the same frames,
// durations, names and loop count.
TEST(AnimationTools, JxlinfoAgrees) {
  if (std::system("command -v jxlinfo >/dev/null 2>&1") != 0) TESSARA_TOOL_MISSING("jxlinfo");
  const Animation a = encode(lossless(4, SampleKind::Uint8), {40, 1, 1000, 250});
  char path[] = "/tmp/tessara-anim-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, a.file.data(), a.file.size()), static_cast<ssize_t>(a.file.size()));
  close(fd);
  std::string report;
  if (FILE* pipe = popen(("jxlinfo -v " + std::string(path)).c_str(), "r")) {
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) report.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0);
  }
  std::remove(path);
  EXPECT_NE(report.find("JPEG XL animation, 23x17"), std::string::npos) << report;
  EXPECT_NE(report.find("ticks per second (numerator / denominator): 1000 / 1"), std::string::npos);
  EXPECT_NE(report.find("num_loops: 3"), std::string::npos);
  std::vector<std::string> durations;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find("duration: ");
    if (line.rfind("frame:", 0) == 0 && at != std::string::npos) durations.push_back(line.substr(at + 10));
  }
  EXPECT_EQ(durations, (std::vector<std::string>{"40.0 ms, name: \"f0\"", "1.0 ms, name: \"f1\"",
                                                 "1000.0 ms, name: \"f2\"", "250.0 ms, name: \"f3\""}));
}

}  // namespace
}  // namespace tessara
