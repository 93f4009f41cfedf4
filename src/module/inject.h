// Fault injection into CPython constructors (test builds only; see
// codec/fault.h): TESSARA_INJECT_NULL(point, error, expr) is plain `expr`
// unless the point fires, when the object `expr` made is released and NULL
// comes back as if the constructor had failed, with `error` (an exception
// type, or nullptr for none) as the current exception.
#pragma once

#include "codec/fault.h"
#include "lib/python.h"

#ifdef TESSARA_FAULT_INJECTION

namespace tessara::py {

inline PyObject* injected_null(bool fires, PyObject* made, PyObject* error) noexcept {
  if (!fires) return made;
  Py_XDECREF(made);
  if (error == PyExc_MemoryError) {
    PyErr_NoMemory();
  } else if (error != nullptr) {
    PyErr_SetString(error, "injected fault");
  }
  return nullptr;
}

}  // namespace tessara::py

#define TESSARA_INJECT_NULL(point, error, expr) \
  (::tessara::py::injected_null(TESSARA_INJECT(point), (expr), (error)))
#else
#define TESSARA_INJECT_NULL(point, error, expr) (expr)
#endif
