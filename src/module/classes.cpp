// Creating the type objects of the module's classes from their ClassSpec.
#include "module/classes.h"

#include <string>
#include <vector>

namespace tessara::py {
namespace {

// The interpreter keeps pointers into the getset table for the type's
// lifetime, and type objects live for the process, so the table does too.
PyGetSetDef* getset_table(std::span<const PropertySpec> properties) {
  auto* table = new PyGetSetDef[properties.size() + 1]();
  for (size_t i = 0; i < properties.size(); ++i) {
    const PropertySpec& p = properties[i];
    table[i] = PyGetSetDef{p.name, p.get, p.set, nullptr, const_cast<char*>(p.name)};
  }
  return table;
}

PyTypeObject* create_type(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots;
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  if (spec.tp_new != nullptr) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new)});
  if (spec.tp_call != nullptr) {
    slots.push_back({Py_tp_call, reinterpret_cast<void*>(spec.tp_call)});
  }
  if (spec.tp_repr != nullptr) {
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.tp_repr)});
  }
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.tp_dealloc)});
  if (!spec.properties.empty()) {
    slots.push_back({Py_tp_getset, getset_table(spec.properties)});
  }
  slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (spec.tp_new == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{spec.full_name, spec.basic_size, 0, flags, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace

Outcome<PyTypeObject*> class_type(ClassSpec& spec) {
  if (spec.cached != nullptr) return spec.cached;
  PyTypeObject* type = create_type(spec);
  if (type != nullptr) {
    spec.cached = type;
    return type;
  }
  Ref cause(PyErr_GetRaisedException());
  std::string message = std::string("An error occurred while initializing class ") + spec.name;
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  if (cause) {
    Ref wrapped(PyErr_GetRaisedException());
    PyException_SetCause(wrapped.get(), cause.release());
    PyErr_SetRaisedException(wrapped.release());
  }
  return python_error();
}

Outcome<PyTypeObject*> class_type_for_result(ClassSpec& spec) {
  Outcome<PyTypeObject*> type = class_type(spec);
  if (type) return type;
  raise(std::move(type.error()));
  PyErr_WriteUnraisable(nullptr);
  return Err<Error>{TESSARA_FAULT(std::string("failed to create type object for `") + spec.name + "`")};
}

}  // namespace tessara::py
