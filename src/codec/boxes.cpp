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

bool is_container(std::span<const uint8_t> input) noexcept {
  return input.size() >= kContainerSignature.size() &&
         std::equal(kContainerSignature.begin(), kContainerSignature.end(), input.begin());
}

enum class Step : uint8_t { Box, End, BadSize, BadLargeSize };

// The header size and whole length of the box at `pos` (pos <= input.size()):
// Box, or End where no whole box is left.
Step box_at(std::span<const uint8_t> input, size_t pos, size_t& header, uint64_t& length) noexcept {
  const size_t left = input.size() - pos;
  if (left < kHeader) return Step::End;
  const uint8_t* box = input.data() + pos;
  const uint64_t size = load_be(box, 4);
  length = size;
  header = kHeader;
  if (size == 1) {
    if (left < kLargeHeader) return Step::End;
    length = load_be(box + 8, 8);
    if (length < kLargeHeader) return Step::BadLargeSize;
    header = kLargeHeader;
  } else if (size >= 2 && size < kHeader) {
    return Step::BadSize;
  } else if (size == 0) {
    length = left;
  }
  return length > left ? Step::End : Step::Box;
}

}  // namespace

BoxWalk walk_boxes(std::span<const uint8_t> input) noexcept {
  if (!is_container(input)) return {};
  BoxWalk walk;
  // Invariant: pos <= n, so n - pos is the count of bytes left.
  size_t header = 0;
  uint64_t length = 0;
  for (size_t pos = kFirstBox; pos <= input.size();) {
    const Step step = box_at(input, pos, header, length);
    if (step == Step::End) break;
    if (step == Step::BadLargeSize) return failed("Invalid large box size at position ", pos);
    if (step == Step::BadSize) return failed("Invalid box size at position ", pos);
    const uint8_t* box = input.data() + pos;
    BoxRecord* record = try_emplace_back(walk.boxes);
    if (record == nullptr || !try_assign(record->data, box + header, box + length)) {
      return out_of_memory();
    }
    std::copy_n(box + 4, 4, record->type.begin());
    pos += static_cast<size_t>(length);
  }
  return walk;
}

bool has_box(std::span<const uint8_t> input, std::array<uint8_t, 4> type) noexcept {
  if (!is_container(input)) return false;
  size_t header = 0;
  uint64_t length = 0;
  for (size_t pos = kFirstBox; pos <= input.size();) {
    if (box_at(input, pos, header, length) != Step::Box) return false;
    if (std::equal(type.begin(), type.end(), input.data() + pos + 4)) return true;
    pos += static_cast<size_t>(length);
  }
  return false;
}

}  // namespace tessara
