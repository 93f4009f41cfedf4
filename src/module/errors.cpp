// Raising pending exceptions, Python errors and internal faults.
#include "module/errors.h"

#include <cstdio>

#include "lib/lock.h"
#include "module/convert.h"

namespace tessara::py {
namespace {

PyObject* builtin_type(ExcType type) noexcept {
  switch (type) {
    case ExcType::ValueError: return PyExc_ValueError;
    case ExcType::RuntimeError: return PyExc_RuntimeError;
    case ExcType::NotImplementedError: return PyExc_NotImplementedError;
    case ExcType::TypeError: return PyExc_TypeError;
    case ExcType::OverflowError: return PyExc_OverflowError;
    case ExcType::MemoryError: return PyExc_MemoryError;
    case ExcType::AttributeError: return PyExc_AttributeError;
  }
  return PyExc_RuntimeError;
}

void raise_fault_text(const char* text, size_t size, const char* file, int line) noexcept {
  std::fprintf(stderr, "tessara: internal fault at %s:%d: %.*s\n", file, line,
               static_cast<int>(size), text);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation failure is the current exception
  Ref value(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size)));
  if (!value) return;
  PyErr_SetObject(type, value.get());
}

void raise_fault(const Fault& fault) noexcept {
  raise_fault_text(fault.text.data(), fault.text.size(), fault.file, fault.line);
}

void raise_pending(const PendingException& error) noexcept {
  if (error.type == ExcType::MemoryError && error.message.empty()) {
    PyErr_NoMemory();
    return;
  }
  Ref text(PyUnicode_FromStringAndSize(error.message.data(),
                                       static_cast<Py_ssize_t>(error.message.size())));
  if (!text) return;
  PyErr_SetObject(builtin_type(error.type), text.get());
}

}  // namespace

Err<Error> python_error() noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    exc = PyErr_GetRaisedException();
  }
  return Err<Error>{PythonError{Ref(exc)}};
}

Err<Error> null_object_fault(const char* file, int line) noexcept {
  // Running out of memory is an ordinary, recoverable MemoryError.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return python_error();
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  return Err<Error>{Fault{"PyObject pointer is null", file, line}};
}

Error from_decode_error(const DecodeError& error) {
  if (error.kind == DecodeError::Kind::OutOfMemory) {
    return PendingException{ExcType::MemoryError, {}};
  }
  return PendingException{ExcType::RuntimeError, error_text(error)};
}

Error from_encode_error(EncodeError error) {
  switch (error) {
    case EncodeError::AllocationFailed: return PendingException{ExcType::MemoryError, {}};
    case EncodeError::Unreachable: return TESSARA_FAULT(error_text(error));
    default: return PendingException{ExcType::RuntimeError, error_text(error)};
  }
}

void raise(Error&& error) noexcept {
  if (auto* p = std::get_if<PendingException>(&error)) {
    raise_pending(*p);
  } else if (auto* e = std::get_if<PythonError>(&error)) {
    PyErr_SetRaisedException(e->exception.release());
  } else {
    raise_fault(std::get<Fault>(error));
  }
}

void raise_unexpected_failure(const char* file, int line) noexcept {
  static constexpr char kText[] = "tessara's native code failed in an unexpected way";
  raise_fault_text(kText, sizeof kText - 1, file, line);
}

std::string render(const PendingException& error) {
  return with_lock([&]() -> std::string {
    PyObject* type = builtin_type(error.type);
    std::string name = qualified_name(reinterpret_cast<PyTypeObject*>(type));
    Ref text(PyUnicode_FromStringAndSize(error.message.data(),
                                         static_cast<Py_ssize_t>(error.message.size())));
    PyObject* args[] = {text.get()};
    Ref exc(text ? PyObject_Vectorcall(type, args, 1, nullptr) : nullptr);
    Ref shown(exc ? PyObject_Str(exc.get()) : nullptr);
    const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), nullptr) : nullptr;
    PyErr_Clear();
    if (utf8 == nullptr) return name + ": <exception str() failed>";
    return name + ": " + utf8;
  });
}

PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;  // created once, kept for the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tessara.PanicException",
        "Raised when tessara's native code hits an internal fault.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception, so\n"
        "that it is not swallowed by `except Exception` and typically propagates\n"
        "to the top and ends the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace tessara::py
