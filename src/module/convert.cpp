// Conversions with the exact messages callers see.
#include "module/convert.h"

#include <limits>

#include "module/inject.h"

namespace tessara::py {
namespace {

// collections.abc.Sequence, imported on the first mismatch that names it.
PyObject* sequence_class() {
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    Ref module(PyImport_ImportModule("collections.abc"));
    if (module) cls = PyObject_GetAttrString(module.get(), "Sequence");
  }
  return cls;
}

Outcome<std::string> target_name(const char* target) {
  if (std::string_view(target) != "Sequence") return std::string(target);
  PyObject* cls = sequence_class();
  if (cls == nullptr || !PyType_Check(cls)) {
    PyErr_Clear();
    return Err<Error>{TESSARA_FAULT("could not import collections.abc.Sequence")};
  }
  return qualified_name(reinterpret_cast<PyTypeObject*>(cls));
}

Outcome<uint64_t> in_range(PyObject* object, uint64_t max) {
  Outcome<int64_t> value = to_int64(object);
  if (!value) return Err<Error>{std::move(value.error())};
  if (value.value() < 0) return pending(ExcType::OverflowError, "number too small to fit in target type");
  if (static_cast<uint64_t>(value.value()) > max) {
    return pending(ExcType::OverflowError, "number too large to fit in target type");
  }
  return static_cast<uint64_t>(value.value());
}

bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  Ref name(PyType_GetName(type));
  bool numpy = module && name && PyUnicode_Check(module.get()) &&
               PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
               (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  PyErr_Clear();
  return numpy;
}

std::span<const uint8_t> bytes_like_contents(PyObject* object) {
  if (PyBytes_Check(object)) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AsString(object)),
            static_cast<size_t>(PyBytes_Size(object))};
  }
  return {reinterpret_cast<const uint8_t*>(PyByteArray_AsString(object)),
          static_cast<size_t>(PyByteArray_Size(object))};
}

}  // namespace

std::string qualified_name(PyTypeObject* type) {
  Ref name(PyType_GetQualName(type));
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8;
}

Err<Error> type_mismatch(PyObject* object, const char* target) {
  Outcome<std::string> wanted = target_name(target);
  if (!wanted) return Err<Error>{std::move(wanted.error())};
  if (object == Py_None) {
    return pending(ExcType::TypeError, "'None' is not an instance of '" + wanted.value() + "'");
  }
  return pending(ExcType::TypeError, "'" + qualified_name(Py_TYPE(object)) +
                                         "' object is not an instance of '" + wanted.value() +
                                         "'");
}

Outcome<int64_t> to_int64(PyObject* object) {
  long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return python_error();
  return static_cast<int64_t>(value);
}

Outcome<uint32_t> to_uint32(PyObject* object) {
  Outcome<uint64_t> value = in_range(object, std::numeric_limits<uint32_t>::max());
  if (!value) return Err<Error>{std::move(value.error())};
  return static_cast<uint32_t>(value.value());
}

Outcome<uint8_t> to_uint8(PyObject* object) {
  Outcome<uint64_t> value = in_range(object, std::numeric_limits<uint8_t>::max());
  if (!value) return Err<Error>{std::move(value.error())};
  return static_cast<uint8_t>(value.value());
}

Outcome<float> to_float32(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return python_error();
  return static_cast<float>(value);
}

Outcome<bool> to_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (!is_numpy_bool(object)) return type_mismatch(object, "bool");
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(object), Py_nb_bool));
  if (nb_bool == nullptr) {
    Ref type_text(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(object))));
    const char* shown = type_text ? PyUnicode_AsUTF8AndSize(type_text.get(), nullptr) : nullptr;
    if (shown == nullptr) return python_error();
    return pending(ExcType::TypeError, std::string("object of type '") + shown +
                                           "' does not define a '__bool__' conversion");
  }
  int truth = nb_bool(object);
  if (truth < 0) return python_error();
  return truth != 0;
}

Outcome<std::string_view> to_text_view(PyObject* object) {
  if (!PyUnicode_Check(object)) return type_mismatch(object, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return python_error();
  return std::string_view(utf8, static_cast<size_t>(size));
}

Outcome<std::string> to_owned_text(PyObject* object) {
  Outcome<std::string_view> view = to_text_view(object);
  if (!view) return Err<Error>{std::move(view.error())};
  return std::string(view.value());
}

Outcome<std::span<const uint8_t>> to_bytes_view(PyObject* object) {
  if (!PyBytes_Check(object)) return type_mismatch(object, "bytes");
  return bytes_like_contents(object);
}

Outcome<std::vector<uint8_t>> to_byte_vector(PyObject* object) {
  if (PyUnicode_Check(object)) return pending(ExcType::TypeError, "Can't extract `str` to `Vec`");
  if (PyBytes_Check(object) || PyByteArray_Check(object)) {
    std::span<const uint8_t> contents = bytes_like_contents(object);
    return std::vector<uint8_t>(contents.begin(), contents.end());
  }
  if (!PySequence_Check(object)) return type_mismatch(object, "Sequence");
  std::vector<uint8_t> out;
  Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<size_t>(hint));
  }
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return python_error();
  while (Ref item{PyIter_Next(iterator.get())}) {
    Outcome<uint8_t> value = to_uint8(item.get());
    if (!value) return Err<Error>{std::move(value.error())};
    out.push_back(value.value());
  }
  if (PyErr_Occurred()) return python_error();
  return out;
}

Outcome<std::array<uint8_t, 4>> to_byte_array4(PyObject* object) {
  auto wrong_length = [](size_t length) {
    return pending(ExcType::ValueError,
                   "expected a sequence of length 4 (got " + std::to_string(length) + ")");
  };
  std::array<uint8_t, 4> out{};
  if (PyBytes_Check(object) || PyByteArray_Check(object)) {
    std::span<const uint8_t> contents = bytes_like_contents(object);
    if (contents.size() != 4) return wrong_length(contents.size());
    std::copy(contents.begin(), contents.end(), out.begin());
    return out;
  }
  if (!PySequence_Check(object)) return type_mismatch(object, "Sequence");
  Py_ssize_t length = PyObject_Size(object);
  if (length < 0) return python_error();
  if (length != 4) return wrong_length(static_cast<size_t>(length));
  for (size_t i = 0; i < 4; ++i) {
    Ref index(PyLong_FromSize_t(i));
    if (!index) return python_error();
    Ref item(PyObject_GetItem(object, index.get()));
    if (!item) return python_error();
    Outcome<uint8_t> value = to_uint8(item.get());
    if (!value) return Err<Error>{std::move(value.error())};
    out[i] = value.value();
  }
  return out;
}

Outcome<Ref> from_bool(bool value) { return Ref(PyBool_FromLong(value)); }

Outcome<Ref> from_uint32(uint32_t value) {
  Ref object(PyLong_FromLong(static_cast<long>(value)));
  if (!object) return TESSARA_NULL_OBJECT();
  return object;
}

Outcome<Ref> from_bytes(std::span<const uint8_t> bytes) {
  Ref object(TESSARA_INJECT_NULL(
      CopiedBytesError, PyExc_ValueError,
      TESSARA_INJECT_NULL(CopiedBytesMemory, PyExc_MemoryError,
                          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<Py_ssize_t>(bytes.size())))));
  if (!object) return TESSARA_NULL_OBJECT();
  return object;
}

Outcome<Ref> from_text(std::string_view text) {
  Ref object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!object) return TESSARA_NULL_OBJECT();
  return object;
}

}  // namespace tessara::py
