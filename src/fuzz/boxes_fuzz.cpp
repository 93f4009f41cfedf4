// libFuzzer target for the box walk: any input, as given and behind a valid
// container header, must neither read out of bounds nor break the invariants.
#include <cstdlib>
#include <vector>

#include "codec/boxes.h"

namespace {

void check(std::span<const uint8_t> input) {
  const tessara::BoxWalk walk = tessara::walk_boxes(input);
  if (!walk.error.empty() && !walk.boxes.empty()) std::abort();
  size_t claimed = 0;
  for (const tessara::BoxRecord& box : walk.boxes) claimed += 8 + box.data.size();
  if (claimed > input.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check({data, size});
  // Most random inputs lack the signature; this copy always has it, and is
  // sized exactly so that an overread still shows.
  std::vector<uint8_t> framed = {0x00, 0x00, 0x00, 0x0C, 'J',  'X',  'L', ' ', 0x0D, 0x0A, 0x87,
                                 0x0A, 0x00, 0x00, 0x00, 0x14, 'f',  't', 'y', 'p',  'j',  'x',
                                 'l',  ' ',  0x00, 0x00, 0x00, 0x00, 'j', 'x', 'l',  ' '};
  framed.insert(framed.end(), data, data + size);
  check(framed);
  return 0;
}
