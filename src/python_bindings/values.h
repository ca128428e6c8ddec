// The four segment value classes: plain immutable records through which
// segments reach Python.  The class is the variant.
#pragma once

#include <string>
#include <vector>

#include "check.h"
#include "core.h"
#include "python_bindings/pyref.h"
#include "symbol_span.h"

namespace palimp::py {

// Type objects, created once per process on first need.
PyTypeObject* literal_segment_type();
PyTypeObject* reference_segment_type();
PyTypeObject* literal_tokens_type();
PyTypeObject* reference_tokens_type();

// New value objects straight from C++ values (no argument processing).  A
// literal copies symbols [start, start + len) of `text` or `tokens`
// (checked) into the object, as wide as they are stored there.
PyRef make_literal_segment(const SymbolSpan& text, u64 start, u64 len);
PyRef make_reference_segment(const Reference& bytes);
PyRef make_literal_tokens(const SymbolSpan& tokens, u64 start, u64 len);
PyRef make_reference_tokens(u64 message, u64 start, u64 len);

// A new list of Python ints, one per id.
PyRef int_list(const SymbolSpan& ids);

}  // namespace palimp::py
