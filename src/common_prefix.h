// How far two symbol sequences agree: the comparison under every match the
// engines measure.
#pragma once

#include <bit>
#include <cassert>
#include <cstring>

#include "check.h"
#include "symbol_span.h"

namespace palimp {

// Number of equal leading bytes of a and b, at most n, of which the first
// `from` (<= n) are known to be equal.  Eight and thirty-two bytes at a time.
u64 common_bytes(const u8* a, const u8* b, u64 n, u64 from);
// common_prefix for spans of different widths, symbol by symbol.
u64 common_prefix_mixed(const SymbolSpan& a, u64 ai, const SymbolSpan& b, u64 bi, u64 limit);

// Number of equal symbols at a[ai..] and b[bi..], at most `limit`.
// Requires ai + limit <= a.size and bi + limit <= b.size (checked).
// O(result).  The engines measure many runs that end within a few symbols,
// so spans of one width compare their first two machine words here, inline;
// symbols of one width are equal exactly when their bytes are.
inline u64 common_prefix(const SymbolSpan& a, u64 ai, const SymbolSpan& b, u64 bi, u64 limit) {
  PALIMP_CHECK(ai <= a.size && limit <= a.size - ai && bi <= b.size && limit <= b.size - bi);
  if (a.width != b.width) return common_prefix_mixed(a, ai, b, bi, limit);
  const u64 w = a.width;
  const u32 shift = a.width >> 1;  // bytes to symbols without a division: widths are 1, 2 or 4
  assert(w == u64{1} << shift);
  const u8* pa = static_cast<const u8*>(a.data) + ai * w;
  const u8* pb = static_cast<const u8*>(b.data) + bi * w;
  const u64 n = limit * w;
  if (n < 16) return common_bytes(pa, pb, n, 0) >> shift;
  u64 x, y;
  std::memcpy(&x, pa, 8);
  std::memcpy(&y, pb, 8);
  if (const u64 d = x ^ y) return static_cast<u64>(std::countr_zero(d)) / 8 >> shift;
  std::memcpy(&x, pa + 8, 8);
  std::memcpy(&y, pb + 8, 8);
  if (const u64 d = x ^ y) return (8 + static_cast<u64>(std::countr_zero(d)) / 8) >> shift;
  return common_bytes(pa, pb, n, 16) >> shift;
}

}  // namespace palimp
