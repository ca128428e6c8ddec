#include "python_bindings/errors.h"

namespace palimp::py {
namespace {

// Created once per process on first need and kept for the process's life.
// It derives from BaseException so that, like SystemExit, it passes through
// handlers written for ordinary errors.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "palimp.PanicException",
        "An internal invariant of palimp failed; the argument says which.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void raise(PyObject* type, std::string_view message) {
  PyRef text = checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), nullptr));
  PyErr_SetObject(type, text.get());
  throw PythonError{};
}

void raise_panic(const char* message) {
  PyObject* type = panic_type();
  if (type == nullptr) return;  // the creation's own error stays set
  PyErr_SetString(type, message);
}

}  // namespace palimp::py
