#include "python_bindings/heap_types.h"

namespace palimp::py {
namespace {

// Class methods are kept in the class's dict already bound to the class,
// as the very object that reading them would otherwise build on every
// access (a classmethod descriptor binds anew each time).  The interpreter
// caches a lookup that finds a plain object in a class's dict, so a call
// such as PalimpText.from_texts(...) costs no binding and no allocation;
// a fifth of the cost of the smallest compression was this binding.
void bind_class_methods(PyTypeObject* type, PyType_Slot* slots) {
  for (PyType_Slot* s = slots; s->slot != 0; ++s) {
    if (s->slot != Py_tp_methods) continue;
    PyRef dict = checked(PyType_GetDict(type));
    for (PyMethodDef* def = static_cast<PyMethodDef*>(s->pfunc); def->ml_name != nullptr; ++def) {
      if ((def->ml_flags & METH_CLASS) == 0) continue;
      PyRef bound = checked(PyCMethod_New(def, reinterpret_cast<PyObject*>(type), nullptr, nullptr));
      if (PyDict_SetItemString(dict.get(), def->ml_name, bound.get()) < 0) throw PythonError{};
    }
    PyType_Modified(type);
  }
}

}  // namespace

PyTypeObject* make_type(const char* name, Py_ssize_t basicsize, PyType_Slot* slots, Py_ssize_t itemsize) {
  PyType_Spec definition{
      .name = name,
      .basicsize = static_cast<int>(basicsize),
      .itemsize = static_cast<int>(itemsize),
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  PyRef type = checked(PyType_FromSpec(&definition));
  bind_class_methods(reinterpret_cast<PyTypeObject*>(type.get()), slots);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace palimp::py
