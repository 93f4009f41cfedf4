// The container box walk: big-endian headers read in place, every length
// compared with the bytes left so that no sum can overflow.
#include "codec/boxes.h"

#include <algorithm>
#include <new>

#include "codec/memory.h"

namespace tessara {

namespace {

constexpr std::array<uint8_t, 12> kContainerSignature = {0x00, 0x00, 0x00, 0x0C, 'J',  'X',
                                                         'L',  ' ',  0x0D, 0x0A, 0x87, 0x0A};
// The signature box and the file-type box that must follow it.
constexpr size_t kFirstBox = 32;
constexpr size_t kHeader = 8;
constexpr size_t kLargeHeader = 16;

uint64_t load_be(const uint8_t* p, size_t width) noexcept {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | p[i];
  return value;
}

BoxWalk failed(const char* message, size_t pos) noexcept {
  BoxWalk walk;
  try {
    walk.error = message + std::to_string(pos);
  } catch (const std::bad_alloc&) {
    walk.out_of_memory = true;
  }
  return walk;
}

BoxWalk out_of_memory() noexcept {
  BoxWalk walk;
  walk.out_of_memory = true;
  return walk;
}

}  // namespace

BoxWalk walk_boxes(std::span<const uint8_t> input) noexcept {
  const size_t n = input.size();
  if (n < kContainerSignature.size() ||
      !std::equal(kContainerSignature.begin(), kContainerSignature.end(), input.begin())) {
    return {};
  }
  BoxWalk walk;
  // Invariant: pos <= n, so n - pos is the count of bytes left.
  for (size_t pos = kFirstBox; pos <= n && n - pos >= kHeader;) {
    const uint8_t* box = input.data() + pos;
    const size_t left = n - pos;
    const uint64_t size = load_be(box, 4);
    uint64_t length = size;
    size_t header = kHeader;
    if (size == 1) {
      if (left < kLargeHeader) break;
      length = load_be(box + 8, 8);
      if (length < kLargeHeader) return failed("Invalid large box size at position ", pos);
      header = kLargeHeader;
    } else if (size >= 2 && size < kHeader) {
      return failed("Invalid box size at position ", pos);
    } else if (size == 0) {
      length = left;
    }
    if (length > left) break;
    BoxRecord* record = try_emplace_back(walk.boxes);
    if (record == nullptr || !try_assign(record->data, box + header, box + length)) {
      return out_of_memory();
    }
    std::copy_n(box + 4, 4, record->type.begin());
    pos += static_cast<size_t>(length);
  }
  return walk;
}

}  // namespace tessara
