#include "hashed_binary.h"

#include "engine/binary.h"

namespace palimp {

HashedGreedyBinary HashedGreedyBinary::new_tokens(std::span<const TokenSpan> messages,
                                                  const EngineParams& params) {
  return new_tokens(TokenStore(messages), params);
}

HashedGreedyBinary HashedGreedyBinary::new_tokens(TokenStore tokens, const EngineParams& params,
                                                  const Interrupt& interrupt) {
  const std::vector<SymbolSpan> spans = tokens.spans();
  SegmentTable segments = exact_segments(spans, params.min_match_len, interrupt);
  return HashedGreedyBinary(TokenEngineState{params, std::move(segments), std::move(tokens)});
}

}  // namespace palimp
