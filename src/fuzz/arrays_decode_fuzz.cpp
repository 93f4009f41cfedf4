// libFuzzer target for the array decode: any input ends in frame 0's samples
// as stored or an AnimationError, the samples are exactly the size the facts
// describe, in the kind the facts name, and the facts the decoder reads are
// those the fact reader gives.
#include <cstdlib>
#include <optional>
#include <vector>

#include "codec/animation.h"
#include "fuzz/fuzz_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessara::fuzz::declares_small_image(data, size)) return -1;
  const std::span<const uint8_t> input{data, size};
  auto facts = tessara::read_facts(input);
  auto decoder = tessara::FrameDecoder::open(input, std::nullopt, std::nullopt);
  if (facts.ok() != decoder.ok()) std::abort();
  if (!decoder.ok()) return 0;
  const tessara::FileFacts& f = decoder.value().facts();
  if (f.width() != facts.value().width() || f.height() != facts.value().height() ||
      f.channels() != facts.value().channels() || f.frames.size() != facts.value().frames.size()) {
    std::abort();
  }
  const tessara::FrameFormat format = decoder.value().format();
  if (format.kind != tessara::full_precision_kind(f) || format.channels != f.channels()) std::abort();
  const uint64_t samples = uint64_t{f.width()} * f.height() * format.channels;
  if (decoder.value().frame_bytes() != samples * tessara::layout_of(format.kind).size) std::abort();
  if (samples > (uint64_t{1} << 20)) return 0;
  std::vector<uint8_t> out(decoder.value().frame_bytes());
  auto frame = decoder.value().decode(0, out);
  // A frame the walk did not find whole is refused before decoding.
  if (frame.ok() && f.frames.empty()) std::abort();
  return 0;
}
