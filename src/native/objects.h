// What the native types that own a codec state share: the pool a count of
// workers makes, the one-thread-at-a-time claim on an object, the refusal of
// keyword arguments, and the dealloc that destroys the state.
#pragma once

#include <optional>
#include <utility>

#include "codec/runner.h"
#include "lib/heap.h"
#include "lib/python.h"

namespace tessara::native {

// The pool for num_threads: an empty runner for 0 (the calling thread does
// the work); nothing at all for a count no pool can have.
inline std::optional<std::optional<ThreadsRunner>> make_pool(long long num_threads) noexcept {
  if (num_threads == 0) return std::optional<ThreadsRunner>{};
  std::optional<ThreadsRunner> runner = create_runner(num_threads);
  if (!runner) return std::nullopt;
  return std::optional<std::optional<ThreadsRunner>>{std::move(runner)};
}

// An object busy in one thread refuses a second rather than race with it.
inline bool claim(bool& busy) noexcept {
  if (busy) {
    PyErr_SetString(PyExc_RuntimeError, "the object is in use by another thread");
    return false;
  }
  busy = true;
  return true;
}

inline bool no_keywords(PyObject* kwds, const char* what) noexcept {
  if (kwds != nullptr && PyDict_Size(kwds) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", what);
    return false;
  }
  return true;
}

inline PyObject* new_ref(PyObject* object) noexcept {
  Py_INCREF(object);
  return object;
}

// The dealloc of a type whose objects own their codec state through one
// pointer, destroyed (with the interpreter lock held) before the object goes.
template <typename Object>
void state_dealloc(PyObject* self) noexcept {
  delete reinterpret_cast<Object*>(self)->state;
  py::free_heap_instance(self);
}

}  // namespace tessara::native
