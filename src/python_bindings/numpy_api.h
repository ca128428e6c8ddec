// Everything that touches NumPy lives behind this header.
//
// The array API is taken lazily, on the first call that needs it, from the
// capsule "_ARRAY_API" of numpy.core.multiarray; the module itself imports
// without NumPy.  Built against NumPy 2 headers with the oldest supported API
// as target, so the same binary runs on NumPy 1.26 and 2.x.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "check.h"
#include "symbol_span.h"
#include "token_store.h"
#include "python_bindings/pyref.h"

namespace palimp::py::numpy {

// Loads the array API if needed.  A failure raises PanicException "Failed to
// access NumPy array API capsule: ..." and is tried again on the next call.
void ensure_numpy();

// True when `o` is exactly a NumPy ndarray (not a subclass).  Never loads
// NumPy: an ndarray can only exist once NumPy is imported.
bool is_exact_ndarray(PyObject* o);

// When `o` is a one-dimensional uint32 array in native byte order: its
// elements, or nullopt when it is not contiguous.  Returns false (and leaves
// `out` alone) when `o` is not such an array.  Requires ensure_numpy().
bool read_u32_array(PyObject* o, std::optional<std::span<const u32>>& out);

// Adds the elements of `o` to `store` as one sequence when `o` is an exact
// one-dimensional ndarray of an integer dtype whose every element lies in
// 0 .. 2^32 - 1, and returns true; otherwise adds nothing and returns false
// (the caller then converts element by element, which raises the right
// error).  Reads the array in place, whatever its strides and byte order.
bool add_int_array(PyObject* o, TokenStore& store);

// A new one-dimensional uint32 array holding a copy of `values`, widened.
PyRef copy_to_array(const SymbolSpan& values);

// A new one-dimensional, writeable uint32 array of n elements over storage of
// its own, which an owner object (the array's base) releases with the array.
// `data` receives the storage, which the caller fills before anything else
// sees the array.
PyRef new_owned_array(u64 n, u32*& data);

}  // namespace palimp::py::numpy
