// Baseline for the benchmarks: the same decode and encode work done directly
// through libjxl, so that tessara's overhead can be printed as a ratio.
//
//   jxl_raw decode FILE REPEAT
//   jxl_raw encode RAW WIDTH HEIGHT CHANNELS BITS QUALITY EFFORT REPEAT
// Prints the best wall time in seconds.
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "jxl_raw: %s failed\n", what);
  std::exit(1);
}

// Whole-file decode with the event set and output format tessara uses.
size_t decode_once(const std::vector<uint8_t>& file) {
  auto runner = JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, runner.get()) != JXL_DEC_SUCCESS)
    fail("runner");
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
  JxlDecoderSetInput(dec.get(), file.data(), file.size());
  JxlDecoderCloseInput(dec.get());
  JxlBasicInfo info{};
  std::vector<uint8_t> pixels, icc;
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_BASIC_INFO: JxlDecoderGetBasicInfo(dec.get(), &info); break;
      case JXL_DEC_COLOR_ENCODING: {
        size_t size = 0;
        JxlDecoderGetICCProfileSize(dec.get(), JXL_COLOR_PROFILE_TARGET_DATA, &size);
        icc.resize(size);
        JxlDecoderGetColorAsICCProfile(dec.get(), JXL_COLOR_PROFILE_TARGET_DATA, icc.data(), size);
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        JxlDataType type = info.exponent_bits_per_sample ? (info.bits_per_sample == 16 ? JXL_TYPE_FLOAT16 : JXL_TYPE_FLOAT)
                           : info.bits_per_sample <= 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16;
        JxlPixelFormat format{info.num_color_channels + (info.alpha_bits ? 1u : 0u), type, JXL_NATIVE_ENDIAN, 0};
        size_t size = 0;
        JxlDecoderImageOutBufferSize(dec.get(), &format, &size);
        pixels.resize(size);
        JxlDecoderSetImageOutBuffer(dec.get(), &format, pixels.data(), size);
        break;
      }
      case JXL_DEC_FULL_IMAGE: break;
      case JXL_DEC_SUCCESS: return pixels.size();
      default: fail("decode");
    }
  }
}

size_t encode_once(const std::vector<uint8_t>& raw, uint32_t w, uint32_t h, uint32_t channels,
                   uint32_t bits, float distance, int effort) {
  auto runner = JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  JxlEncoderSetParallelRunner(enc.get(), JxlThreadParallelRunner, runner.get());
  JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, effort);
  JxlEncoderSetFrameDistance(fs, distance);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = w;
  info.ysize = h;
  info.bits_per_sample = bits;
  const bool alpha = channels == 2 || channels == 4;
  info.num_color_channels = channels >= 3 ? 3 : 1;
  info.num_extra_channels = alpha ? 1 : 0;
  info.alpha_bits = alpha ? bits : 0;
  if (JxlEncoderSetBasicInfo(enc.get(), &info) != JXL_ENC_SUCCESS) fail("basic info");
  JxlColorEncoding color;
  JxlColorEncodingSetToSRGB(&color, channels < 3);
  JxlEncoderSetColorEncoding(enc.get(), &color);
  JxlPixelFormat format{channels, bits == 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
  if (JxlEncoderAddImageFrame(fs, &format, raw.data(), raw.size()) != JXL_ENC_SUCCESS) fail("frame");
  JxlEncoderCloseInput(enc.get());
  std::vector<uint8_t> out(512 * 1024);
  uint8_t* next = out.data();
  size_t avail = out.size();
  JxlEncoderStatus status;
  while ((status = JxlEncoderProcessOutput(enc.get(), &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
    size_t written = static_cast<size_t>(next - out.data());
    out.resize(out.size() * 2);
    next = out.data() + written;
    avail = out.size() - written;
  }
  if (status != JXL_ENC_SUCCESS) fail("encode");
  out.resize(static_cast<size_t>(next - out.data()));
  return out.size();
}

template <typename F>
double best_of(int repeat, F&& work) {
  double best = 1e300;
  for (int i = 0; i < repeat; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "decode" && argc == 4) {
    const auto file = read_file(argv[2]);
    std::printf("%.6f\n", best_of(std::atoi(argv[3]), [&] { decode_once(file); }));
    return 0;
  }
  if (mode == "encode" && argc == 10) {
    const auto raw = read_file(argv[2]);
    const auto w = static_cast<uint32_t>(std::atoi(argv[3])), h = static_cast<uint32_t>(std::atoi(argv[4]));
    const auto channels = static_cast<uint32_t>(std::atoi(argv[5])), bits = static_cast<uint32_t>(std::atoi(argv[6]));
    const float distance = JxlEncoderDistanceFromQuality(static_cast<float>(std::atof(argv[7])));
    const int effort = std::atoi(argv[8]);
    std::printf("%.6f\n", best_of(std::atoi(argv[9]), [&] { encode_once(raw, w, h, channels, bits, distance, effort); }));
    return 0;
  }
  std::fprintf(stderr, "usage: jxl_raw decode FILE REPEAT | encode RAW W H CHANNELS BITS QUALITY EFFORT REPEAT\n");
  return 2;
}
