#include "python_bindings/values.h"

#include <climits>
#include <cstring>
#include <string>

#include "python_bindings/args.h"
#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"
#include "python_bindings/heap_types.h"

namespace palimp::py {
namespace {

struct ReferenceValue {
  u64 message;
  u64 start;
  u64 len;
};

// The two literal classes keep their symbols inside the object, in the
// narrowest storage their source had: one allocation per literal, and the
// text or ids are copied once, from the compressor's storage into the object.
// ob_size counts the bytes that follow the header, `width` bytes per symbol.
struct InlineSymbols {
  PyObject_VAR_HEAD
  u8 width;  // 1, 2 or 4
};
// Where the symbols begin: after the header, aligned for the widest symbol.
constexpr size_t kSymbolsAt = (sizeof(InlineSymbols) + 3) / 4 * 4;

SymbolSpan symbols_of(PyObject* o) {
  const auto* v = reinterpret_cast<const InlineSymbols*>(o);
  return SymbolSpan{reinterpret_cast<const u8*>(o) + kSymbolsAt, static_cast<u64>(Py_SIZE(o)) / v->width, v->width};
}

// A new instance of `type` with room for `bytes` bytes of symbols.  Not
// zero-filled: the caller writes every symbol before the object is used.
PyRef alloc_symbols(PyTypeObject* type, u64 bytes, u8 width) {
  if (bytes > static_cast<u64>(PY_SSIZE_T_MAX) - kSymbolsAt) throw std::bad_alloc();
  void* memory = PyObject_Malloc(kSymbolsAt + bytes);
  if (memory == nullptr) throw std::bad_alloc();
  // Takes a reference to the (heap) type; tp_dealloc gives it back.
  PyRef obj = PyRef::steal(reinterpret_cast<PyObject*>(
      PyObject_InitVar(static_cast<PyVarObject*>(memory), type, static_cast<Py_ssize_t>(bytes))));
  reinterpret_cast<InlineSymbols*>(obj.get())->width = width;
  return obj;
}

// A new instance holding symbols [start, start + len) of `from` (checked),
// stored as wide as `from`.
PyRef symbols_object(PyTypeObject* type, const SymbolSpan& from, u64 start, u64 len) {
  PALIMP_CHECK(start <= from.size && len <= from.size - start);
  PyRef obj = alloc_symbols(type, len * from.width, from.width);
  if (len > 0) {
    std::memcpy(reinterpret_cast<u8*>(obj.get()) + kSymbolsAt, static_cast<const u8*>(from.data) + start * from.width,
                len * from.width);
  }
  return obj;
}

// tp_dealloc of all four: nothing to release but the memory.
void dealloc_value(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  type->tp_free(o);
  Py_DECREF(type);
}

// class PyLiteralSegment:        # LiteralSegment(text='...')
//     text: str                  # read-only, a new str at every read
// Its code points as a str stores them (1, 2 or 4 bytes each).
using PyLiteralSegment = InlineSymbols;

// class PyReferenceSegment:      # ReferenceSegment(message=, start=, len=)
//     message: int; start: int; len: int   # read-only; bytes of UTF-8
struct PyReferenceSegment {
  PyObject_HEAD
  ReferenceValue value;
};

// class PyLiteralTokens:         # LiteralTokens(tokens=[...])
//     tokens: list[int]          # read-only, a new list at every read
//     def as_numpy(self) -> np.ndarray  # a new uint32 copy
// Its ids stored 1, 2 or 4 bytes wide.
using PyLiteralTokens = InlineSymbols;

// class PyReferenceTokens:       # ReferenceTokens(message=, start=, len=)
//     message: int; start: int; len: int   # read-only; in tokens
struct PyReferenceTokens {
  PyObject_HEAD
  ReferenceValue value;
};

template <class T>
const auto& value_of(PyObject* o) {
  return reinterpret_cast<T*>(o)->value;
}

constexpr std::array kReferenceParams{required("message"), required("start"), required("len")};
constexpr auto kLiteralSegmentNew = constructor("PyLiteralSegment", std::array{required("text")});
constexpr auto kReferenceSegmentNew = constructor("PyReferenceSegment", kReferenceParams);
constexpr auto kLiteralTokensNew = constructor("PyLiteralTokens", std::array{required("tokens")});
constexpr auto kReferenceTokensNew = constructor("PyReferenceTokens", kReferenceParams);

template <const auto& Sig>
ReferenceValue convert_reference(PyObject* args, PyObject* kwargs) {
  const auto a = bind<Sig>(args, kwargs);
  const u64 message = a.template convert<"message">(to_size);
  const u64 start = a.template convert<"start">(to_size);
  const u64 len = a.template convert<"len">(to_size);
  return {message, start, len};
}

// A new tuple that takes over `items`.
template <class... Items>
PyRef tuple_of(Items... items) {
  PyRef t = checked(PyTuple_New(sizeof...(Items)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(t.get(), i++, items.release()), ...);
  return t;
}

// Pickling and copying: every value object is rebuilt by calling its class
// with its fields, which the constructor converts back unchanged.
//     def __reduce__(self): return (type(self), (field, ...))
//     def __reduce_ex__(self, protocol): return self.__reduce__()
// __reduce_ex__, which pickle and copy call first, is defined as well: it
// spares them object.__reduce_ex__'s lookup of __reduce__ (a fifth of the
// cost of pickling a segment list).  Its protocol is converted as the
// interpreter's own types convert it (to a C int, through __index__), with
// the same errors, and then unused.
template <class... Fields>
PyRef reduce_to(PyObject* self, Fields... fields) {
  return tuple_of(PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self))), tuple_of(std::move(fields)...));
}

template <PyObject* (*Reduce)(PyObject*, PyObject*)>
PyObject* reduce_ex(PyObject* self, PyObject* protocol) {
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(protocol, &overflow);
  if (v == -1 && PyErr_Occurred()) return nullptr;
  if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return nullptr;
  }
  return Reduce(self, nullptr);
}

PyObject* reference_repr(const char* name, const ReferenceValue& v) {
  return PyUnicode_FromFormat("%s(message=%llu, start=%llu, len=%llu)", name, static_cast<unsigned long long>(v.message),
                              static_cast<unsigned long long>(v.start), static_cast<unsigned long long>(v.len));
}

// ---- PyLiteralSegment

PyObject* literal_segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const TextView text = bind<kLiteralSegmentNew>(args, kwargs).convert<"text">(to_text);
    return symbols_object(type, text.code_points, 0, text.code_points.size);
  });
}

PyObject* literal_segment_text(PyObject* self, void*) {
  const SymbolSpan t = symbols_of(self);
  // The interpreter picks the narrowest storage for the text, as for any str.
  return PyUnicode_FromKindAndData(t.width, t.data, static_cast<Py_ssize_t>(t.size));
}

PyObject* literal_segment_repr(PyObject* self) {
  return guarded([&] {
    PyRef text = checked(literal_segment_text(self, nullptr));
    return checked(PyUnicode_FromFormat("LiteralSegment(text='%U')", text.get()));
  });
}

PyObject* literal_segment_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return reduce_to(self, checked(literal_segment_text(self, nullptr))); });
}

PyGetSetDef literal_segment_getset[] = {
    {"text", literal_segment_text, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef literal_segment_methods[] = {
    {"__reduce__", literal_segment_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", reduce_ex<literal_segment_reduce>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot literal_segment_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc<kLiteralSegmentNew>())},
    {Py_tp_new, reinterpret_cast<void*>(literal_segment_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_repr, reinterpret_cast<void*>(literal_segment_repr)},
    {Py_tp_getset, literal_segment_getset},
    {Py_tp_methods, literal_segment_methods},
    {0, nullptr},
};

// ---- the two reference classes

template <class T>
PyObject* reference_field(PyObject* self, void* field) {
  const ReferenceValue& v = value_of<T>(self);
  const u64 x = field == nullptr ? v.message : reinterpret_cast<intptr_t>(field) == 1 ? v.start : v.len;
  return PyLong_FromUnsignedLongLong(x);
}

template <class T>
PyGetSetDef reference_getset[] = {
    {"message", reference_field<T>, nullptr, nullptr, nullptr},
    {"start", reference_field<T>, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {"len", reference_field<T>, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class T>
PyObject* reference_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    const ReferenceValue& v = value_of<T>(self);
    return reduce_to(self, checked(PyLong_FromUnsignedLongLong(v.message)),
                     checked(PyLong_FromUnsignedLongLong(v.start)), checked(PyLong_FromUnsignedLongLong(v.len)));
  });
}

template <class T>
PyMethodDef reference_methods[] = {
    {"__reduce__", reference_reduce<T>, METH_NOARGS, nullptr},
    {"__reduce_ex__", reduce_ex<reference_reduce<T>>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* reference_segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return new_instance<PyReferenceSegment>(type, convert_reference<kReferenceSegmentNew>(args, kwargs));
  });
}

PyObject* reference_segment_repr(PyObject* self) {
  return reference_repr("ReferenceSegment", value_of<PyReferenceSegment>(self));
}

PyType_Slot reference_segment_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc<kReferenceSegmentNew>())},
    {Py_tp_new, reinterpret_cast<void*>(reference_segment_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_repr, reinterpret_cast<void*>(reference_segment_repr)},
    {Py_tp_getset, reference_getset<PyReferenceSegment>},
    {Py_tp_methods, reference_methods<PyReferenceSegment>},
    {0, nullptr},
};

PyObject* reference_tokens_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return new_instance<PyReferenceTokens>(type, convert_reference<kReferenceTokensNew>(args, kwargs));
  });
}

PyObject* reference_tokens_repr(PyObject* self) {
  return reference_repr("ReferenceTokens", value_of<PyReferenceTokens>(self));
}

PyType_Slot reference_tokens_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc<kReferenceTokensNew>())},
    {Py_tp_new, reinterpret_cast<void*>(reference_tokens_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_repr, reinterpret_cast<void*>(reference_tokens_repr)},
    {Py_tp_getset, reference_getset<PyReferenceTokens>},
    {Py_tp_methods, reference_methods<PyReferenceTokens>},
    {0, nullptr},
};

// ---- PyLiteralTokens

PyObject* literal_tokens_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const std::vector<u32> tokens = bind<kLiteralTokensNew>(args, kwargs).convert<"tokens">([](PyObject* seq) {
      std::vector<u32> out;
      out.reserve(check_sequence(seq));
      for_each_item(seq, [&](PyObject* item) { out.push_back(to_token_id(item)); });
      return out;
    });
    const u8 width = narrowest_width(tokens);
    PyRef obj = alloc_symbols(type, tokens.size() * width, width);
    store_narrow(tokens, width, reinterpret_cast<u8*>(obj.get()) + kSymbolsAt);
    return obj;
  });
}

PyObject* literal_tokens_tokens(PyObject* self, void*) {
  return guarded([&] { return int_list(symbols_of(self)); });
}

PyObject* literal_tokens_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return reduce_to(self, checked(literal_tokens_tokens(self, nullptr))); });
}

PyObject* literal_tokens_as_numpy(PyObject* self, PyObject*) {
  return guarded([&] { return numpy::copy_to_array(symbols_of(self)); });
}

PyObject* literal_tokens_repr(PyObject* self) {
  return guarded([&] {
    std::string r = "LiteralTokens(tokens=[";
    const SymbolSpan t = symbols_of(self);
    for (u64 i = 0; i < t.size; ++i) {
      if (i > 0) r += ", ";
      r += std::to_string(t.at(i));
    }
    r += "])";
    return checked(PyUnicode_FromStringAndSize(r.data(), static_cast<Py_ssize_t>(r.size())));
  });
}

PyGetSetDef literal_tokens_getset[] = {
    {"tokens", literal_tokens_tokens, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef literal_tokens_methods[] = {
    {"as_numpy", literal_tokens_as_numpy, METH_NOARGS, nullptr},
    {"__reduce__", literal_tokens_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", reduce_ex<literal_tokens_reduce>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot literal_tokens_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc<kLiteralTokensNew>())},
    {Py_tp_new, reinterpret_cast<void*>(literal_tokens_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_repr, reinterpret_cast<void*>(literal_tokens_repr)},
    {Py_tp_getset, literal_tokens_getset},
    {Py_tp_methods, literal_tokens_methods},
    {0, nullptr},
};

PyTypeObject* once(PyTypeObject*& slot, const char* name, Py_ssize_t basicsize, Py_ssize_t itemsize,
                   PyType_Slot* slots) {
  if (slot == nullptr) slot = make_type(name, basicsize, slots, itemsize);
  return slot;
}

PyTypeObject* g_literal_segment = nullptr;
PyTypeObject* g_reference_segment = nullptr;
PyTypeObject* g_literal_tokens = nullptr;
PyTypeObject* g_reference_tokens = nullptr;

}  // namespace

PyTypeObject* literal_segment_type() {
  return once(g_literal_segment, "palimp.PyLiteralSegment", kSymbolsAt, 1, literal_segment_slots);
}
PyTypeObject* reference_segment_type() {
  return once(g_reference_segment, "palimp.PyReferenceSegment", sizeof(PyReferenceSegment), 0,
              reference_segment_slots);
}
PyTypeObject* literal_tokens_type() {
  return once(g_literal_tokens, "palimp.PyLiteralTokens", kSymbolsAt, 1, literal_tokens_slots);
}
PyTypeObject* reference_tokens_type() {
  return once(g_reference_tokens, "palimp.PyReferenceTokens", sizeof(PyReferenceTokens), 0,
              reference_tokens_slots);
}

PyRef make_literal_segment(const SymbolSpan& text, u64 start, u64 len) {
  return symbols_object(literal_segment_type(), text, start, len);
}
PyRef make_reference_segment(const Reference& r) {
  return new_instance<PyReferenceSegment>(reference_segment_type(), ReferenceValue{r.message, r.start, r.len});
}
PyRef make_literal_tokens(const SymbolSpan& tokens, u64 start, u64 len) {
  return symbols_object(literal_tokens_type(), tokens, start, len);
}
PyRef make_reference_tokens(u64 message, u64 start, u64 len) {
  return new_instance<PyReferenceTokens>(reference_tokens_type(), ReferenceValue{message, start, len});
}

PyRef int_list(const SymbolSpan& ids) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(ids.size)));
  with_symbols(ids, [&](const auto* p) {
    for (u64 i = 0; i < ids.size; ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromUnsignedLong(p[i])).release());
    }
  });
  return list;
}

}  // namespace palimp::py
