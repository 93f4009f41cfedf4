// Releasing the interpreter lock around codec work, and taking it back
// briefly from inside such a stretch.
#pragma once

#include "lib/python.h"

namespace tessara::py {

// Runs `body` with the interpreter lock released; the lock is taken back on
// every way out. `body` must not touch any Python object.
template <typename Body>
auto without_lock(Body&& body) {
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  } restore{PyEval_SaveThread()};
  return body();
}

// Runs `body` holding the interpreter lock, whether or not this thread had it.
template <typename Body>
auto with_lock(Body&& body) {
  struct Release {
    PyGILState_STATE state;
    ~Release() { PyGILState_Release(state); }
  } release{PyGILState_Ensure()};
  return body();
}

}  // namespace tessara::py
