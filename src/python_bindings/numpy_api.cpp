// The only translation unit that defines the NumPy API table.
#define PY_ARRAY_UNIQUE_SYMBOL palimp_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include "python_bindings/numpy_api.h"

#include <numpy/arrayobject.h>

#include <cstring>
#include <memory>
#include <string>

#include "python_bindings/errors.h"

namespace palimp::py::numpy {
namespace {

bool loaded = false;

// Fills the API table from the capsule; on failure leaves a Python error set.
bool load() {
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
T load(const char* p, bool swapped) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  if (swapped) {
    if constexpr (sizeof(T) == 2) v = static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(v)));
    if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(v)));
    if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(v)));
  }
  return v;
}

// Largest element of n elements of type T, or nullopt when one lies outside
// 0 .. 2^32 - 1.
template <class T>
std::optional<u32> max_in_range(const char* base, npy_intp n, npy_intp stride, bool swapped) {
  u64 max = 0;
  bool bad = false;
  if (stride == static_cast<npy_intp>(sizeof(T)) && !swapped) {
    const T* p = reinterpret_cast<const T*>(base);  // aligned: NumPy aligns its buffers
    for (npy_intp i = 0; i < n; ++i) {
      if constexpr (std::is_signed_v<T>) bad |= p[i] < 0;
      const u64 v = static_cast<u64>(p[i]);
      max = v > max ? v : max;
    }
  } else {
    for (npy_intp i = 0; i < n; ++i) {
      const T x = load<T>(base + i * stride, swapped);
      if constexpr (std::is_signed_v<T>) bad |= x < 0;
      const u64 v = static_cast<u64>(x);
      max = v > max ? v : max;
    }
  }
  if (bad || max > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<u32>(max);
}

template <class T, class D>
void narrow_into(const char* base, npy_intp n, npy_intp stride, bool swapped, D* dst) {
  if (stride == static_cast<npy_intp>(sizeof(T)) && !swapped) {
    const T* p = reinterpret_cast<const T*>(base);
    for (npy_intp i = 0; i < n; ++i) dst[i] = static_cast<D>(p[i]);
  } else {
    for (npy_intp i = 0; i < n; ++i) dst[i] = static_cast<D>(load<T>(base + i * stride, swapped));
  }
}

template <class T>
bool add_typed(const char* base, npy_intp n, npy_intp stride, bool swapped, TokenStore& store) {
  const std::optional<u32> max = max_in_range<T>(base, n, stride, swapped);
  if (!max) return false;
  const u8 width = TokenStore::width_for(*max);
  void* dst = store.add_uninitialized(static_cast<u64>(n), width);
  switch (width) {
    case 1: narrow_into<T>(base, n, stride, swapped, static_cast<u8*>(dst)); break;
    case 2: narrow_into<T>(base, n, stride, swapped, static_cast<u16*>(dst)); break;
    default: narrow_into<T>(base, n, stride, swapped, static_cast<u32*>(dst)); break;
  }
  return true;
}

void release_vector(PyObject* capsule) {
  delete static_cast<std::vector<u32>*>(PyCapsule_GetPointer(capsule, "palimp.tokens"));
}

}  // namespace

void ensure_numpy() {
  if (loaded) return;
  if (!load()) {
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

PyRef copy_to_array(std::span<const u32> values) {
  ensure_numpy();
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyRef array = checked(PyArray_SimpleNew(1, dims, NPY_UINT32));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(), values.size_bytes());
  }
  return array;
}

PyRef adopt_as_array(std::vector<u32>&& values) {
  ensure_numpy();
  auto owned = std::make_unique<std::vector<u32>>(std::move(values));
  // An empty vector has no storage; any non-null pointer serves a length-0 array.
  static u32 empty_storage = 0;
  u32* data = owned->empty() ? &empty_storage : owned->data();
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  PyRef array = checked(PyArray_SimpleNewFromData(1, dims, NPY_UINT32, data));
  PyRef owner = checked(PyCapsule_New(owned.get(), "palimp.tokens", release_vector));
  owned.release();  // the capsule owns it now
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
    throw PythonError{};  // SetBaseObject consumed the owner even on failure
  }
  return array;
}

}  // namespace palimp::py::numpy
