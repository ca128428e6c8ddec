// HashedGreedyBinary: the exact engine's compressor object.  Built whole by
// new_tokens, read-only afterwards.
#pragma once

#include <span>

#include "core.h"
#include "interrupt.h"

namespace palimp {

class HashedGreedyBinary final : public PalimpTokens {
 public:
  // Copies `messages` and segments them with the exact engine.  Only
  // params.min_match_len affects the result.
  static HashedGreedyBinary new_tokens(std::span<const TokenSpan> messages, const EngineParams& params);
  // The same for messages already gathered into a store, which it takes over;
  // `interrupt` may end the work (exact_segments).
  static HashedGreedyBinary new_tokens(TokenStore tokens, const EngineParams& params,
                                       const Interrupt& interrupt = Interrupt{});
  // The same, built in place.
  HashedGreedyBinary(TokenStore&& tokens, const EngineParams& params, const Interrupt& interrupt = Interrupt{});

  const TokenEngineState& state() const { return state_; }
  std::vector<std::vector<TokenSegment>> segments() const override { return state_.segment_records(); }
  std::vector<std::vector<u32>> render_with(TokenRenderFn f) const override { return state_.render_with(f); }

 private:
  explicit HashedGreedyBinary(TokenEngineState state) : state_(std::move(state)) {}
  TokenEngineState state_;
};

}  // namespace palimp
