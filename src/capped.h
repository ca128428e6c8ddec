// CappedHashedGreedy: the capped engine's compressor object in token mode.
// Built whole by approximate_tokens (or new_tokens), read-only afterwards.
#pragma once

#include <optional>
#include <span>

#include "core.h"
#include "interrupt.h"

namespace palimp {

class CappedHashedGreedy final : public PalimpTokens {
 public:
  // Segments messages already gathered into a store, which it takes over;
  // the store holds present messages only, numbered 0, 1, ...  Reads
  // params.min_match_len, cap_len and ncap; stores params unchanged.
  static CappedHashedGreedy new_tokens(TokenStore tokens, const EngineParams& params,
                                       const Interrupt& interrupt = Interrupt{});

  const TokenEngineState& state() const { return state_; }
  std::vector<std::vector<TokenSegment>> segments() const override { return state_.segment_records(); }
  std::vector<std::vector<u32>> render_with(TokenRenderFn f) const override { return state_.render_with(f); }

 private:
  explicit CappedHashedGreedy(TokenEngineState state) : state_(std::move(state)) {}
  TokenEngineState state_;
};

// Copies the present entries of `messages` and segments them with the capped
// engine.  Absent entries are dropped: the object's messages, and the message
// indices of its references, count present entries only.  No input is
// rejected.
CappedHashedGreedy approximate_tokens(std::span<const std::optional<TokenSpan>> messages,
                                      const EngineParams& params);

}  // namespace palimp
