// Shared helpers for the engine tests: building messages, printing segments,
// and a deterministic generator of repetitive inputs.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "contract.h"
#include "core.h"
#include "segment_table.h"

namespace palimp {

inline void PrintTo(const TokenSegment& s, std::ostream* os) {
  if (const auto* l = std::get_if<Literal>(&s)) {
    *os << "L[";
    for (size_t i = 0; i < l->tokens.size(); ++i) *os << (i ? ", " : "") << l->tokens[i];
    *os << "]";
  } else {
    const auto& r = std::get<Reference>(s);
    *os << "R(" << r.message << ", " << r.start << ", " << r.len << ")";
  }
}

namespace testing {

using Messages = std::vector<std::vector<u32>>;
using Lists = std::vector<std::vector<TokenSegment>>;

inline TokenSegment L(std::vector<u32> t) { return Literal{std::move(t)}; }
inline TokenSegment R(u64 m, u64 s, u64 l) { return Reference{m, s, l}; }

inline std::vector<u32> iota_ids(u32 from, u32 to) {  // from .. to inclusive
  std::vector<u32> v;
  for (u32 x = from; x <= to; ++x) v.push_back(x);
  return v;
}

inline std::vector<u32> concat(std::vector<u32> a, const std::vector<u32>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::vector<std::span<const u32>> views(const Messages& m) {
  return std::vector<std::span<const u32>>(m.begin(), m.end());
}

// The segment lists of an engine's table, with literals copied out of `msgs`.
inline Lists to_lists(const SegmentTable& table, const Messages& msgs) {
  return token_segment_lists(table, [&](u64 i, u64 start, u64 len, std::vector<u32>& out) {
    out.assign(msgs[i].begin() + static_cast<std::ptrdiff_t>(start),
               msgs[i].begin() + static_cast<std::ptrdiff_t>(start + len));
  });
}

// Successive versions over a small alphabet: each message copies stretches of
// earlier ones with edits in between, so matches, near-matches and ties are
// common.
inline Messages random_versions(std::mt19937_64& rng, u32 alphabet, int count, int max_len) {
  Messages out;
  std::uniform_int_distribution<u32> sym(0, alphabet - 1);
  for (int m = 0; m < count; ++m) {
    std::vector<u32> msg;
    const int target = std::uniform_int_distribution<int>(0, max_len)(rng);
    while (static_cast<int>(msg.size()) < target) {
      if (!out.empty() && rng() % 3 != 0) {
        const auto& src = out[rng() % out.size()];
        if (src.empty()) continue;
        const u64 s = rng() % src.size();
        const u64 l = 1 + rng() % std::min<u64>(src.size() - s, 40);
        msg.insert(msg.end(), src.begin() + s, src.begin() + s + l);
      } else {
        const int l = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < l; ++i) msg.push_back(sym(rng));
      }
    }
    out.push_back(std::move(msg));
  }
  return out;
}

// The differential tests' random input: versions as random_versions makes
// them, and on odd rounds over symbols whose windows collide often under base
// 257 ([x, y] and [x - 1, y + 257] hash alike).
inline Messages random_input(std::mt19937_64& rng, int round) {
  static const std::vector<u32> colliding{0, 1, 2, 257, 258, 259};
  Messages msgs = random_versions(rng, 2 + static_cast<u32>(rng() % 5), 1 + static_cast<int>(rng() % 14), 120);
  if (round % 2) {
    for (auto& m : msgs)
      for (auto& t : m) t = colliding[t % colliding.size()];
  }
  return msgs;
}

using contract::Engine;

// The engines' contract (contract.h) as a test assertion.
inline ::testing::AssertionResult holds_contract(const Messages& msgs, const Lists& lists, u64 k, Engine engine) {
  const std::string why = contract::violation(msgs, lists, k, engine);
  if (why.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << why;
}

}  // namespace testing
}  // namespace palimp
