// Shared pieces of the module's class definitions.
#pragma once

#include <new>
#include <utility>

#include "python_bindings/pyref.h"

namespace palimp::py {

// Builds a class from its slots, once.  Classes derive from object, cannot be
// subclassed, and are immutable.  Its class methods (METH_CLASS entries of
// Py_tp_methods) are stored already bound to the class.  Instances of a class with an itemsize carry
// that many bytes per item after `basicsize` (ob_size counts the items).
PyTypeObject* make_type(const char* name, Py_ssize_t basicsize, PyType_Slot* slots, Py_ssize_t itemsize = 0);

// Allocates an instance of `type` (a class without garbage collection) and
// constructs its C++ part, the member `value` of T, in place from `args`.
// T starts with PyObject_HEAD.  When the construction throws, the instance
// is released without its C++ part and the exception goes on.
template <class T, class... Args>
PyRef new_instance(PyTypeObject* type, Args&&... args) {
  void* memory = PyObject_Malloc(sizeof(T));
  if (memory == nullptr) throw std::bad_alloc();
  PyObject* raw = PyObject_Init(static_cast<PyObject*>(memory), type);  // takes a reference to type
  T* self = reinterpret_cast<T*>(raw);
  try {
    new (&self->value) decltype(self->value)(std::forward<Args>(args)...);
  } catch (...) {
    PyObject_Free(raw);
    Py_DECREF(type);
    throw;
  }
  return PyRef::steal(raw);
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
