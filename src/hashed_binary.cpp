#include "hashed_binary.h"

#include "engine/binary.h"
#include "inline_array.h"

namespace palimp {

HashedGreedyBinary HashedGreedyBinary::new_tokens(std::span<const TokenSpan> messages,
                                                  const EngineParams& params) {
  return new_tokens(TokenStore(messages), params);
}

HashedGreedyBinary HashedGreedyBinary::new_tokens(TokenStore tokens, const EngineParams& params,
                                                  const Interrupt& interrupt) {
  return HashedGreedyBinary(std::move(tokens), params, interrupt);
}

namespace {

SegmentTable segment(const TokenStore& tokens, u64 min_match_len, const Interrupt& interrupt) {
  InlineArray<SymbolSpan, 8> spans(tokens.messages());  // few messages need no allocation
  tokens.spans_into(spans.data());
  return exact_segments(spans.span(), min_match_len, interrupt);
}

}  // namespace

// The engine runs before the store moves into the state (members are
// initialised in order); the spans point into the store's arena, which
// stays put when the store moves.
HashedGreedyBinary::HashedGreedyBinary(TokenStore&& tokens, const EngineParams& params, const Interrupt& interrupt)
    : state_{params, segment(tokens, params.min_match_len, interrupt), std::move(tokens)} {}

}  // namespace palimp
