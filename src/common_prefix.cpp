#include "common_prefix.h"

namespace palimp {

namespace {

template <class A, class B>
u64 mixed_prefix(const A* a, const B* b, u64 limit) {
  for (u64 j = 0; j < limit; ++j) {
    if (static_cast<u32>(a[j]) != static_cast<u32>(b[j])) return j;
  }
  return limit;
}

}  // namespace

u64 common_bytes(const u8* a, const u8* b, u64 n, u64 from) {
  u64 i = from;
  while (n - i >= 32) {
    u64 wa[4], wb[4];
    std::memcpy(wa, a + i, 32);
    std::memcpy(wb, b + i, 32);
    const u64 d0 = wa[0] ^ wb[0], d1 = wa[1] ^ wb[1], d2 = wa[2] ^ wb[2], d3 = wa[3] ^ wb[3];
    if (d0 | d1 | d2 | d3) {
      const u64 word = d0 ? 0 : d1 ? 1 : d2 ? 2 : 3;
      const u64 d = d0 ? d0 : d1 ? d1 : d2 ? d2 : d3;
      return i + word * 8 + static_cast<u64>(std::countr_zero(d)) / 8;
    }
    i += 32;
  }
  while (n - i >= 8) {
    u64 wa, wb;
    std::memcpy(&wa, a + i, 8);
    std::memcpy(&wb, b + i, 8);
    if (const u64 d = wa ^ wb) return i + static_cast<u64>(std::countr_zero(d)) / 8;
    i += 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

u64 common_prefix_mixed(const SymbolSpan& a, u64 ai, const SymbolSpan& b, u64 bi, u64 limit) {
  return with_symbols(a, [&](const auto* pa) {
    return with_symbols(b, [&](const auto* pb) { return mixed_prefix(pa + ai, pb + bi, limit); });
  });
}

}  // namespace palimp
