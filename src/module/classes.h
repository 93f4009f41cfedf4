// Describing the module's classes, creating their type objects once per
// process, and the instance layout every class shares.
#pragma once

#include <new>
#include <span>
#include <utility>

#include "lib/heap.h"
#include "lib/python.h"
#include "module/call.h"
#include "module/errors.h"

namespace tessara::py {

// A Python instance: the object header, the class's payload, the hold counter.
template <typename Payload>
struct Instance {
  PyObject header;
  Payload payload;
  HoldCounter holds;
};

template <typename Payload>
Instance<Payload>* instance_cast(PyObject* object) noexcept {
  return reinterpret_cast<Instance<Payload>*>(object);
}

struct PropertySpec {
  const char* name;
  getter get;
  setter set;
};

struct ClassSpec {
  const char* name;
  const char* full_name;  // "tessara." and the name
  const char* doc;   // nullptr: the class has no doc string
  newfunc tp_new;
  ternaryfunc tp_call;
  reprfunc tp_repr;
  destructor tp_dealloc;
  std::span<const PropertySpec> properties;
  int basic_size;
  PyTypeObject* cached = nullptr;  // created once, never freed
};

// The type object of `spec`, created on first use. A failure is wrapped in
// RuntimeError("An error occurred while initializing class NAME").
Outcome<PyTypeObject*> class_type(ClassSpec& spec);

// The same, for classes needed while building a result: the failure is
// reported as unraisable and becomes an internal fault.
Outcome<PyTypeObject*> class_type_for_result(ClassSpec& spec);

// A new instance of `type` owning `payload`.
template <typename Payload>
Outcome<Ref> make_instance(PyTypeObject* type, Payload&& payload) {
  Ref empty(PyTuple_New(0));
  if (!empty) return python_error();
  auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  Ref object(object_new(type, empty.get(), nullptr));
  if (!object) return python_error();
  auto* self = instance_cast<std::remove_cvref_t<Payload>>(object.get());
  new (&self->payload) std::remove_cvref_t<Payload>(std::forward<Payload>(payload));
  new (&self->holds) HoldCounter(0);
  return object;
}

template <typename Payload>
void instance_dealloc(PyObject* object) noexcept {
  auto* self = instance_cast<Payload>(object);
  self->payload.~Payload();
  self->holds.~HoldCounter();
  free_heap_instance(object);
}

// Property plumbing: read under a shared hold, convert then write under an
// exclusive hold; deleting is refused.
template <typename Payload, auto Read>
PyObject* property_get(PyObject* object, void*) noexcept {
  return object_entry([&]() -> Outcome<Ref> {
    auto* self = instance_cast<Payload>(object);
    Outcome<SharedHold> hold = SharedHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    return Read(self->payload);
  });
}

template <typename Payload, auto Convert, auto Field>
int property_set(PyObject* object, PyObject* value, void* closure) noexcept {
  const char* name = static_cast<const char*>(closure);
  return status_entry([&]() -> Done {
    if (value == nullptr) return pending(ExcType::AttributeError, "property has no deleter");
    auto converted = Convert(value);
    if (!converted) return Err<Error>{argument_error(name, std::move(converted.error()))};
    auto* self = instance_cast<Payload>(object);
    Outcome<ExclusiveHold> hold = ExclusiveHold::take(self->holds);
    if (!hold) return Err<Error>{std::move(hold.error())};
    self->payload.*Field = std::move(converted.value());
    return {};
  });
}

}  // namespace tessara::py
