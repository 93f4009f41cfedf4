// The Python face of encoding: the Encoder class and its call.
#pragma once

#include <string>

#include "module/classes.h"

namespace tessara::py {

ClassSpec& encoder_class();

// The shortest positional decimal that reads back as the same float.
std::string format_quality(float quality);

}  // namespace tessara::py
