// SampleBuffer over the stable ABI: a heap type with the buffer slots.
#include "native/sample_buffer.h"

#include <climits>

#include "lib/heap.h"

namespace tessara::native {
namespace {

struct SampleBuffer {
  PyObject_HEAD
  uint8_t* memory;
  Py_ssize_t bytes;
};

SampleBuffer* as_buffer(PyObject* self) noexcept { return reinterpret_cast<SampleBuffer*>(self); }

// Writable, so that the array numpy makes over it is writable too.
int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  SampleBuffer* b = as_buffer(self);
  return PyBuffer_FillInfo(view, self, b->memory, b->bytes, 0, flags);
}

void dealloc(PyObject* self) noexcept {
  delete[] as_buffer(self)->memory;
  py::free_heap_instance(self);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Decoded samples that numpy arrays view; made by decode().")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tessara_pillow._native.SampleBuffer",
    sizeof(SampleBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyObject* sample_buffer_type(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

PyObject* new_sample_buffer(PyObject* type, std::unique_ptr<uint8_t[]> memory,
                            size_t bytes) noexcept {
  if (bytes > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  as_buffer(self)->memory = memory.release();
  as_buffer(self)->bytes = static_cast<Py_ssize_t>(bytes);
  return self;
}

std::span<uint8_t> sample_buffer_memory(PyObject* buffer) noexcept {
  return {as_buffer(buffer)->memory, static_cast<size_t>(as_buffer(buffer)->bytes)};
}

}  // namespace tessara::native
