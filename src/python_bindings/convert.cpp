#include "python_bindings/convert.h"

#include "python_bindings/numpy_api.h"

namespace palimp::py {
namespace {

// The longest list converted straight into the store.  The store's storage
// briefly holds it four bytes per id: for longer lists that room would stay
// reserved, so they go through the reused scratch buffer instead.
constexpr Py_ssize_t kMaxPlainIds = 4096;

// Adds an exact list or tuple of at most kMaxPlainIds items that are all
// exact ints from 0 to 2^32 - 1, converted straight into the store, and
// returns true.  Otherwise adds nothing and returns false: the
// element-by-element path then converts the items, running whatever Python
// code they bring and raising their errors.  No Python code runs here, so the
// sequence cannot change under the loop.
bool add_plain_ids(PyObject* seq, TokenStore& store) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  if (n > kMaxPlainIds) return false;
  PyObject** items = PySequence_Fast_ITEMS(seq);
  auto* ids = static_cast<u32*>(store.add_uninitialized(static_cast<u64>(n), 4));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = items[i];
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
      store.drop_last();
      return false;
    }
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    if (v < 0 || v > 0xFFFFFFFF) {
      store.drop_last();
      return false;
    }
    ids[i] = static_cast<u32>(v);
  }
  store.narrow_last();
  return true;
}

// A sequence of token ids, added to the store as one message.  `scratch`
// is reused from message to message.
void add_token_sequence(PyObject* seq, TokenStore& store, std::vector<u32>& scratch, SignalMeter& signals) {
  check_sequence(seq);
  signals.add(work_units::kPythonObject);
  // An integer array's own elements, read in place; any value out of range
  // sends the array down the element-by-element path, which raises the error.
  const u64 before = store.messages();
  if ((numpy::is_exact_ndarray(seq) && numpy::add_int_array(seq, store)) ||
      ((PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) && add_plain_ids(seq, store))) {
    signals.add(store.span(before).size / work_units::kSymbolsPerUnit);
    return;
  }
  scratch.clear();
  for_each_item(seq, [&](PyObject* item) {
    scratch.push_back(to_token_id(item));
    signals.add(work_units::kPythonObject);
  });
  store.add(scratch);
}

// The most tokens of an input reserved whole before any is converted.
constexpr u64 kReserveWholeTokens = 1024;

// What the entries that can tell it cheaply say of their lengths, to size
// the store once.
struct LengthHint {
  u64 total = 0;     // their summed lengths
  u64 first = 0;     // the length of the first present entry, when it tells
  u64 messages = 0;  // entries in all
};
LengthHint length_hint(PyObject* messages) {
  if (!PyList_CheckExact(messages) && !PyTuple_CheckExact(messages)) return {};
  LengthHint hint{0, 0, static_cast<u64>(PySequence_Fast_GET_SIZE(messages))};
  bool first = true;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(messages); ++i) {
    PyObject* m = PySequence_Fast_GET_ITEM(messages, i);
    u64 n = 0;
    if (PyList_CheckExact(m) || PyTuple_CheckExact(m)) {
      n = static_cast<u64>(PySequence_Fast_GET_SIZE(m));
    } else if (numpy::is_exact_ndarray(m)) {
      const Py_ssize_t size = PyObject_Size(m);  // runs no Python code for an exact array
      if (size > 0) n = static_cast<u64>(size);
      if (size < 0) PyErr_Clear();
    } else if (m == Py_None) {
      continue;
    }
    hint.total += n;
    if (first) hint.first = n;
    first = false;
  }
  return hint;
}

}  // namespace

TokenStore to_token_messages(PyObject* messages, SignalMeter& signals) {
  check_sequence(messages);
  TokenStore store;
  const LengthHint hint = length_hint(messages);
  const u64 count = hint.messages;
  store.reserve_messages(count);
  // Small inputs get their room at once, one allocation, sized for ids
  // below 256, the common case: a byte a token, and three more for each
  // of the first message, which a list of ints fills four bytes wide
  // before it narrows.  Wider ids grow it after the first message.
  if (hint.total <= kReserveWholeTokens) {
    store.reserve_tokens(hint.total + 3 * std::min(hint.first, hint.total), 1, count);
  }
  std::vector<u32> scratch;
  for_each_item(messages, [&](PyObject* entry) {
    signals.add(work_units::kPythonObject);
    if (entry == Py_None) return;
    add_token_sequence(entry, store, scratch, signals);
    if (store.messages() == 1) {
      // The messages of one list usually need the width the first needed;
      // reserving for that (not the widest) keeps unused room out of memory.
      const SymbolSpan first = store.span(0);
      if (hint.total > first.size) store.reserve_tokens(hint.total - first.size, first.width, count);
    }
  });
  return store;
}

TextMessages to_text_messages(PyObject* messages, SignalMeter& signals) {
  const u64 hint = check_sequence(messages);
  TextMessages out{checked(PyList_New(0)), {}};
  out.views.reserve(hint);
  for_each_item(messages, [&](PyObject* entry) {
    signals.add(work_units::kPythonObject);
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

namespace {

void add_text_entry(PyObject* entry, TextStore& store, SignalMeter& signals) {
  signals.add(work_units::kPythonObject);
  if (entry == Py_None) {
    store.add_absent();
    return;
  }
  const TextView view = to_text_unchecked(entry);
  if (!store.add_borrowed(view.code_points, view.ascii)) raise_no_utf8(entry);
  signals.add(view.code_points.size / work_units::kSymbolsPerUnit);  // the pass over it
}

}  // namespace

TextStoreMessages to_text_store(PyObject* messages, SignalMeter& signals) {
  check_sequence(messages);
  if (PyList_CheckExact(messages) || PyTuple_CheckExact(messages)) {
    // Reading str and None entries runs no Python code, so a copy of a list
    // taken now holds exactly what iterating it would give; a tuple holds
    // its entries for good.
    TextStoreMessages out{PyTuple_CheckExact(messages) ? PyRef::borrow(messages) : checked(PyList_AsTuple(messages)),
                          {}};
    const Py_ssize_t n = PyTuple_GET_SIZE(out.keep.get());
    out.store.reserve(static_cast<u64>(n));
    for (Py_ssize_t i = 0; i < n; ++i) add_text_entry(PyTuple_GET_ITEM(out.keep.get(), i), out.store, signals);
    return out;
  }
  TextStoreMessages out{checked(PyList_New(0)), {}};
  for_each_item(messages, [&](PyObject* entry) {
    add_text_entry(entry, out.store, signals);
    if (entry != Py_None && PyList_Append(out.keep.get(), entry) < 0) throw PythonError{};
  });
  return out;
}

}  // namespace palimp::py
