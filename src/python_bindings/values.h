// The four segment value classes: plain immutable records through which
// segments reach Python.  The class is the variant.
#pragma once

#include <string>
#include <vector>

#include "check.h"
#include "python_bindings/pyref.h"

namespace palimp::py {

// Type objects, created once per process on first need.
PyTypeObject* literal_segment_type();
PyTypeObject* reference_segment_type();
PyTypeObject* literal_tokens_type();
PyTypeObject* reference_tokens_type();

// New value objects straight from C++ values (no argument processing); the
// literals take over their storage.
PyRef make_literal_segment(std::string&& text);
PyRef make_reference_segment(u64 message, u64 start, u64 len);
PyRef make_literal_tokens(std::vector<u32>&& tokens);
PyRef make_reference_tokens(u64 message, u64 start, u64 len);

}  // namespace palimp::py
