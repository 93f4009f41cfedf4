// SampleBuffer: a Python object that owns the memory libjxl decoded into and
// lends it out through the buffer protocol, so that numpy wraps it without a
// copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "lib/python.h"

namespace tessara::native {

// The type, made once per module object (heap type).
PyObject* sample_buffer_type(PyObject* module) noexcept;

// A new SampleBuffer that takes over `memory`; nullptr with an exception set
// (`memory` is then freed).
PyObject* new_sample_buffer(PyObject* type, std::unique_ptr<uint8_t[]> memory,
                            size_t bytes) noexcept;

// The memory of a SampleBuffer made by new_sample_buffer.
std::span<uint8_t> sample_buffer_memory(PyObject* buffer) noexcept;

}  // namespace tessara::native
