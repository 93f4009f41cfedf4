// The tessara module: its definition, the execution step that fills each new
// module object, and the only exported symbol.
#include <string>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "lib/python.h"
#include "module/classes.h"
#include "module/convert.h"

namespace tessara::py {
namespace {

Outcome<PyObject*> jxl_exception_class() {
  static PyObject* cls = nullptr;  // created once, kept for the process
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc("my_module.JxlException", "Jxl Error", PyExc_RuntimeError,
                                    nullptr);
    if (cls == nullptr) {
      Ref cause(PyErr_GetRaisedException());
      Ref shown(cause ? PyObject_Str(cause.get()) : nullptr);
      const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), nullptr) : nullptr;
      PyErr_Clear();
      return Err<Error>{TESSARA_FAULT(std::string("Failed to initialize new exception type.") +
                                      (text ? std::string(" ") + text : ""))};
    }
  }
  return cls;
}

Outcome<Ref> module_all(PyObject* module) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return python_error();
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all) return python_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return python_error();
  }
  if (!PyList_Check(all.get())) return type_mismatch(all.get(), "list");
  return all;
}

Done add_to_module(PyObject* module, const char* name, PyObject* value) {
  Outcome<Ref> all = module_all(module);
  if (!all) return Err<Error>{std::move(all.error())};
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.value().get(), text.get()) < 0) {
    PyErr_Clear();
    return Err<Error>{TESSARA_FAULT("could not append __name__ to __all__")};
  }
  if (PyObject_SetAttrString(module, name, value) < 0) return python_error();
  return {};
}

Done add_class(PyObject* module, ClassSpec& spec) {
  Outcome<PyTypeObject*> type = class_type(spec);
  if (!type) return Err<Error>{std::move(type.error())};
  return add_to_module(module, spec.name, reinterpret_cast<PyObject*>(type.value()));
}

int exec_module(PyObject* module) noexcept {
  return status_entry([&]() -> Done {
    if (!PyModule_Check(module)) return type_mismatch(module, "module");
    if (Done done = add_class(module, decoder_class()); !done) return done;
    if (Done done = add_class(module, encoder_class()); !done) return done;
    Outcome<PyObject*> exception = jxl_exception_class();
    if (!exception) return Err<Error>{std::move(exception.error())};
    return add_to_module(module, "JxlException", exception.value());
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessara",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessara::py

PyMODINIT_FUNC PyInit_tessara() { return PyModuleDef_Init(&tessara::py::module_def); }
