// Timing driver for the animation reader, against plain libjxl in the same
// run: walking the frame headers against decoding every frame, and the frame
// decoder's frame-by-frame pass and seeks against one libjxl pass. Prints
// ratios (median of the rounds); it passes or fails nothing.
//
//   animation_bench [FRAMES [WIDTH [HEIGHT [ROUNDS [THREADS]]]]]   default 100 1000 1000 5 -1
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <jxl/thread_parallel_runner.h>

#include "codec/animation.h"

namespace {

using tessara::AnimationSettings;
using Bytes = std::vector<uint8_t>;

double median_seconds(int rounds, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// A photo-like frame: smooth shapes that move from frame to frame, with grain.
Bytes make_frame(uint32_t w, uint32_t h, uint32_t f) {
  Bytes out(size_t{w} * h * 3);
  uint32_t noise = 12345 + f;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      noise = noise * 1664525u + 1013904223u;
      for (uint32_t c = 0; c < 3; ++c) {
        const double v = 127 + 100 * std::sin((x + 7.0 * f) / (40.0 + 10 * c)) *
                                   std::cos((y + 3.0 * f) / (55.0 - 9 * c));
        out[(size_t{y} * w + x) * 3 + c] = static_cast<uint8_t>(v + ((noise >> (8 * c)) & 15));
      }
    }
  }
  return out;
}

void fail(const char* what) {
  std::fprintf(stderr, "animation_bench: %s\n", what);
  std::exit(1);
}

// Every displayed frame in one pass of plain libjxl, into one frame buffer.
void raw_decode_all(const Bytes& file, void* pool, Bytes& frame) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, pool);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE);
  JxlDecoderSetInput(dec.get(), file.data(), file.size());
  JxlDecoderCloseInput(dec.get());
  const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_SUCCESS) return;
    if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      JxlDecoderSetImageOutBuffer(dec.get(), &format, frame.data(), frame.size());
    } else if (status == JXL_DEC_FRAME) {
      JxlFrameHeader header;
      JxlDecoderGetFrameHeader(dec.get(), &header);
    } else if (status != JXL_DEC_FULL_IMAGE) {
      fail("raw decode failed");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  auto arg = [&](int i, long fallback) { return argc > i ? std::atol(argv[i]) : fallback; };
  const auto frames = static_cast<uint32_t>(arg(1, 100));
  const auto width = static_cast<uint32_t>(arg(2, 1000));
  const auto height = static_cast<uint32_t>(arg(3, 1000));
  const int rounds = static_cast<int>(arg(4, 5));
  const int64_t threads = arg(5, -1);

  AnimationSettings s;
  s.width = width;
  s.height = height;
  s.channels = 3;
  s.distance = 1.0f;
  s.effort = 3;
  auto enc = tessara::AnimationEncoder::create(s, tessara::create_runner(threads));
  if (!enc) fail("encoder");
  for (uint32_t f = 0; f < frames; ++f) {
    if (!enc.value().add_frame(make_frame(width, height, f), 40)) fail("add_frame");
  }
  auto made = enc.value().finish();
  if (!made) fail("finish");
  const Bytes& file = made.value();

  auto pool = tessara::create_runner(threads);
  if (!pool) fail("pool");
  Bytes frame(size_t{width} * height * 3);
  const double raw_all = median_seconds(rounds, [&] { raw_decode_all(file, pool->opaque(), frame); });
  const double walk = median_seconds(rounds, [&] {
    auto w = tessara::read_facts(file);
    if (!w || w.value().frames.size() != frames) fail("walk");
  });
  const tessara::FrameFormat u8{tessara::SampleKind::Uint8, 3};
  const double ours_all = median_seconds(rounds, [&] {
    auto dec = tessara::FrameDecoder::open(file, u8, tessara::create_runner(threads));
    if (!dec) fail("open");
    for (uint32_t f = 0; f < frames; ++f) {
      if (!dec.value().decode(f, frame)) fail("decode");
    }
  });
  const double seek_last = median_seconds(rounds, [&] {
    auto dec = tessara::FrameDecoder::open(file, u8, tessara::create_runner(threads));
    if (!dec || !dec.value().decode(frames - 1, frame)) fail("seek");
  });

  std::printf("%u frames of %ux%u RGB (%zu bytes), %d rounds, median seconds\n", frames, width,
              height, file.size(), rounds);
  std::printf("raw libjxl, every frame in one pass   %.4f\n", raw_all);
  std::printf("read_facts (n_frames)                 %.4f  = %.2f%% of the raw pass (target < 5%%)\n",
              walk, 100 * walk / raw_all);
  std::printf("FrameDecoder, every frame in turn     %.4f  = %.3fx the raw pass (target <= 1.10x)\n",
              ours_all, ours_all / raw_all);
  std::printf("FrameDecoder, open + last frame       %.4f  = %.3fx the raw pass\n", seek_last,
              seek_last / raw_all);
  return 0;
}
