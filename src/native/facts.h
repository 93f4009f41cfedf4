// The file facts of codec/facts.h for tessara_pillow: one dict per read,
// which tessara_pillow.facts names and types.
#pragma once

#include <string>

#include "codec/facts.h"
#include "lib/python.h"

namespace tessara::native {

// facts(data, all_frames, max_frames, max_layers) -> dict, or None where
// the data ends before the facts do; ValueError where none can be read (the
// dict's "stopped" says where a read that gave facts ended early).
PyObject* facts(PyObject* module, PyObject* args) noexcept;

// The facts as that dict; nullptr with an exception.
PyObject* facts_dict(const FileFacts& facts) noexcept;

// A frame name as str (invalid UTF-8 replaced); nullptr with an exception.
PyObject* frame_name(const std::string& name) noexcept;

}  // namespace tessara::native
