#include "capped.h"

#include "engine/capped.h"
#include "inline_array.h"

namespace palimp {

CappedHashedGreedy CappedHashedGreedy::new_tokens(TokenStore tokens, const EngineParams& params,
                                                  const Interrupt& interrupt) {
  InlineArray<SymbolSpan, 8> spans(tokens.messages());  // few messages need no allocation
  tokens.spans_into(spans.data());
  SegmentTable segments = capped_segments(spans.span(), params, interrupt);
  return CappedHashedGreedy(TokenEngineState{params, std::move(segments), std::move(tokens)});
}

CappedHashedGreedy approximate_tokens(std::span<const std::optional<TokenSpan>> messages,
                                      const EngineParams& params) {
  u64 total = 0, present = 0;
  for (const auto& m : messages) {
    if (m) total = checked_add(total, m->size()), ++present;
  }
  TokenStore tokens;
  tokens.reserve_tokens(total, 4, present);
  for (const auto& m : messages) {
    if (m) tokens.add(*m);
  }
  return CappedHashedGreedy::new_tokens(std::move(tokens), params);
}

}  // namespace palimp
