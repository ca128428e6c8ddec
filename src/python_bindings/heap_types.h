// Shared pieces of the module's class definitions.
#pragma once

#include <new>
#include <utility>

#include "python_bindings/pyref.h"

namespace palimp::py {

// Builds a class from its slots, once.  Classes derive from object, cannot be
// subclassed, and are immutable.
PyTypeObject* make_type(const char* name, Py_ssize_t basicsize, PyType_Slot* slots);

// Allocates an instance of `type` and constructs its C++ part T in place from
// `args`.  T starts with PyObject_HEAD.
template <class T, class... Args>
PyRef new_instance(PyTypeObject* type, Args&&... args) {
  PyRef obj = checked(type->tp_alloc(type, 0));
  T* self = reinterpret_cast<T*>(obj.get());
  new (&self->value) decltype(self->value)(std::forward<Args>(args)...);
  return obj;
}

// tp_dealloc for instances whose C++ part is the member `value`.
template <class T>
void dealloc_instance(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  using V = decltype(std::declval<T&>().value);
  reinterpret_cast<T*>(o)->value.~V();
  type->tp_free(o);
  Py_DECREF(type);
}

}  // namespace palimp::py
