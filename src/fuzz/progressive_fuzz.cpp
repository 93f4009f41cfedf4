// libFuzzer target for the progressive decoder: any input fed in random
// pieces and cut at a random length. Findings: a crash or sanitizer report,
// or the decoder disagreeing with itself: stages that go back, a stage that
// depends on how the bytes were split, a complete picture that differs from
// the one fed whole, samples of nothing drawn that are not zero. (libjxl
// refuses some damaged bytes when it has them whole and waits for more when
// they come in pieces, so an error may depend on the split.)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "codec/progressive.h"
#include "fuzz/fuzz_limits.h"

namespace tessara {
namespace {

struct Outcome {
  bool failed = false;
  Stage stage = Stage::None;
  std::vector<uint8_t> picture;  // the complete samples
};

void check_picture(ProgressiveDecoder& d) {
  auto rendered = d.render(true);
  if (!rendered) {
    if (d.facts().has_value()) std::abort();  // only before the header is there no picture
    return;
  }
  const std::span<const uint8_t> samples = d.samples();
  const auto nonzero = [](uint8_t v) { return v != 0; };
  if (!rendered.value().drawn && std::any_of(samples.begin(), samples.end(), nonzero)) std::abort();
  if (!samples.empty()) {
    std::vector<uint8_t> pillow(d.pillow_layout().bytes), array(d.array_bytes());
    d.pillow_samples(samples, pillow);
    auto copied = d.array_samples(samples, array);
    if (!copied && copied.error().kind != ProgressiveError::Kind::OutOfMemory) std::abort();
  }
}

Outcome run(std::span<const uint8_t> input, uint32_t seed, bool draw) {
  Outcome out;
  auto created = ProgressiveDecoder::create(uint64_t{1} << 20, create_runner(0));
  if (!created) std::abort();
  ProgressiveDecoder& d = created.value();
  std::mt19937 rng(seed);
  size_t at = 0;
  while (at < input.size()) {
    const size_t piece = seed == 0 ? input.size() : 1 + rng() % (seed % 4096 + 1);
    const size_t n = std::min(piece, input.size() - at);
    const Stage before = d.stage();
    if (!d.feed(input.subspan(at, n))) {
      out.failed = true;
      if (d.feed(input.subspan(at, n))) std::abort();  // an error stays
      return out;
    }
    if (d.stage() < before) std::abort();
    if (draw && rng() % 4 == 0) check_picture(d);
    at += n;
  }
  out.stage = d.stage();
  if (draw) check_picture(d);
  if (out.stage == Stage::Complete) out.picture.assign(d.samples().begin(), d.samples().end());
  return out;
}

}  // namespace
}  // namespace tessara

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5 || !tessara::fuzz::declares_small_image(data + 4, size - 4)) return -1;
  // Bytes 0-3: the seed of the split and the cut; the rest is the file.
  const uint32_t seed = data[0] | data[1] << 8 | data[2] << 16 | uint32_t{data[3]} << 24;
  std::span<const uint8_t> file(data + 4, size - 4);
  const size_t cut = (seed & 0x80u) != 0 ? (seed >> 8) % (file.size() + 1) : 0;
  file = file.first(file.size() - cut);
  const tessara::Outcome whole = tessara::run(file, 0, false);
  const tessara::Outcome split = tessara::run(file, seed | 1, true);
  if (whole.failed || split.failed) return 0;
  if (whole.stage != split.stage || whole.picture != split.picture) {
    std::fprintf(stderr, "fed whole: failed %d stage %d; in pieces: failed %d stage %d\n",
                 whole.failed, static_cast<int>(whole.stage), split.failed,
                 static_cast<int>(split.stage));
    std::abort();
  }
  return 0;
}
