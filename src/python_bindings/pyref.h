// Owning handles for Python references and the C++ side of the error state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace palimp::py {

// One strong reference, or none.  A raw PyObject* never owns.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);  // release only after the slot is updated
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }  // the GIL is held for every call
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Thrown when a Python exception is already set.
struct PythonError {};

// Takes over a new reference from a C API call; throws when the call failed.
inline PyRef checked(PyObject* o) {
  if (o == nullptr) throw PythonError{};
  return PyRef::steal(o);
}

// Raises `type` with `message` and throws.
[[noreturn]] void raise(PyObject* type, const char* message);
// The same for a UTF-8 message of any content: a NUL in it is kept, not
// taken for the end of the text.
[[noreturn]] void raise(PyObject* type, std::string_view message);

}  // namespace palimp::py
