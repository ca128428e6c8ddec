#include "python_bindings/values.h"

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

// class PyLiteralSegment:        # LiteralSegment(text='...')
//     text: str                  # read-only, a new str at every read
struct PyLiteralSegment {
  PyObject_HEAD
  std::string value;  // UTF-8
};

// class PyReferenceSegment:      # ReferenceSegment(message=, start=, len=)
//     message: int; start: int; len: int   # read-only; bytes of UTF-8
struct PyReferenceSegment {
  PyObject_HEAD
  ReferenceValue value;
};

// class PyLiteralTokens:         # LiteralTokens(tokens=[...])
//     tokens: list[int]          # read-only, a new list at every read
//     def as_numpy(self) -> np.ndarray  # a new uint32 copy
struct PyLiteralTokens {
  PyObject_HEAD
  std::vector<u32> value;
};

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
// cost of pickling a segment list).
template <class... Fields>
PyRef reduce_to(PyObject* self, Fields... fields) {
  return tuple_of(PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self))), tuple_of(std::move(fields)...));
}

PyObject* reference_repr(const char* name, const ReferenceValue& v) {
  return PyUnicode_FromFormat("%s(message=%llu, start=%llu, len=%llu)", name, static_cast<unsigned long long>(v.message),
                              static_cast<unsigned long long>(v.start), static_cast<unsigned long long>(v.len));
}

// ---- PyLiteralSegment

PyObject* literal_segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    std::string text = bind<kLiteralSegmentNew>(args, kwargs).convert<"text">(to_utf8);
    return new_instance<PyLiteralSegment>(type, std::move(text));
  });
}

PyObject* literal_segment_text(PyObject* self, void*) {
  const std::string& t = value_of<PyLiteralSegment>(self);
  return PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr);
}

PyObject* literal_segment_repr(PyObject* self) {
  return guarded([&] {
    const std::string r = "LiteralSegment(text='" + value_of<PyLiteralSegment>(self) + "')";
    return checked(PyUnicode_DecodeUTF8(r.data(), static_cast<Py_ssize_t>(r.size()), nullptr));
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
    {"__reduce_ex__", literal_segment_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot literal_segment_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc<kLiteralSegmentNew>())},
    {Py_tp_new, reinterpret_cast<void*>(literal_segment_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyLiteralSegment>)},
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
    {"__reduce_ex__", reference_reduce<T>, METH_O, nullptr},
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyReferenceSegment>)},
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyReferenceTokens>)},
    {Py_tp_repr, reinterpret_cast<void*>(reference_tokens_repr)},
    {Py_tp_getset, reference_getset<PyReferenceTokens>},
    {Py_tp_methods, reference_methods<PyReferenceTokens>},
    {0, nullptr},
};

// ---- PyLiteralTokens

PyObject* literal_tokens_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    std::vector<u32> tokens = bind<kLiteralTokensNew>(args, kwargs).convert<"tokens">([](PyObject* seq) {
      std::vector<u32> out;
      out.reserve(check_sequence(seq));
      for_each_item(seq, [&](PyObject* item) { out.push_back(to_token_id(item)); });
      return out;
    });
    return new_instance<PyLiteralTokens>(type, std::move(tokens));
  });
}

PyObject* literal_tokens_tokens(PyObject* self, void*) {
  return guarded([&] {
    const std::vector<u32>& t = value_of<PyLiteralTokens>(self);
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(t.size())));
    for (size_t i = 0; i < t.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromUnsignedLong(t[i])).release());
    }
    return list;
  });
}

PyObject* literal_tokens_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return reduce_to(self, checked(literal_tokens_tokens(self, nullptr))); });
}

PyObject* literal_tokens_as_numpy(PyObject* self, PyObject*) {
  return guarded([&] { return numpy::copy_to_array(value_of<PyLiteralTokens>(self)); });
}

PyObject* literal_tokens_repr(PyObject* self) {
  return guarded([&] {
    std::string r = "LiteralTokens(tokens=[";
    bool first = true;
    for (const u32 t : value_of<PyLiteralTokens>(self)) {
      if (!first) r += ", ";
      r += std::to_string(t);
      first = false;
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
    {"__reduce_ex__", literal_tokens_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot literal_tokens_slots[] = {
    {Py_tp_doc, const_cast<char*>(doc<kLiteralTokensNew>())},
    {Py_tp_new, reinterpret_cast<void*>(literal_tokens_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyLiteralTokens>)},
    {Py_tp_repr, reinterpret_cast<void*>(literal_tokens_repr)},
    {Py_tp_getset, literal_tokens_getset},
    {Py_tp_methods, literal_tokens_methods},
    {0, nullptr},
};

template <class T>
PyTypeObject* once(PyTypeObject*& slot, const char* name, PyType_Slot* slots) {
  if (slot == nullptr) slot = make_type(name, sizeof(T), slots);
  return slot;
}

PyTypeObject* g_literal_segment = nullptr;
PyTypeObject* g_reference_segment = nullptr;
PyTypeObject* g_literal_tokens = nullptr;
PyTypeObject* g_reference_tokens = nullptr;

}  // namespace

PyTypeObject* literal_segment_type() {
  return once<PyLiteralSegment>(g_literal_segment, "palimp.PyLiteralSegment", literal_segment_slots);
}
PyTypeObject* reference_segment_type() {
  return once<PyReferenceSegment>(g_reference_segment, "palimp.PyReferenceSegment", reference_segment_slots);
}
PyTypeObject* literal_tokens_type() {
  return once<PyLiteralTokens>(g_literal_tokens, "palimp.PyLiteralTokens", literal_tokens_slots);
}
PyTypeObject* reference_tokens_type() {
  return once<PyReferenceTokens>(g_reference_tokens, "palimp.PyReferenceTokens", reference_tokens_slots);
}

PyRef make_literal_segment(std::string&& text) {
  return new_instance<PyLiteralSegment>(literal_segment_type(), std::move(text));
}
PyRef make_reference_segment(u64 message, u64 start, u64 len) {
  return new_instance<PyReferenceSegment>(reference_segment_type(), ReferenceValue{message, start, len});
}
PyRef make_literal_tokens(std::vector<u32>&& tokens) {
  return new_instance<PyLiteralTokens>(literal_tokens_type(), std::move(tokens));
}
PyRef make_reference_tokens(u64 message, u64 start, u64 len) {
  return new_instance<PyReferenceTokens>(reference_tokens_type(), ReferenceValue{message, start, len});
}

}  // namespace palimp::py
