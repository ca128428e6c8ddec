#include "python_bindings/convert.h"

#include "python_bindings/numpy_api.h"

namespace palimp::py {
namespace {

// A sequence of token ids, added to the store as one message.  `scratch`
// is reused from message to message.
void add_token_sequence(PyObject* seq, TokenStore& store, std::vector<u32>& scratch) {
  check_sequence(seq);
  // An integer array's own elements, read in place; any value out of range
  // sends the array down the element-by-element path, which raises the error.
  if (numpy::is_exact_ndarray(seq) && numpy::add_int_array(seq, store)) return;
  scratch.clear();
  for_each_item(seq, [&](PyObject* item) { scratch.push_back(to_token_id(item)); });
  store.add(scratch);
}

// Total length of the entries that can tell it cheaply, and their number, to
// size the store once.
std::pair<u64, u64> length_hint(PyObject* messages) {
  if (!PyList_CheckExact(messages) && !PyTuple_CheckExact(messages)) return {0, 0};
  u64 total = 0;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(messages); ++i) {
    PyObject* m = PySequence_Fast_GET_ITEM(messages, i);
    if (PyList_CheckExact(m) || PyTuple_CheckExact(m)) {
      total += static_cast<u64>(PySequence_Fast_GET_SIZE(m));
    } else if (numpy::is_exact_ndarray(m)) {
      const Py_ssize_t n = PyObject_Size(m);  // runs no Python code for an exact array
      if (n > 0) total += static_cast<u64>(n);
      if (n < 0) PyErr_Clear();
    }
  }
  return {total, static_cast<u64>(PySequence_Fast_GET_SIZE(messages))};
}

}  // namespace

TokenStore to_token_messages(PyObject* messages) {
  check_sequence(messages);
  TokenStore store;
  const auto [hint, count] = length_hint(messages);
  std::vector<u32> scratch;
  for_each_item(messages, [&](PyObject* entry) {
    if (entry == Py_None) return;
    add_token_sequence(entry, store, scratch);
    if (store.messages() == 1) {
      // The messages of one list usually need the width the first needed;
      // reserving for that (not the widest) keeps unused room out of memory.
      const SymbolSpan first = store.span(0);
      if (hint > first.size) store.reserve_tokens(hint - first.size, first.width, count);
    }
  });
  return store;
}

TextMessages to_text_messages(PyObject* messages) {
  const u64 hint = check_sequence(messages);
  TextMessages out{checked(PyList_New(0)), {}};
  out.views.reserve(hint);
  for_each_item(messages, [&](PyObject* entry) {
    if (entry == Py_None) {
      out.views.emplace_back(std::nullopt);
      return;
    }
    const TextView view = to_text(entry);
    if (PyList_Append(out.keep.get(), entry) < 0) throw PythonError{};
    out.views.emplace_back(view);
  });
  return out;
}

TextStoreMessages to_text_store(PyObject* messages) {
  check_sequence(messages);
  TextStoreMessages out{checked(PyList_New(0)), {}};
  for_each_item(messages, [&](PyObject* entry) {
    if (entry == Py_None) {
      out.store.add_absent();
      return;
    }
    const TextView view = to_text_unchecked(entry);
    if (!out.store.add_borrowed(view.code_points, view.ascii)) raise_no_utf8(entry);
    if (PyList_Append(out.keep.get(), entry) < 0) throw PythonError{};
  });
  return out;
}

}  // namespace palimp::py
