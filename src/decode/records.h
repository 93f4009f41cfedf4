// The records a decode returns to Python: ImageInfo and JxlBox payloads.
#pragma once

#include <cstdint>
#include <string>

#include "codec/boxes.h"
#include "module/classes.h"

namespace tessara::py {

struct ImageInfoFields {
  std::string mode;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t num_channels = 0;
  bool has_alpha_channel = false;
};

using JxlBoxFields = BoxRecord;

}  // namespace tessara::py
