// The end of every heap type's dealloc, in both modules: the object's memory
// goes back to its type's allocator, then the reference each instance holds
// on its heap type is dropped (the type may go with it, so it is read first).
#pragma once

#include "lib/python.h"

namespace tessara::py {

inline void free_heap_instance(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
  Py_DECREF(type);
}

}  // namespace tessara::py
