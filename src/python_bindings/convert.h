// Conversions of the compressor classes' arguments: message lists and engine
// options.  Each follows the module's conversion rules exactly and raises
// their errors, and counts its work on `signals` (a pending Ctrl-C ends it);
// the bulk paths (lists of small ints, integer NumPy arrays,
// the interpreter's own string storage) give the same results and the same
// errors as converting element by element.
#pragma once

#include <optional>
#include <vector>

#include "core.h"
#include "lib.h"
#include "python_bindings/args.h"
#include "python_bindings/signals.h"

namespace palimp::py {

// `messages` of from_tokens: a sequence whose entries are None (absent,
// dropped) or sequences of token ids.  Returns the present messages.
TokenStore to_token_messages(PyObject* messages, SignalMeter& signals);

// `messages` of the text class methods: a sequence whose entries are None or
// str.  The views read the interpreter's own storage of each str; `keep`
// holds every present str so the views stay valid while it lives.
struct TextMessages {
  PyRef keep;                                // a list of the present str objects
  std::vector<std::optional<TextView>> views;  // one per entry of the caller's list
};
TextMessages to_text_messages(PyObject* messages, SignalMeter& signals);

// `messages` of from_texts, converted straight into the store the text
// compressors read: the same rules and errors as to_text_messages, with one
// pass over each text that both checks it for surrogates and measures it.
struct TextStoreMessages {
  PyRef keep;  // holds the str objects whose storage `store` reads
  TextStore store;
};
TextStoreMessages to_text_store(PyObject* messages, SignalMeter& signals);

// The five keyword-only engine arguments of every class method that builds a
// compressor, declared once for all of them.
inline constexpr std::array<Param, 5> kEngineKeywords{
    keyword("exact_mode", Default::flag(true)), keyword("min_match_len", Default::size(4)),
    keyword("lookback", Default::none()),       keyword("cap_len", Default::size(64)),
    keyword("ncap", Default::size(64)),
};

// The declared defaults are the engines' own.
static_assert(default_of(kEngineKeywords, "min_match_len").value == EngineParams{}.min_match_len);
static_assert(default_of(kEngineKeywords, "cap_len").value == EngineParams{}.cap_len);
static_assert(default_of(kEngineKeywords, "ncap").value == EngineParams{}.ncap);

struct EngineOptions {
  bool exact = true;
  EngineParams params;
};

// The engine keywords of a call, found by name and converted in declaration
// order (a braced list evaluates left to right).
template <const auto& Sig>
EngineOptions to_engine_options(const Bound<Sig>& a) {
  return EngineOptions{
      a.template flag<"exact_mode">(),
      EngineParams{
          .min_match_len = a.template size<"min_match_len">(),
          .lookback = a.template optional_size<"lookback">(),
          .cap_len = a.template size<"cap_len">(),
          .ncap = a.template size<"ncap">(),
      },
  };
}

}  // namespace palimp::py
