// libFuzzer target for the animation reader: the facts, the frame-header
// walk and the frame decoder over any input, seeking forward, back and past
// the end. Findings: a crash or sanitizer report, or the readers disagreeing:
// a frame's header differing between the walk and the decoder, a frame whose
// pixels differ when decoded again after a rewind, a frame past the end of a
// whole walk that decodes, or facts that differ between the calls.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/animation.h"
#include "fuzz/fuzz_limits.h"

namespace tessara {
namespace {

constexpr size_t kFrameLimit = 64;
constexpr uint64_t kDecodedFrames = 4;

bool same_facts(const AnimationFacts& a, const AnimationFacts& b) {
  return a.is_animated == b.is_animated && a.width == b.width && a.height == b.height && a.num_color_channels == b.num_color_channels &&
         a.has_alpha == b.has_alpha && a.tps_numerator == b.tps_numerator &&
         a.tps_denominator == b.tps_denominator && a.num_loops == b.num_loops;
}

void run(std::span<const uint8_t> input, uint8_t choice) {
  auto facts = read_animation_facts(input);
  auto walk = walk_frames(input, kFrameLimit);
  if (facts.ok() != walk.ok()) {
    std::fprintf(stderr, "facts %d, walk %d: %s\n", facts.ok(), walk.ok(),
                 error_text(facts.ok() ? walk.error() : facts.error()).c_str());
    std::abort();
  }
  if (!walk) return;
  if (!same_facts(facts.value(), walk.value().facts)) std::abort();
  const std::vector<FrameFacts>& frames = walk.value().frames;
  if (frames.size() > kFrameLimit) std::abort();
  const bool whole = !walk.value().stopped.has_value();

  // The output format from the choice byte: any kind, the file's channels or 4.
  FrameFormat format{static_cast<SampleKind>(choice & 3), (choice & 4) != 0 ? 4u : 0u};
  auto dec = FrameDecoder::open(input, format, create_runner(0));
  if (!dec) return;
  if (!same_facts(dec.value().facts(), walk.value().facts)) std::abort();
  std::vector<uint8_t> first(dec.value().frame_bytes()), again(dec.value().frame_bytes());
  bool first_decoded = false;
  const uint64_t count = std::min<uint64_t>(frames.size() + 1, kDecodedFrames);
  for (uint64_t i = 0; i < count; ++i) {
    auto frame = dec.value().decode(i, first);
    if (!frame) continue;
    if (i == 0) first_decoded = true;
    if (i >= frames.size()) {
      if (whole) std::abort();  // decoded a frame the whole walk did not list
      continue;
    }
    if (frame.value().duration != frames[i].duration || frame.value().name != frames[i].name ||
        frame.value().is_last != frames[i].is_last) {
      std::abort();
    }
    // Back to the start and forward again by skipping: the same pixels.
    if (i > 0 && first_decoded && (choice & 8) != 0) {
      if (!dec.value().decode(0, again)) std::abort();  // it decoded before
      auto repeated = dec.value().decode(i, again);
      if (!repeated || first != again) std::abort();
    }
  }
}

}  // namespace
}  // namespace tessara

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || !tessara::fuzz::declares_small_image(data, size)) return -1;
  // The last byte chooses the output format; JPEG XL files tolerate a
  // trailing byte, so seeds stay valid.
  tessara::run({data, size}, data[size - 1]);
  return 0;
}
