// Argument matching with the interpreter's own wording, argument notes and
// instance holds.
#include "module/call.h"

#include <string>
#include <string_view>
#include <vector>

namespace tessara::py {
namespace {

std::string full_name(const SignatureSpec& spec) {
  return std::string(spec.class_name) + "." + spec.method_name + "()";
}

Err<Error> type_error(std::string message) {
  return pending(ExcType::TypeError, std::move(message));
}

Err<Error> too_many_positional(const SignatureSpec& spec, size_t given) {
  const size_t k = spec.parameters.size();
  std::string takes = spec.required == k ? std::to_string(k)
                                          : "from " + std::to_string(spec.required) + " to " +
                                                std::to_string(k);
  return type_error(full_name(spec) + " takes " + takes + " positional arguments but " +
                    std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

Err<Error> missing_required(const SignatureSpec& spec, const ArgumentSlots& slots) {
  std::vector<std::string_view> names;
  for (size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == nullptr) names.emplace_back(spec.parameters[i]);
  }
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) list += "and ";
    list += "'" + std::string(names[i]) + "'";
  }
  return type_error(full_name(spec) + " missing " + std::to_string(names.size()) +
                    " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                    ": " + list);
}

// Index of the parameter named exactly `key`, or -1. A key that is not a str
// or cannot be encoded matches nothing.
Py_ssize_t parameter_index(const SignatureSpec& spec, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return -1;
  }
  std::string_view name(utf8, static_cast<size_t>(size));
  for (size_t i = 0; i < spec.parameters.size(); ++i) {
    if (name == spec.parameters[i]) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

Err<Error> unexpected_keyword(const SignatureSpec& spec, PyObject* key) {
  // Formatted by the interpreter so that a key which is not valid UTF-8
  // (lone surrogates) is still shown as str() shows it.
  Ref shown(PyObject_Str(key));
  if (!shown) return python_error();
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               full_name(spec).c_str(), shown.get());
  return python_error();
}

}  // namespace

Outcome<ArgumentSlots> parse_arguments(const SignatureSpec& spec, PyObject* args,
                                       PyObject* kwargs) {
  ArgumentSlots slots{};
  const size_t k = spec.parameters.size();
  const size_t n = static_cast<size_t>(PyTuple_Size(args));
  for (size_t i = 0; i < n && i < k; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (n > k) return too_many_positional(spec, n);
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t index = parameter_index(spec, key);
      if (index < 0) return unexpected_keyword(spec, key);
      if (slots[static_cast<size_t>(index)] != nullptr) {
        return type_error(full_name(spec) + " got multiple values for argument '" +
                          spec.parameters[static_cast<size_t>(index)] + "'");
      }
      slots[static_cast<size_t>(index)] = value;
    }
  }
  for (size_t i = n; i < spec.required; ++i) {
    if (slots[i] == nullptr) return missing_required(spec, slots);
  }
  return slots;
}

Error argument_error(const char* name, Error error) {
  // Only exceptions that exist as objects can carry a note; make one first.
  raise(std::move(error));
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return python_error().error;
  std::string note = std::string("while processing '") + name + "'";
  Ref text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (text) {
    PyObject* call_args[] = {exc, text.get()};
    Ref method(PyUnicode_FromString("add_note"));
    Ref result(method ? PyObject_VectorcallMethod(method.get(), call_args,
                                                  2, nullptr)
                      : nullptr);
  }
  PyErr_Clear();  // a failing add_note is dropped; the original error stays
  return PythonError{Ref(exc)};
}

Outcome<SharedHold> SharedHold::take(HoldCounter& counter) {
  intptr_t current = counter.load(std::memory_order_relaxed);
  do {
    if (current == -1) return pending(ExcType::RuntimeError, "Already mutably borrowed");
  } while (!counter.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
  return SharedHold(&counter);
}

Outcome<ExclusiveHold> ExclusiveHold::take(HoldCounter& counter) {
  intptr_t expected = 0;
  if (!counter.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
    return pending(ExcType::RuntimeError, "Already borrowed");
  }
  return ExclusiveHold(&counter);
}

}  // namespace tessara::py
