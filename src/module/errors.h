// How failures travel through the bindings (PendingException, faults, Python
// errors taken from the interpreter) and how they are raised at the boundary.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "codec/errors.h"
#include "codec/result.h"
#include "lib/python.h"
#include "lib/ref.h"

namespace tessara::py {

enum class ExcType : uint8_t {
  ValueError,
  RuntimeError,
  NotImplementedError,
  TypeError,
  OverflowError,
  MemoryError,
  AttributeError,
};

// An exception not yet made: no Python object inside, so codec work can build
// one while the interpreter lock is released.
struct PendingException {
  ExcType type = ExcType::RuntimeError;
  std::string message;
};

// A state the code treats as impossible; raised as PanicException.
struct Fault {
  std::string text;
  const char* file = "";
  int line = 0;
};

#define TESSARA_FAULT(text) ::tessara::py::Fault{(text), __FILE__, __LINE__}

// An exception object taken from the interpreter, restored whole when raised.
struct PythonError {
  Ref exception;
};

using Error = std::variant<PendingException, PythonError, Fault>;

template <typename T>
using Outcome = Result<T, Error>;
using Done = Status<Error>;

inline Err<Error> pending(ExcType type, std::string message) {
  return Err<Error>{PendingException{type, std::move(message)}};
}

// Takes the interpreter's current exception. An API that reported failure
// without setting one gives SystemError instead.
Err<Error> python_error() noexcept;

// An object constructor returned null: report its exception as unraisable
// and fault, because the module cannot go on building its result.
Err<Error> null_object_fault(const char* file, int line) noexcept;
#define TESSARA_NULL_OBJECT() ::tessara::py::null_object_fault(__FILE__, __LINE__)

Error from_decode_error(const DecodeError& error);
Error from_encode_error(EncodeError error);

// Makes `error` the interpreter's current exception.
void raise(Error&& error) noexcept;

// The last resort of an entry when something unforeseen was thrown: raises
// PanicException with a fixed text, allocating nothing on the C++ heap.
void raise_unexpected_failure(const char* file, int line) noexcept;

// "TypeName: message" of a pending exception, with the lock taken briefly.
std::string render(const PendingException& error);

// The class through which internal faults reach Python (created on first use).
PyObject* panic_exception_type() noexcept;

}  // namespace tessara::py
