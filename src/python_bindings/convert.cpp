#include "python_bindings/convert.h"

#include "python_bindings/numpy_api.h"

namespace palimp::py {
namespace {

// A sequence of token ids, appended to the store's open message.
void append_token_sequence(PyObject* seq, TokenStore& store) {
  check_sequence(seq);
  if (numpy::is_exact_ndarray(seq)) {
    // The array's own elements, read in place; any value out of range sends
    // the array down the element-by-element path, which raises the error.
    std::vector<u32> ids;
    if (numpy::append_int_array(seq, ids)) {
      store.append(ids);
      return;
    }
  }
  for_each_item(seq, [&](PyObject* item) { store.push(to_token_id(item)); });
}

// Total length of the entries that can tell it cheaply, to size the store once.
u64 length_hint(PyObject* messages) {
  if (!PyList_CheckExact(messages) && !PyTuple_CheckExact(messages)) return 0;
  u64 total = 0;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(messages); ++i) {
    PyObject* m = PySequence_Fast_GET_ITEM(messages, i);
    if (PyList_CheckExact(m) || PyTuple_CheckExact(m)) total += static_cast<u64>(PySequence_Fast_GET_SIZE(m));
  }
  return total;
}

}  // namespace

TokenStore to_token_messages(PyObject* messages) {
  check_sequence(messages);
  TokenStore store;
  store.reserve_tokens(length_hint(messages));
  for_each_item(messages, [&](PyObject* entry) {
    if (entry == Py_None) return;
    append_token_sequence(entry, store);
    store.end_message();
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

EngineOptions to_engine_options(PyObject* const* bound) {
  EngineOptions o;
  if (bound[0] != nullptr) o.exact = arg("exact_mode", [&] { return to_flag(bound[0]); });
  if (bound[1] != nullptr) o.params.min_match_len = arg("min_match_len", [&] { return to_size(bound[1]); });
  o.params.lookback = arg("lookback", [&] { return to_optional_size(bound[2]); });
  if (bound[3] != nullptr) o.params.cap_len = arg("cap_len", [&] { return to_size(bound[3]); });
  if (bound[4] != nullptr) o.params.ncap = arg("ncap", [&] { return to_size(bound[4]); });
  return o;
}

}  // namespace palimp::py
