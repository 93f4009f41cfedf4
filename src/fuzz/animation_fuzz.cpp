// libFuzzer target for the fact reader and the frame decoder over any
// input, seeking forward, back and past the end. Findings: a crash or
// sanitizer report, or the readers disagreeing: the facts read up to the
// first frame differing from those of the whole walk, a frame's header
// differing between the walk and the decoder, a frame whose pixels differ
// when decoded again after a rewind, a frame past the end of a whole walk or
// beyond the layer limit that decodes, or more layers than the limit.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "codec/animation.h"
#include "fuzz/fuzz_limits.h"

namespace tessara {
namespace {

constexpr size_t kFrameLimit = 64;
constexpr size_t kLayerLimit = 8;
constexpr uint64_t kDecodedFrames = 4;

bool same_facts(const FileFacts& a, const FileFacts& b) {
  return a.have_animation == b.have_animation && a.stored_width == b.stored_width &&
         a.stored_height == b.stored_height && a.orientation == b.orientation &&
         a.num_color_channels == b.num_color_channels && a.colour == b.colour &&
         a.alpha == b.alpha && a.tps_numerator == b.tps_numerator &&
         a.tps_denominator == b.tps_denominator && a.num_loops == b.num_loops &&
         a.jpeg_reconstruction == b.jpeg_reconstruction && a.icc == b.icc &&
         a.original_icc == b.original_icc && a.through_cms == b.through_cms;
}

void run(std::span<const uint8_t> input, uint8_t choice) {
  auto head = read_facts(input, {false, kFrameLimit, kLayerLimit});
  auto walk = read_facts(input, {true, kFrameLimit, kLayerLimit});
  if (head.ok() != walk.ok()) {
    std::fprintf(stderr, "first frame %d, walk %d: %s\n", head.ok(), walk.ok(),
                 error_text(head.ok() ? walk.error() : head.error()).c_str());
    std::abort();
  }
  if (!walk) return;
  const std::vector<FrameFacts>& frames = walk.value().frames;
  if (frames.size() > kFrameLimit) std::abort();
  for (const FrameFacts& frame : frames) {
    if (frame.layers < 1 || frame.layers > kLayerLimit) std::abort();
  }
  // Facts read before frame 0's end hold whatever the whole walk holds,
  // where both reached frame 0's header.
  if (!frames.empty() && !head.value().frames.empty()) {
    if (!same_facts(head.value(), walk.value())) std::abort();
    const FrameFacts& a = head.value().frames[0];
    if (a.duration != frames[0].duration || a.name != frames[0].name || a.layers != frames[0].layers) {
      std::abort();
    }
  }
  const bool whole = !walk.value().stopped.has_value();

  // The output format from the choice byte: any kind, the file's channels or 4.
  std::optional<FrameFormat> format = FrameFormat{static_cast<SampleKind>(choice & 3), (choice & 4) != 0 ? 4u : 0u};
  if ((choice & 16) != 0) format.reset();  // every sample as stored
  auto dec = FrameDecoder::open(input, format, create_runner(0));
  if (!dec) return;
  if (!same_facts(dec.value().facts(), walk.value())) std::abort();
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
