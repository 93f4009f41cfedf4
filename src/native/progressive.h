// ProgressiveDecoder for tessara_pillow: bytes fed as they arrive, the
// picture they hold handed out as a SampleBuffer at full precision or in the
// layout Pillow keeps the plug-in's mode in, over codec/progressive.h.
#pragma once

#include "lib/python.h"

namespace tessara::native {

// The type, made once per module object; nullptr with an exception set.
PyObject* progressive_decoder_type(PyObject* module) noexcept;

}  // namespace tessara::native
