// The only translation unit that defines the NumPy API table.
#define PY_ARRAY_UNIQUE_SYMBOL palimp_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include "python_bindings/numpy_api.h"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "python_bindings/errors.h"

namespace palimp::py::numpy {
namespace {

bool loaded = false;

// Fills the API table from the capsule; on failure leaves a Python error set.
bool load_api_table() {
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
  if (!module) return false;
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
    return false;
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return false;
  PyArray_API = table;
  if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
    PyErr_Format(PyExc_RuntimeError, "built for NumPy ABI 0x%x, running on 0x%x", static_cast<int>(NPY_VERSION),
                 static_cast<int>(PyArray_GetNDArrayCVersion()));
    PyArray_API = nullptr;
    return false;
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION) {
    PyErr_Format(PyExc_RuntimeError, "NumPy C-API version 0x%x is older than the 0x%x this module needs",
                 PyArray_RUNTIME_VERSION, static_cast<int>(NPY_FEATURE_VERSION));
    PyArray_API = nullptr;
    return false;
  }
  return true;
}

template <class T>
T read_element(const char* p, bool swapped) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  if (swapped) {
    if constexpr (sizeof(T) == 2) v = static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(v)));
    if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(v)));
    if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(v)));
  }
  return v;
}

// The bitwise OR of n elements of type T, each widened to 64 bits (negative
// ones sign-extended, so they set the high bits).  The OR is below 2^32
// exactly when every element lies in 0 .. 2^32 - 1, and picks the same
// storage width as the largest element would.  Written to vectorise.
template <class T>
u64 or_of(const char* base, npy_intp n, npy_intp stride, bool swapped) {
  u64 acc = 0;
  if (stride == static_cast<npy_intp>(sizeof(T)) && !swapped) {
    const T* p = reinterpret_cast<const T*>(base);  // aligned: checked by the caller
    for (npy_intp i = 0; i < n; ++i) acc |= static_cast<u64>(static_cast<std::int64_t>(p[i]));
  } else {
    for (npy_intp i = 0; i < n; ++i) acc |= static_cast<u64>(static_cast<std::int64_t>(read_element<T>(base + i * stride, swapped)));
  }
  return acc;
}

// Copies n elements into D-wide storage and returns their OR (as or_of);
// the copy is only meaningful when that OR fits D.
template <class T, class D>
u64 narrow_into(const char* base, npy_intp n, npy_intp stride, bool swapped, D* dst) {
  u64 acc = 0;
  if (stride == static_cast<npy_intp>(sizeof(T)) && !swapped) {
    const T* p = reinterpret_cast<const T*>(base);
    for (npy_intp i = 0; i < n; ++i) {
      acc |= static_cast<u64>(static_cast<std::int64_t>(p[i]));
      dst[i] = static_cast<D>(p[i]);
    }
  } else {
    for (npy_intp i = 0; i < n; ++i) {
      const T v = read_element<T>(base + i * stride, swapped);
      acc |= static_cast<u64>(static_cast<std::int64_t>(v));
      dst[i] = static_cast<D>(v);
    }
  }
  return acc;
}

template <class T>
u64 copy_as(u8 width, const char* base, npy_intp n, npy_intp stride, bool swapped, void* dst) {
  switch (width) {
    case 1: return narrow_into<T>(base, n, stride, swapped, static_cast<u8*>(dst));
    case 2: return narrow_into<T>(base, n, stride, swapped, static_cast<u16*>(dst));
    default: return narrow_into<T>(base, n, stride, swapped, static_cast<u32*>(dst));
  }
}

// One pass in the common case: the width is guessed from the first elements
// and the copy checks the guess as it goes; a wrong guess costs a second pass.
template <class T>
bool add_typed(const char* base, npy_intp n, npy_intp stride, bool swapped, TokenStore& store) {
  const u64 head = or_of<T>(base, std::min<npy_intp>(n, 256), stride, swapped);
  if (head > 0xFFFFFFFFull) return false;
  const u8 guess = width_for(static_cast<u32>(head));
  const u64 bits = copy_as<T>(guess, base, n, stride, swapped, store.add_uninitialized(static_cast<u64>(n), guess));
  if (bits > 0xFFFFFFFFull) {
    store.drop_last();
    return false;
  }
  const u8 width = width_for(static_cast<u32>(bits));
  if (width != guess) {
    store.drop_last();
    copy_as<T>(width, base, n, stride, swapped, store.add_uninitialized(static_cast<u64>(n), width));
  }
  return true;
}

void release_storage(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, "palimp.tokens")); }

}  // namespace

void ensure_numpy() {
  if (loaded) return;
  if (!load_api_table()) {
    PyObject* cause = PyErr_GetRaisedException();
    PyRef text = PyRef::steal(cause ? PyObject_Str(cause) : nullptr);
    Py_XDECREF(cause);
    const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    const std::string msg = std::string("Failed to access NumPy array API capsule: ") + (detail ? detail : "unknown error");
    raise_panic(msg.c_str());
    throw PythonError{};
  }
  loaded = true;
}

bool is_exact_ndarray(PyObject* o) {
  // The type's name identifies it before the API table is needed.
  const char* name = Py_TYPE(o)->tp_name;
  if (std::strcmp(name, "numpy.ndarray") != 0) return false;
  ensure_numpy();
  return Py_IS_TYPE(o, &PyArray_Type);
}

bool read_u32_array(PyObject* o, std::optional<std::span<const u32>>& out) {
  if (!PyArray_Check(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != 1) return false;
  if (!PyArray_EquivTypenums(PyArray_TYPE(a), NPY_UINT32) || !PyArray_ISNOTSWAPPED(a)) return false;
  if (!PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a)) {
    out = std::nullopt;
    return true;
  }
  out = std::span<const u32>(static_cast<const u32*>(PyArray_DATA(a)), static_cast<size_t>(PyArray_DIM(a, 0)));
  return true;
}

bool add_int_array(PyObject* o, TokenStore& store) {
  if (!is_exact_ndarray(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(a) != 1) return false;
  const char* base = static_cast<const char*>(PyArray_DATA(a));
  const npy_intp n = PyArray_DIM(a, 0);
  const npy_intp stride = PyArray_STRIDE(a, 0);
  const bool swapped = !PyArray_ISNOTSWAPPED(a);
  if (!PyArray_ISALIGNED(a)) return false;  // rare; the element path handles it
  switch (PyArray_TYPE(a)) {
    case NPY_BYTE: return add_typed<int8_t>(base, n, stride, false, store);
    case NPY_UBYTE: return add_typed<uint8_t>(base, n, stride, false, store);
    case NPY_SHORT: return add_typed<int16_t>(base, n, stride, swapped, store);
    case NPY_USHORT: return add_typed<uint16_t>(base, n, stride, swapped, store);
    case NPY_INT: return add_typed<int32_t>(base, n, stride, swapped, store);
    case NPY_UINT: return add_typed<uint32_t>(base, n, stride, swapped, store);
    case NPY_LONG:
      return sizeof(long) == 8 ? add_typed<int64_t>(base, n, stride, swapped, store)
                               : add_typed<int32_t>(base, n, stride, swapped, store);
    case NPY_ULONG:
      return sizeof(long) == 8 ? add_typed<uint64_t>(base, n, stride, swapped, store)
                               : add_typed<uint32_t>(base, n, stride, swapped, store);
    case NPY_LONGLONG: return add_typed<int64_t>(base, n, stride, swapped, store);
    case NPY_ULONGLONG: return add_typed<uint64_t>(base, n, stride, swapped, store);
    default: return false;
  }
}

PyRef copy_to_array(const SymbolSpan& values) {
  ensure_numpy();
  npy_intp dims[1] = {static_cast<npy_intp>(values.size)};
  PyRef array = checked(PyArray_SimpleNew(1, dims, NPY_UINT32));
  copy_symbols(values, 0, values.size, 4, PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return array;
}

PyRef new_owned_array(u64 n, u32*& data) {
  ensure_numpy();
  if (n > static_cast<u64>(NPY_MAX_INTP) / sizeof(u32)) throw std::bad_alloc();
  // A length-0 array still gets storage of its own, so every array's
  // pointer is one the owner can free.
  void* storage = std::malloc(std::max<u64>(n, 1) * sizeof(u32));
  if (storage == nullptr) throw std::bad_alloc();
  PyRef owner = PyRef::steal(PyCapsule_New(storage, "palimp.tokens", release_storage));
  if (!owner) {
    std::free(storage);
    throw PythonError{};
  }
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyRef array = checked(PyArray_SimpleNewFromData(1, dims, NPY_UINT32, storage));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
    throw PythonError{};  // SetBaseObject consumed the owner even on failure
  }
  data = static_cast<u32*>(storage);
  return array;
}

}  // namespace palimp::py::numpy
