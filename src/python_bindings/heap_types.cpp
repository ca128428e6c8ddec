#include "python_bindings/heap_types.h"

namespace palimp::py {

PyTypeObject* make_type(const char* name, Py_ssize_t basicsize, PyType_Slot* slots) {
  PyType_Spec definition{
      .name = name,
      .basicsize = static_cast<int>(basicsize),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&definition)).release());
}

}  // namespace palimp::py
