// The fault build's switchboard: which injection points fire, from
// TESSARA_FAULT. Compiled to nothing in every other build, so the shipped
// module reads no environment variable.
#include "codec/fault.h"

#ifdef TESSARA_FAULT_INJECTION

#include <cstdlib>
#include <iterator>
#include <string_view>

namespace tessara::fault {
namespace {

// In the order of Point.
constexpr std::string_view kNames[] = {
    "encoder_error_ok",
    "decoder_status",
    "colour_channels",
    "image_unallocated",
    "image_bytes_null",
    "tuple_null",
    "copied_bytes_null_value_error",
    "copied_bytes_null_memory_error",
    "list_null",
};
static_assert(std::size(kNames) == static_cast<size_t>(Point::ResultList) + 1);

uint32_t chosen_points() noexcept {
  const char* value = std::getenv("TESSARA_FAULT");
  uint32_t mask = 0;
  std::string_view rest = value != nullptr ? value : "";
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view name = rest.substr(0, comma);
    for (size_t i = 0; i < std::size(kNames); ++i) {
      if (name == kNames[i]) mask |= uint32_t{1} << i;
    }
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return mask;
}

}  // namespace

bool fires(Point point) noexcept {
  static const uint32_t mask = chosen_points();
  return (mask >> static_cast<unsigned>(point)) & 1u;
}

}  // namespace tessara::fault

#endif
