// Declarative argument handling shared by every constructor and method.
//
// A method declares its parameters once (a Signature); `bind` matches the
// call's positional and keyword arguments to them with the module's binding
// messages; the conversions below turn each bound object into a C++ value in
// signature order, and `arg` puts "argument 'NAME': " in front of a TypeError
// raised while converting parameter NAME.  Only then does the method's own
// work begin, so a failed call has built and changed nothing.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "check.h"
#include "python_bindings/pyref.h"
#include "symbols.h"

namespace palimp::py {

struct Param {
  const char* name;
  bool keyword_only = false;  // declared after `*`: optional, keyword only
};

// Parameters before `*` are positional-or-keyword and required; those after it
// are keyword-only and optional.
struct Signature {
  const char* function;         // as named in messages: "PalimpText.from_texts"
  std::span<const Param> params;
};

// Fills out[i] with the borrowed argument bound to parameter i, or nullptr
// when it was omitted.  Raises the binding TypeError otherwise.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict (tp_new).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Rewrites a pending exact TypeError as "argument 'NAME': <message>", keeping
// its cause; other exceptions stay as they are.
void add_argument_prefix(const char* name);

// Runs one parameter's conversion under the argument prefix rule.
template <class F>
auto arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    add_argument_prefix(name);
    throw;
  }
}

// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void type_mismatch(PyObject* obj, const char* target);

// Conversions.  Each throws PythonError with the module's message.
bool to_flag(PyObject* o);                       // True or False only
u64 to_size(PyObject* o);                        // index protocol, 0 .. 2^64 - 1
std::optional<u64> to_optional_size(PyObject* o);  // nullptr or None: absent
u32 to_token_id(PyObject* o);                    // index protocol, 0 .. 2^32 - 1

// A str's code points as stored by the interpreter (1, 2 or 4 bytes each),
// without a copy.  Valid while the str lives.
struct TextView {
  SymbolSpan code_points;
  bool ascii;  // every code point < 0x80, so the storage is its own UTF-8
};
// Text conversion: a str (subclasses included) that has a UTF-8 form; a lone
// surrogate raises the interpreter's own UnicodeEncodeError.
TextView to_text(PyObject* o);
std::string to_utf8(PyObject* o);

// Sequence conversion, first steps: rejects a str and anything the
// interpreter's sequence check refuses.  Returns the length hint (0 when the
// object cannot tell).
u64 check_sequence(PyObject* o);

// Sequence conversion, iteration: calls f(borrowed item) for each element in
// iteration order.  Lists and tuples are walked in place, exactly as their
// iterators would walk them.
template <class F>
void for_each_item(PyObject* seq, F&& f) {
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    // A list's iterator re-reads the size at every step; so does this loop.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq, i));
      f(item.get());
    }
    return;
  }
  PyRef it = checked(PyObject_GetIter(seq));
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item = PyRef::steal(raw);
    f(item.get());
  }
  if (PyErr_Occurred()) throw PythonError{};
}

}  // namespace palimp::py
