#include "symbols.h"

#include <bit>

namespace palimp {
namespace {

// Same-width comparison, a machine word at a time.
template <class T>
u64 common_prefix_same(const T* a, const T* b, u64 limit) {
  const u64 bytes = limit * sizeof(T);
  const auto* pa = reinterpret_cast<const unsigned char*>(a);
  const auto* pb = reinterpret_cast<const unsigned char*>(b);
  u64 i = 0;
  while (bytes - i >= 32) {
    u64 wa[4], wb[4];
    std::memcpy(wa, pa + i, 32);
    std::memcpy(wb, pb + i, 32);
    const u64 d0 = wa[0] ^ wb[0], d1 = wa[1] ^ wb[1], d2 = wa[2] ^ wb[2], d3 = wa[3] ^ wb[3];
    if (d0 | d1 | d2 | d3) {
      const u64 word = d0 ? 0 : d1 ? 1 : d2 ? 2 : 3;
      const u64 d = d0 ? d0 : d1 ? d1 : d2 ? d2 : d3;
      return (i + word * 8 + std::countr_zero(d) / 8) / sizeof(T);
    }
    i += 32;
  }
  while (bytes - i >= 8) {
    u64 wa, wb;
    std::memcpy(&wa, pa + i, 8);
    std::memcpy(&wb, pb + i, 8);
    if (const u64 d = wa ^ wb) return (i + std::countr_zero(d) / 8) / sizeof(T);
    i += 8;
  }
  for (u64 j = i / sizeof(T); j < limit; ++j) {
    if (a[j] != b[j]) return j;
  }
  return limit;
}

template <class A, class B>
u64 common_prefix_mixed(const A* a, const B* b, u64 limit) {
  for (u64 j = 0; j < limit; ++j) {
    if (static_cast<u32>(a[j]) != static_cast<u32>(b[j])) return j;
  }
  return limit;
}

}  // namespace

u64 common_prefix(const SymbolSpan& a, u64 ai, const SymbolSpan& b, u64 bi, u64 limit) {
  PALIMP_CHECK(ai <= a.size && limit <= a.size - ai && bi <= b.size && limit <= b.size - bi);
  if (limit == 0) return 0;
  return with_symbols(a, [&](const auto* pa) {
    return with_symbols(b, [&](const auto* pb) -> u64 {
      using A = std::remove_cvref_t<decltype(*pa)>;
      using B = std::remove_cvref_t<decltype(*pb)>;
      if constexpr (std::is_same_v<A, B>) {
        return common_prefix_same(pa + ai, pb + bi, limit);
      } else {
        return common_prefix_mixed(pa + ai, pb + bi, limit);
      }
    });
  });
}

TokenStore::TokenStore(std::span<const std::span<const u32>> messages) {
  u64 total = 0;
  for (const auto& m : messages) total = checked_add(total, m.size());
  arena_.reserve(total);
  ends_.reserve(messages.size());
  for (const auto& m : messages) {
    append(m);
    end_message();
  }
}

std::span<const u32> TokenStore::message(u64 i) const {
  PALIMP_CHECK(i < ends_.size());
  const u64 begin = i == 0 ? 0 : ends_[i - 1];
  return std::span<const u32>(arena_.data() + begin, ends_[i] - begin);
}

std::vector<SymbolSpan> TokenStore::spans() const {
  std::vector<SymbolSpan> out;
  out.reserve(ends_.size());
  for (u64 i = 0; i < ends_.size(); ++i) {
    const auto m = message(i);
    out.push_back({m.data(), m.size(), 4});
  }
  return out;
}

std::span<const Piece> SegmentTable::message(u64 i) const {
  PALIMP_CHECK(i < ends_.size());
  const u64 begin = i == 0 ? 0 : ends_[i - 1];
  return std::span<const Piece>(pieces_.data() + begin, ends_[i] - begin);
}

std::span<const Piece> SegmentTable::open_message() const {
  const u64 begin = ends_.empty() ? 0 : ends_.back();
  return std::span<const Piece>(pieces_.data() + begin, pieces_.size() - begin);
}

}  // namespace palimp
