// The properties every segment list of a token engine has, checked against
// the messages it was computed from.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "contract.h"
#include "fuzz_support.h"

namespace palimp::fuzz {

using contract::Engine;

// Throws FuzzFailure unless `lists` keep the contract (see contract.h).
inline void check_lists(const std::vector<std::vector<u32>>& msgs, const std::vector<std::vector<TokenSegment>>& lists,
                        u64 k, Engine engine) {
  const std::string why = contract::violation(msgs, lists, k, engine);
  FUZZ_CHECK(why.empty(), why);
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

// Rendering by a token compressor, one of three checks as `which` says
// (0-2): with the identity every message comes back, calling once per
// reference; with a fixed replacement the result follows the lists; the
// bulk path with a replacement or with nothing does the same.
inline void check_rendering(const PalimpTokens& engine, const TokenEngineState& state,
                            const std::vector<std::vector<u32>>& msgs,
                            const std::vector<std::vector<TokenSegment>>& lists, u8 which) {
  const std::vector<u32> rep{7, 0xFFFFFFFFu};
  if (which % 3 == 0) {
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
  } else if (which % 3 == 1) {
    FUZZ_CHECK(engine.render_with([&](TokenSpan) { return rep; }) == rendered(lists, rep),
               "rendering with a replacement");
  } else if (which & 4) {
    FUZZ_CHECK(state.render_replacing(rep) == rendered(lists, rep), "bulk rendering with a replacement");
  } else {
    FUZZ_CHECK(state.render_replacing({}) == rendered(lists, {}), "bulk rendering with nothing");
  }
}

}  // namespace palimp::fuzz
