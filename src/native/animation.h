// Frames for tessara_pillow: FrameDecoder (one composited frame at a time
// from a borrowed bytes-like object, a still image's one included) and
// AnimationEncoder (frames added one at a time), over codec/animation.h.
#pragma once

#include "lib/python.h"

namespace tessara::native {

// frame_whole(data, index) -> bool: whether that displayed frame's data is all there
PyObject* whole(PyObject* module, PyObject* args) noexcept;

// The two types, made once per module object; nullptr with an exception set.
PyObject* frame_decoder_type(PyObject* module) noexcept;
PyObject* animation_encoder_type(PyObject* module) noexcept;

}  // namespace tessara::native
