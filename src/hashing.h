// Polynomial window hashes over unsigned 64-bit wrapping arithmetic.
//
// The hash of a window t[0..len) is sum over j of t[j] * base^(len-1-j),
// modulo 2^64.  It depends only on the window's tokens, never on where the
// window lies, so windows of different sequences compare directly.  Equal
// windows always hash alike; different windows can collide, which is why the
// engines confirm every hash match by comparing symbols.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "check.h"
#include "symbol_span.h"

namespace palimp {

inline constexpr u64 HASH_BASE = 257;

// ---- What the engines use.

// base^e modulo 2^64.  O(log e).
u64 pow_u64(u64 base, u64 e);

// Multiplicative inverse of an odd number modulo 2^64.
u64 inverse_u64(u64 odd);

// Hash of the w symbols at x, computed afresh, four symbols per link of the
// dependency chain.  O(w).
template <class T>
u64 hash_direct(const T* x, u64 w) {
  constexpr u64 kBase2 = HASH_BASE * HASH_BASE;
  constexpr u64 kBase4 = kBase2 * kBase2;
  u64 h = 0;
  u64 i = 0;
  for (; w - i >= 4; i += 4) {
    h = h * kBase4 + ((u64{x[i]} * HASH_BASE + x[i + 1]) * HASH_BASE + x[i + 2]) * HASH_BASE + x[i + 3];
  }
  for (; i < w; ++i) h = h * HASH_BASE + x[i];
  return h;
}

// Hash of `len` symbols of `s` from `start`, computed afresh.  Requires
// start + len <= s.size (checked).  O(len).
u64 hash_symbols(const SymbolSpan& s, u64 start, u64 len);

// The one rolling step: from the hash of a window, the hash of the window one
// position on, where `out` is the symbol leaving, `in` the one entering and
// top = base^(window length).
[[gnu::always_inline]] inline u64 roll_step(u64 hash, u64 out, u64 in, u64 top) {
  return hash * HASH_BASE - out * top + in;
}

// A window of fixed length `len` rolled along one sequence, one position at a
// time, at the cost of two multiplications per step.
class RollingWindow {
 public:
  explicit RollingWindow(u64 len) : len_(len), top_(pow_u64(HASH_BASE, len)) {}
  u64 len() const { return len_; }
  // Hash of the window leaving `out` and taking in `in`, from its previous hash.
  u64 roll(u64 hash, u32 out, u32 in) const { return roll_step(hash, out, in, top_); }

 private:
  u64 len_;
  u64 top_;  // base^len
};

// ---- Reference hashing for the tests: every window hash of a sequence from
// a prefix table, against which the engines' rolled hashes are checked.

// (prefix table, power table) of `tokens`, each with tokens.size() + 1
// entries: prefix[i] hashes the first i tokens, power[i] = base^i.  One pass;
// both tables reserved up front.  Throws std::length_error when n + 1 entries
// cannot be allocated.
std::pair<std::vector<u64>, std::vector<u64>> prefix_hashes_u32(std::span<const u32> tokens, u64 base);

// Hash of the `len` tokens from `start` of the sequence the tables were built
// from.  Requires start + len <= n (checked).  O(1).
u64 window_hash(std::span<const u64> prefix, std::span<const u64> power, u64 start, u64 len);

}  // namespace palimp
