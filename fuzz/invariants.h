// The properties every segment list of a token engine has, checked against
// the messages it was computed from.
#pragma once

#include <span>
#include <vector>

#include "fuzz_support.h"

namespace palimp::fuzz {

enum class Engine { kExact, kCapped };

// Lists tile their messages; references point strictly backwards, stay inside
// the referenced message and name exactly the symbols they stand for;
// literals are never empty and references never shorter than max(k, 1).
// Exact lists never hold two literals side by side; capped lists never hold
// two references that continue each other in one source.
inline void check_lists(const std::vector<std::vector<u32>>& msgs, const std::vector<std::vector<TokenSegment>>& lists,
                        u64 k, Engine engine) {
  FUZZ_CHECK(lists.size() == msgs.size(), lists.size() << " lists for " << msgs.size() << " messages");
  for (u64 i = 0; i < msgs.size(); ++i) {
    const std::vector<u32>& m = msgs[i];
    u64 at = 0;
    const TokenSegment* prev = nullptr;
    for (const TokenSegment& seg : lists[i]) {
      if (const auto* l = std::get_if<Literal>(&seg)) {
        FUZZ_CHECK(!l->tokens.empty(), "empty literal in message " << i);
        FUZZ_CHECK(l->tokens.size() <= m.size() - at, "literal runs past the end of message " << i);
        FUZZ_CHECK(std::equal(l->tokens.begin(), l->tokens.end(), m.begin() + at),
                   "literal differs from message " << i << " at " << at);
        if (engine == Engine::kExact) {
          FUZZ_CHECK(!(prev && std::holds_alternative<Literal>(*prev)), "adjacent literals in message " << i);
        }
        at += l->tokens.size();
      } else {
        const Reference& r = std::get<Reference>(seg);
        FUZZ_CHECK(r.message < i, "reference of message " << i << " to " << r.message);
        const std::vector<u32>& src = msgs[r.message];
        FUZZ_CHECK(r.start <= src.size() && r.len <= src.size() - r.start,
                   "reference (" << r.message << "," << r.start << "," << r.len << ") outside its source");
        FUZZ_CHECK(r.len >= std::max<u64>(k, 1), "reference of " << r.len << " symbols with k = " << k);
        FUZZ_CHECK(r.len <= m.size() - at, "reference runs past the end of message " << i);
        FUZZ_CHECK(std::equal(src.begin() + r.start, src.begin() + r.start + r.len, m.begin() + at),
                   "reference (" << r.message << "," << r.start << "," << r.len << ") names other symbols than "
                                 << "message " << i << " at " << at);
        if (engine == Engine::kCapped && prev) {
          if (const auto* q = std::get_if<Reference>(prev)) {
            FUZZ_CHECK(!(q->message == r.message && q->start + q->len == r.start),
                       "unmerged contiguous references in message " << i);
          }
        }
        at += r.len;
      }
      prev = &seg;
    }
    FUZZ_CHECK(at == m.size(), "segments of message " << i << " cover " << at << " of " << m.size());
  }
  if (!msgs.empty() && !msgs[0].empty()) {
    FUZZ_CHECK(lists[0].size() == 1 && std::holds_alternative<Literal>(lists[0][0]), "message 0 is not one literal");
  }
}

// What render_with must give for `lists` when every reference becomes
// `replacement`.
inline std::vector<std::vector<u32>> rendered(const std::vector<std::vector<TokenSegment>>& lists,
                                              const std::vector<u32>& replacement) {
  std::vector<std::vector<u32>> out;
  for (const auto& list : lists) {
    std::vector<u32> v;
    for (const auto& seg : list) {
      const auto* l = std::get_if<Literal>(&seg);
      const std::vector<u32>& add = l ? l->tokens : replacement;
      v.insert(v.end(), add.begin(), add.end());
    }
    out.push_back(std::move(v));
  }
  return out;
}

// Rendering by a token compressor: with the identity every message comes
// back; with a fixed replacement the result follows the lists, and the
// bulk path agrees with the per-reference one.
inline void check_rendering(const PalimpTokens& engine, const TokenEngineState& state,
                            const std::vector<std::vector<u32>>& msgs,
                            const std::vector<std::vector<TokenSegment>>& lists) {
  u64 calls = 0;
  const auto copies = engine.render_with([&](TokenSpan s) {
    ++calls;
    return std::vector<u32>(s.begin(), s.end());
  });
  FUZZ_CHECK(copies == msgs, "identity rendering differs from the input");
  u64 refs = 0;
  for (const auto& list : lists) {
    for (const auto& seg : list) refs += std::holds_alternative<Reference>(seg);
  }
  FUZZ_CHECK(calls == refs, calls << " calls for " << refs << " references");
  const std::vector<u32> rep{7, 0xFFFFFFFFu};
  const auto expected = rendered(lists, rep);
  FUZZ_CHECK(engine.render_with([&](TokenSpan) { return rep; }) == expected, "rendering with a replacement");
  FUZZ_CHECK(state.render_replacing(rep) == expected, "bulk rendering with a replacement");
  FUZZ_CHECK(state.render_replacing({}) == rendered(lists, {}), "bulk rendering with nothing");
}

}  // namespace palimp::fuzz
