#include "hashed_binary.h"

#include "engine/binary.h"

namespace palimp {

HashedGreedyBinary HashedGreedyBinary::new_tokens(std::span<const TokenSpan> messages,
                                                  const EngineParams& params) {
  return new_tokens(TokenStore(messages), params);
}

HashedGreedyBinary HashedGreedyBinary::new_tokens(TokenStore tokens, const EngineParams& params) {
  return HashedGreedyBinary(std::move(tokens), params);
}

namespace {

SegmentTable segment(const TokenStore& tokens, u64 min_match_len) {
  InlineArray<SymbolSpan, 8> spans(tokens.messages());  // few messages need no allocation
  tokens.spans_into(spans.data());
  return exact_segments(spans.span(), min_match_len);
}

}  // namespace

// The engine runs before the store moves into the state (members are
// initialised in order); the spans point into the store's arena, which
// stays put when the store moves.
HashedGreedyBinary::HashedGreedyBinary(TokenStore&& tokens, const EngineParams& params)
    : state_{params, segment(tokens, params.min_match_len), std::move(tokens)} {}

}  // namespace palimp
