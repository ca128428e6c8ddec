// The module entry point: creates the module once and registers its six
// classes, in order, with `__all__` listing them.
#include "python_bindings/classes.h"
#include "python_bindings/errors.h"
#include "python_bindings/values.h"

namespace palimp::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "palimp",  // m_name
    "",        // m_doc
    0,         // m_size: 0, not -1, so another interpreter calls PyInit_palimp
               // again (and is refused) instead of copying this one's module
    nullptr,   // m_methods: the module defines no functions
};

// The module object, made once and kept for the process.  Only the main
// interpreter may own it: the classes are shared by the whole process, and a
// sub-interpreter, which may be refused by its own import machinery after
// this entry returns or be destroyed later, must never lock the main
// interpreter out.
PyObject* g_module = nullptr;

PyRef create_module() {
  PyRef module = checked(PyModule_Create(&module_def));
  struct Entry {
    const char* name;
    PyTypeObject* (*type)();
  };
  const Entry entries[] = {
      {"PalimpText", palimp_text_type},
      {"PalimpTokens", palimp_tokens_type},
      {"PyLiteralSegment", literal_segment_type},
      {"PyReferenceSegment", reference_segment_type},
      {"PyLiteralTokens", literal_tokens_type},
      {"PyReferenceTokens", reference_tokens_type},
  };
  PyRef all = checked(PyList_New(0));
  for (const Entry& e : entries) {
    PyTypeObject* type = e.type();
    PyRef name = checked(PyUnicode_FromString(e.name));
    if (PyList_Append(all.get(), name.get()) < 0) throw PythonError{};
    if (PyModule_AddObjectRef(module.get(), e.name, reinterpret_cast<PyObject*>(type)) < 0) throw PythonError{};
  }
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw PythonError{};
  return module;
}

}  // namespace

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace palimp::py

PyMODINIT_FUNC PyInit_palimp() {
  using namespace palimp::py;
  return guarded([] {
    // Refused before anything is made, so a refused import leaves nothing
    // behind.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      raise(PyExc_ImportError, "palimp can be imported in one interpreter per process only");
    }
    if (g_module != nullptr) return PyRef::borrow(g_module);
    PyRef module = create_module();
    g_module = PyRef::borrow(module.get()).release();  // kept for the process
    return module;
  });
}
