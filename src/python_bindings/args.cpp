#include "python_bindings/args.h"

#include "normalize.h"

#include <cstring>
#include <string>
#include <vector>

namespace palimp::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// "Class.method() <rest>"; `rest` may hold any character, NUL included.
[[noreturn]] void binding_error(const BindingView& sig, PyObject* rest) {
  PyErr_Format(PyExc_TypeError, "%s.%s() %U", sig.type, sig.method, rest);
  throw PythonError{};
}

[[noreturn]] void binding_error(const BindingView& sig, const std::string& rest) {
  PyRef text = checked(PyUnicode_FromStringAndSize(rest.data(), static_cast<Py_ssize_t>(rest.size())));
  binding_error(sig, text.get());
}

size_t positional_count(const BindingView& sig) {
  size_t n = 0;
  for (const Param& p : sig.params) n += p.keyword_only ? 0 : 1;
  return n;
}

// True when the str `key` spells the ASCII `name`.  Compares the stored code
// points, so a key holding NUL or a lone surrogate is just another mismatch.
bool spells(PyObject* key, const char* name) {
  if (!PyUnicode_IS_ASCII(key)) return false;  // parameter names are ASCII
  const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
  return std::strlen(name) == n && std::memcmp(PyUnicode_DATA(key), name, n) == 0;
}

// Binds one keyword argument; `positional` is how many were given by position.
void bind_keyword(const BindingView& sig, PyObject* key, PyObject* value, size_t positional, PyObject** out) {
  size_t i = 0;
  for (const Param& p : sig.params) {
    if (spells(key, p.name)) {
      if (out[i] != nullptr || (!p.keyword_only && i < positional)) {
        binding_error(sig, std::string("got multiple values for argument '") + p.name + "'");
      }
      out[i] = value;
      return;
    }
    ++i;
  }
  // The keyword as the caller wrote it, whatever it holds.
  PyRef rest = checked(PyUnicode_FromFormat("got an unexpected keyword argument '%U'", key));
  binding_error(sig, rest.get());
}

void check_positional(const BindingView& sig, size_t given) {
  const size_t allowed = positional_count(sig);
  if (given > allowed) {
    binding_error(sig, "takes " + std::to_string(allowed) + " positional arguments but " + std::to_string(given) +
                           (given == 1 ? " was given" : " were given"));
  }
}

void check_missing(const BindingView& sig, PyObject** out) {
  std::vector<const char*> missing;
  size_t i = 0;
  for (const Param& p : sig.params) {
    if (!p.keyword_only && out[i] == nullptr) missing.push_back(p.name);
    ++i;
  }
  if (missing.empty()) return;
  binding_error(sig, "missing " + std::to_string(missing.size()) + " required positional argument" +
                         (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
}

}  // namespace

void bind_fast(const BindingView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const size_t given = static_cast<size_t>(nargs);
  check_positional(sig, given);
  for (size_t i = 0; i < sig.params.size(); ++i) out[i] = i < given ? args[i] : nullptr;
  if (kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], given, out);
    }
  }
  check_missing(sig, out);
}

void bind_tuple(const BindingView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args));
  check_positional(sig, given);
  for (size_t i = 0; i < sig.params.size(); ++i) out[i] = i < given ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, given, out);
  }
  check_missing(sig, out);
}

void add_argument_prefix(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyRef first = PyRef::steal(raised);
  PyRef text = checked(PyObject_Str(first.get()));
  PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  PyRef renamed = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  PyException_SetCause(renamed.get(), PyException_GetCause(first.get()));  // steals the new reference
  PyErr_SetRaisedException(renamed.release());
}

void type_mismatch(PyObject* obj, const char* target) {
  PyRef name = checked(PyType_GetQualName(Py_TYPE(obj)));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  throw PythonError{};
}

bool to_flag(PyObject* o) {
  if (!PyBool_Check(o)) type_mismatch(o, "PyBool");
  return o == Py_True;
}

u64 to_size(PyObject* o) {
  PyRef index = checked(PyNumber_Index(o));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return v;
}

std::optional<u64> to_optional_size(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return to_size(o);
}

u32 to_token_id(PyObject* o) {
  long long v;
  if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
    v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
  } else {
    PyRef index = checked(PyNumber_Index(o));
    v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
  }
  if (v < 0 || v > 0xFFFFFFFFll) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<u32>(v);
}

TextView to_text_unchecked(PyObject* o) {
  if (!PyUnicode_Check(o)) type_mismatch(o, "PyString");
  const u64 n = static_cast<u64>(PyUnicode_GET_LENGTH(o));
  return TextView{SymbolSpan{PyUnicode_DATA(o), n, static_cast<u8>(PyUnicode_KIND(o))}, PyUnicode_IS_ASCII(o) != 0};
}

void raise_no_utf8(PyObject* o) {
  PyRef encoded = checked(PyUnicode_AsUTF8String(o));
  check_failed("a str with a surrogate encoded to UTF-8");
}

TextView to_text(PyObject* o) {
  const TextView view = to_text_unchecked(o);
  if (!view.ascii && has_surrogate(view.code_points)) raise_no_utf8(o);
  return view;
}

std::string to_utf8(PyObject* o) {
  to_text(o);
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (s == nullptr) throw PythonError{};
  return std::string(s, static_cast<size_t>(len));
}

u64 check_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) type_mismatch(o, "Sequence");
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return static_cast<u64>(PySequence_Fast_GET_SIZE(o));
  const Py_ssize_t n = PyObject_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<u64>(n), kMaxUntrustedReserve);
}

}  // namespace palimp::py
