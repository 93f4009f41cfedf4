// The benchmarks' reference for progressive files: how many bytes libjxl's
// own decoder needs for each stage of a file, found by feeding it prefixes
// (each to a fresh decoder, the input left open) and searching for the
// shortest one that reaches the stage. It shares no code with tessara.
//
//   jxl_stages FILE [STAGE...]   prints "STAGE BYTES" for each STAGE asked
//                     for (default all): preview (the 1:8 image: every DC
//                     group), pass (a later pass) or complete, BYTES 0 if the
//                     file has no such stage; then "size BYTES".
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

enum Stage { kNone, kPreview, kPass, kComplete };

void drop(void*, size_t, size_t, size_t, const void*) {}

// The furthest stage libjxl reports for the first `prefix` bytes.
Stage reached(const Bytes& file, size_t prefix) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FRAME_PROGRESSION |
                                           JXL_DEC_FULL_IMAGE);
  JxlDecoderSetProgressiveDetail(dec.get(), kPasses);
  JxlDecoderSetInput(dec.get(), file.data(), prefix);
  JxlBasicInfo info{};
  Stage stage = kNone;
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_BASIC_INFO:
        JxlDecoderGetBasicInfo(dec.get(), &info);
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        // Pixels are not needed to know the stage: a callback drops them.
        const JxlPixelFormat format{info.num_color_channels + (info.alpha_bits ? 1u : 0u),
                                    JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        JxlDecoderSetImageOutCallback(dec.get(), &format, drop, nullptr);
        break;
      }
      case JXL_DEC_FRAME_PROGRESSION: {
        const Stage now = JxlDecoderGetIntendedDownsamplingRatio(dec.get()) >= 8 ? kPreview : kPass;
        if (now > stage) stage = now;
        break;
      }
      case JXL_DEC_FULL_IMAGE: return kComplete;
      default: return stage;
    }
  }
}

size_t shortest(const Bytes& file, Stage stage) {
  if (reached(file, file.size()) < stage) return 0;
  size_t lo = 1, hi = file.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (reached(file, mid) >= stage) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  // A stage reached only with the whole image is no stage of its own.
  return stage < kComplete && reached(file, lo) == kComplete ? 0 : lo;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: jxl_stages FILE [preview|pass|complete...]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    std::fprintf(stderr, "jxl_stages: cannot read %s\n", argv[1]);
    return 1;
  }
  const char* names[] = {"preview", "pass", "complete"};
  const Stage stages[] = {kPreview, kPass, kComplete};
  for (int i = 0; i < 3; ++i) {
    bool wanted = argc == 2;
    for (int a = 2; a < argc; ++a) wanted = wanted || std::strcmp(argv[a], names[i]) == 0;
    if (wanted) std::printf("%s %zu\n", names[i], shortest(file, stages[i]));
  }
  std::printf("size %zu\n", file.size());
  return 0;
}
