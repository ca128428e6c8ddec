// The one boundary where C++ failures become Python exceptions.
//
// Below the boundary code throws: PythonError when a Python exception is
// already set, InternalError (and std::out_of_range) for a violated internal
// invariant, std::bad_alloc or std::length_error when memory runs out.  Each
// entry point wraps its body in `guarded`, which returns what the interpreter
// expects and sets the matching exception; nothing half-built escapes.
#pragma once

#include <new>
#include <stdexcept>

#include "check.h"
#include "python_bindings/pyref.h"

namespace palimp::py {

// Raises PanicException(message): an internal invariant failed.
void raise_panic(const char* message);

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PythonError&) {
  } catch (const InternalError& e) {
    raise_panic(e.what());
  } catch (const std::out_of_range& e) {
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a size no allocation can hold
  } catch (const std::exception& e) {
    raise_panic(e.what());
  }
  return nullptr;
}

}  // namespace palimp::py
