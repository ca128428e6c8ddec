#include "symbols.h"

#include <algorithm>
#include <cassert>
#include <bit>

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

TokenStore::TokenStore(std::span<const std::span<const u32>> messages) {
  u64 total = 0;
  for (const auto& m : messages) total = checked_add(total, m.size());
  reserve_tokens(total, 4, messages.size());
  entries_.reserve(messages.size());
  for (const auto& m : messages) add(m);
}

void TokenStore::reserve_tokens(u64 tokens, u8 width, u64 messages) {
  PALIMP_CHECK(tokens <= (UINT64_MAX - arena_.size()) / 8 && messages <= UINT64_MAX / 8);
  arena_.reserve(arena_.size() + tokens * width + 4 * messages);  // and each message's alignment
}

void TokenStore::add(std::span<const u32> tokens) {
  const u8 width = width_for(or_of(tokens));
  narrow_copy(tokens.data(), tokens.size(), width, add_uninitialized(tokens.size(), width));
}

void* TokenStore::add_uninitialized(u64 n, u8 width) {
  PALIMP_CHECK(width == 1 || width == 2 || width == 4);
  PALIMP_CHECK(n <= UINT64_MAX / 4);
  const u64 offset = arena_.extend(n * width, 4);
  entries_.push_back({offset, n, width});
  return arena_.data() + offset;
}

void TokenStore::drop_last() {
  PALIMP_CHECK(!entries_.empty());
  arena_.truncate(entries_.back().offset);
  entries_.pop_back();
}

SymbolSpan TokenStore::span(u64 i) const {
  PALIMP_CHECK(i < entries_.size());
  const Entry& e = entries_[i];
  return SymbolSpan{arena_.data() + e.offset, e.size, e.width};
}

std::vector<SymbolSpan> TokenStore::spans() const {
  std::vector<SymbolSpan> out;
  out.reserve(entries_.size());
  for (u64 i = 0; i < entries_.size(); ++i) out.push_back(span(i));
  return out;
}

void TokenStore::append_to(u64 i, u64 start, u64 len, std::vector<u32>& out) const {
  const SymbolSpan s = span(i);
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  const u64 at = out.size();
  out.resize(at + len);
  with_symbols(s, [&](const auto* p) { std::copy(p + start, p + start + len, out.data() + at); });
}

PlaceNumbering::PlaceNumbering(std::span<const SymbolSpan> messages) {
  first_.reserve(messages.size() + 1);
  u64 total = 0;
  for (const auto& m : messages) {
    first_.push_back(total);
    total = checked_add(total, m.size);
  }
  first_.push_back(total);
}

u64 PlaceNumbering::message_of(u64 place) const {
  assert(place < total());
  return static_cast<u64>(std::upper_bound(first_.begin(), first_.end(), place) - first_.begin()) - 1;
}

u64 indexable_windows(std::span<const SymbolSpan> messages, u64 k) {
  u64 windows = 0;
  if (k == 0) return 0;
  for (u64 m = 0; m + 1 < messages.size(); ++m) {
    if (messages[m].size >= k) windows += messages[m].size - k + 1;
  }
  return windows;
}

void SegmentTable::grow() {
  assert(open_at_ <= used_);
  const u64 open = used_ - open_at_;
  // Chunks start small, for the many small inputs, and grow to kChunkPieces.
  const u64 capacity = std::max(std::min(kChunkPieces, std::max<u64>(64, 2 * capacity_)), 2 * open);
  std::unique_ptr<Piece[]> chunk(new Piece[capacity]);  // left uninitialised
  if (open > 0) std::copy(chunks_.back().get() + open_at_, chunks_.back().get() + used_, chunk.get());
  chunks_.push_back(std::move(chunk));
  capacity_ = capacity;
  used_ = open;
  open_at_ = 0;
}

void SegmentTable::end_message() {
  assert(open_at_ <= used_);
  const u64 count = used_ - open_at_;
  lists_.push_back({count == 0 ? nullptr : chunks_.back().get() + open_at_, count});
  pieces_ += count;
  open_at_ = used_;
}

std::span<const Piece> SegmentTable::message(u64 i) const {
  PALIMP_CHECK(i < lists_.size());
  return {lists_[i].first, lists_[i].count};
}

bool operator==(const SegmentTable& a, const SegmentTable& b) {
  if (a.messages() != b.messages()) return false;
  for (u64 i = 0; i < a.messages(); ++i) {
    if (!std::ranges::equal(a.message(i), b.message(i))) return false;
  }
  return true;
}

}  // namespace palimp
