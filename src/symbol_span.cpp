#include "symbol_span.h"

#include <algorithm>
#include <cstring>

namespace palimp {

namespace {

// Copies n ids into `width`-byte storage; every id fits the width.
void narrow_copy(const u32* src, u64 n, u8 width, void* dst) {
  switch (width) {
    case 1: {
      auto* d = static_cast<u8*>(dst);
      for (u64 i = 0; i < n; ++i) d[i] = static_cast<u8>(src[i]);
      return;
    }
    case 2: {
      auto* d = static_cast<u16*>(dst);
      for (u64 i = 0; i < n; ++i) d[i] = static_cast<u16>(src[i]);
      return;
    }
    default:
      if (n > 0) std::memcpy(dst, src, n * sizeof(u32));
  }
}

// The OR of the ids: below 2^8 or 2^16 exactly when every id is.
u32 or_of(std::span<const u32> ids) {
  u32 acc = 0;
  for (const u32 x : ids) acc |= x;
  return acc;
}

}  // namespace

u8 narrowest_width(std::span<const u32> ids) { return width_for(or_of(ids)); }

void store_narrow(std::span<const u32> ids, u8 width, void* dst) { narrow_copy(ids.data(), ids.size(), width, dst); }

namespace {

template <class T>
u32 max_of(const T* p, u64 n) {
  T m = 0;
  for (u64 i = 0; i < n; ++i) m = std::max(m, p[i]);
  return m;
}

template <class S, class D>
void convert(const S* src, u64 n, D* dst) {
  for (u64 i = 0; i < n; ++i) dst[i] = static_cast<D>(src[i]);
}

}  // namespace

u32 max_symbol(const SymbolSpan& s, u64 start, u64 len) {
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  return with_symbols(s, [&](const auto* p) { return max_of(p + start, len); });
}

void copy_symbols(const SymbolSpan& s, u64 start, u64 len, u8 width, void* dst) {
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  if (len == 0) return;
  if (width == s.width) {
    std::memcpy(dst, static_cast<const u8*>(s.data) + start * s.width, len * s.width);
    return;
  }
  with_symbols(s, [&](const auto* p) {
    switch (width) {
      case 1: return convert(p + start, len, static_cast<u8*>(dst));
      case 2: return convert(p + start, len, static_cast<u16*>(dst));
      case 4: return convert(p + start, len, static_cast<u32*>(dst));
    }
    check_failed("unreachable: symbol width");
  });
}

}  // namespace palimp
