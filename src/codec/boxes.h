// The walk over a JPEG XL container's boxes, done directly on the bytes
// (libjxl's box events are not used). Pure C++ so it can be fuzzed alone.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessara {

struct BoxRecord {
  std::array<uint8_t, 4> type{};
  std::vector<uint8_t> data;  // the box minus its header
};

struct BoxWalk {
  std::vector<BoxRecord> boxes;  // empty when `error` is set
  // A malformed size: the ValueError message the caller warns about.
  std::string error;
  // A box's content could not be allocated; `boxes` is then empty too.
  bool out_of_memory = false;
};

// Every box after the signature and file-type boxes (offset 32), in file order.
// A bare codestream gives no boxes; a truncated last box is dropped silently.
BoxWalk walk_boxes(std::span<const uint8_t> input) noexcept;

// Whether a whole box of `type` lies among those walk_boxes finds, up to the
// first malformed or truncated one; headers only are read, nothing is copied.
bool has_box(std::span<const uint8_t> input, std::array<uint8_t, 4> type) noexcept;

}  // namespace tessara
