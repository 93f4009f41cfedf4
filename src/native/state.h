// The native module's per-module state: its heap types, which objects made
// by one type (a frame decoder's sample buffers) reach through it.
#pragma once

#include "lib/python.h"

namespace tessara::native {

struct ModuleState {
  PyObject* sample_buffer_type;
  PyObject* frame_decoder_type;
  PyObject* animation_encoder_type;
  PyObject* progressive_decoder_type;
};

inline ModuleState* state_of(PyObject* module) noexcept {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace tessara::native
