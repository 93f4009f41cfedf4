// The one mapping from codec results to Python exceptions in
// tessara_pillow._native.
#pragma once

#include <variant>

#include "codec/animation.h"
#include "codec/encoder.h"
#include "codec/progressive.h"
#include "lib/python.h"
#include "png/png.h"

namespace tessara::native {

// The thread pool asked for could not be made.
struct PoolRefused {};

// Everything that can go wrong in codec work, as a value: it is made while
// the interpreter lock is released and raised once it is held again.
using Failure = std::variant<EncodeError, FrameProblem, PoolRefused, AnimationError,
                             png::PngError, ProgressiveError>;

// Sets the exception for `failure` and returns nullptr, for `return raise(...)`.
PyObject* raise(const Failure& failure) noexcept;

}  // namespace tessara::native
