// Conversions of the compressor classes' arguments: message lists and engine
// options.  Each follows the module's conversion rules exactly and raises
// their errors; the bulk paths (lists of small ints, integer NumPy arrays,
// the interpreter's own string storage) give the same results and the same
// errors as converting element by element.
#pragma once

#include <optional>
#include <vector>

#include "core.h"
#include "python_bindings/args.h"

namespace palimp::py {

// `messages` of from_tokens: a sequence whose entries are None (absent,
// dropped) or sequences of token ids.  Returns the present messages.
TokenStore to_token_messages(PyObject* messages);

// `messages` of the text class methods: a sequence whose entries are None or
// str.  The views read the interpreter's own storage of each str; `keep`
// holds every present str so the views stay valid while it lives.
struct TextMessages {
  PyRef keep;                                // a list of the present str objects
  std::vector<std::optional<TextView>> views;  // one per entry of the caller's list
};
TextMessages to_text_messages(PyObject* messages);

// The keyword-only engine arguments, in signature order: exact_mode,
// min_match_len, lookback, cap_len, ncap (nullptr where omitted).
struct EngineOptions {
  bool exact = true;
  EngineParams params;
};
EngineOptions to_engine_options(PyObject* const* bound);

}  // namespace palimp::py
