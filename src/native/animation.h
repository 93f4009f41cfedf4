// Animations for tessara_pillow: the frame-header walk, FrameDecoder (one
// composited frame at a time from a borrowed bytes-like object) and
// AnimationEncoder (frames added one at a time), over codec/animation.h.
#pragma once

#include "lib/python.h"

namespace tessara::native {

// walk(data, max_frames) -> (facts, [(duration ticks, name), ...], stopped)
// facts: (width, height, channels, bits, exponent bits, dtype, animated,
//         jpeg reconstruction, ticks numerator, ticks denominator, loops)
// stopped: None, or (kind, frame, text) where the walk ended early; kind is
//         "truncated", "corrupt", "too_many_frames" or "unexpected".
PyObject* walk(PyObject* module, PyObject* args) noexcept;

// frame_whole(data, index) -> bool: whether that displayed frame's data is all there
PyObject* whole(PyObject* module, PyObject* args) noexcept;

// The two types, made once per module object; nullptr with an exception set.
PyObject* frame_decoder_type(PyObject* module) noexcept;
PyObject* animation_encoder_type(PyObject* module) noexcept;

}  // namespace tessara::native
