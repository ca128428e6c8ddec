#include "symbols.h"

#include <algorithm>
#include <cassert>
#include <bit>
#include <new>
#include <utility>

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

u8 narrowest_width(std::span<const u32> ids) { return TokenStore::width_for(or_of(ids)); }

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
  const u8 width = narrowest_width(tokens);
  narrow_copy(tokens.data(), tokens.size(), width, add_uninitialized(tokens.size(), width));
}

void* TokenStore::add_uninitialized(u64 n, u8 width) {
  PALIMP_CHECK(width == 1 || width == 2 || width == 4);
  PALIMP_CHECK(n <= UINT64_MAX / 4);
  const u64 offset = arena_.extend(n * width, 4);
  entries_.push_back({offset, n, width});
  return arena_.data() + offset;
}

void TokenStore::narrow_last() {
  PALIMP_CHECK(!entries_.empty() && entries_.back().width == 4);
  Entry& e = entries_.back();
  u8* bytes = arena_.data() + e.offset;
  u32 bits = 0;
  for (u64 i = 0; i < e.size; ++i) {
    u32 id;
    std::memcpy(&id, bytes + 4 * i, 4);
    bits |= id;
  }
  const u8 width = width_for(bits);
  if (width == 4) return;
  // Front to back: each id is read before a narrower write can reach it.
  for (u64 i = 0; i < e.size; ++i) {
    u32 id;
    std::memcpy(&id, bytes + 4 * i, 4);
    if (width == 1) {
      bytes[i] = static_cast<u8>(id);
    } else {
      const u16 narrow = static_cast<u16>(id);
      std::memcpy(bytes + 2 * i, &narrow, 2);
    }
  }
  e.width = width;
  arena_.truncate(e.offset + e.size * width);
}

void TokenStore::drop_last() {
  PALIMP_CHECK(!entries_.empty());
  arena_.truncate(entries_.back().offset);
  entries_.pop_back();
}

std::vector<SymbolSpan> TokenStore::spans() const {
  std::vector<SymbolSpan> out(entries_.size());
  spans_into(out.data());
  return out;
}

void TokenStore::spans_into(SymbolSpan* out) const {
  for (u64 i = 0; i < entries_.size(); ++i) out[i] = span(i);
}

void TokenStore::append_to(u64 i, u64 start, u64 len, std::vector<u32>& out) const {
  const SymbolSpan s = span(i);
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  const u64 at = out.size();
  out.resize(at + len);
  with_symbols(s, [&](const auto* p) { std::copy(p + start, p + start + len, out.data() + at); });
}

PlaceNumbering::PlaceNumbering(std::span<const SymbolSpan> messages) : first_(messages.size() + 1) {
  u64 total = 0;
  for (u64 m = 0; m < messages.size(); ++m) {
    first_[m] = total;
    total = checked_add(total, messages[m].size);
  }
  first_[messages.size()] = total;
}

u64 PlaceNumbering::message_of(u64 place) const {
  assert(place < total());
  const std::span<const u64> first = first_.span();
  return static_cast<u64>(std::upper_bound(first.begin(), first.end(), place) - first.begin()) - 1;
}

u64 indexable_windows(std::span<const SymbolSpan> messages, u64 k) {
  u64 windows = 0;
  if (k == 0) return 0;
  for (u64 m = 0; m + 1 < messages.size(); ++m) {
    if (messages[m].size >= k) windows += messages[m].size - k + 1;
  }
  return windows;
}

SegmentTable::SegmentTable(SegmentTable&& o) noexcept
    : last_(std::exchange(o.last_, nullptr)),
      current_(std::exchange(o.current_, nullptr)),
      capacity_(std::exchange(o.capacity_, 0)),
      used_(std::exchange(o.used_, 0)),
      open_at_(std::exchange(o.open_at_, 0)),
      lists_(std::exchange(o.lists_, nullptr)),
      count_(std::exchange(o.count_, 0)),
      lists_capacity_(std::exchange(o.lists_capacity_, 0)),
      own_lists_(std::move(o.own_lists_)),
      pieces_(std::exchange(o.pieces_, 0)) {}

SegmentTable& SegmentTable::operator=(SegmentTable&& o) noexcept {
  if (this != &o) {
    release();
    last_ = std::exchange(o.last_, nullptr);
    current_ = std::exchange(o.current_, nullptr);
    capacity_ = std::exchange(o.capacity_, 0);
    used_ = std::exchange(o.used_, 0);
    open_at_ = std::exchange(o.open_at_, 0);
    lists_ = std::exchange(o.lists_, nullptr);
    count_ = std::exchange(o.count_, 0);
    lists_capacity_ = std::exchange(o.lists_capacity_, 0);
    own_lists_ = std::move(o.own_lists_);
    pieces_ = std::exchange(o.pieces_, 0);
  }
  return *this;
}

void SegmentTable::release() noexcept {
  while (last_ != nullptr) {
    Chunk* previous = last_->previous;
    ::operator delete(last_);
    last_ = previous;
  }
}

void SegmentTable::grow() {
  assert(open_at_ <= used_);
  const u64 open = used_ - open_at_;
  const bool first = last_ == nullptr;
  // Chunks start small, for the many small inputs, and grow to kChunkPieces.
  const u64 capacity = first ? kFirstChunkPieces : std::max(std::min(kChunkPieces, 2 * capacity_), 2 * open);
  const u64 lists = first ? kFirstLists : 0;
  PALIMP_CHECK(capacity <= (UINT64_MAX / 2 - sizeof(Chunk) - lists * sizeof(List)) / sizeof(Piece));
  // Left uninitialised: lists and pieces are written before they are read.
  auto* chunk =
      static_cast<Chunk*>(::operator new(sizeof(Chunk) + lists * sizeof(List) + capacity * sizeof(Piece)));
  chunk->previous = last_;
  auto* list_area = reinterpret_cast<List*>(chunk + 1);
  auto* pieces = reinterpret_cast<Piece*>(list_area + lists);
  if (open > 0) std::copy(current_ + open_at_, current_ + used_, pieces);
  if (first) {
    lists_ = list_area;
    lists_capacity_ = lists;
  }
  last_ = chunk;
  current_ = pieces;
  capacity_ = capacity;
  used_ = open;
  open_at_ = 0;
}

void SegmentTable::grow_lists() {
  PALIMP_CHECK(lists_capacity_ <= UINT64_MAX / 2 / sizeof(List) / 2);
  const u64 capacity = 2 * lists_capacity_;
  std::unique_ptr<List[]> fresh(new List[capacity]);
  std::copy(lists_, lists_ + count_, fresh.get());
  own_lists_ = std::move(fresh);  // frees the lists it held before, if any
  lists_ = own_lists_.get();
  lists_capacity_ = capacity;
}

void SegmentTable::end_message() {
  assert(open_at_ <= used_);
  if (last_ == nullptr) grow();  // the first chunk holds the first lists
  if (count_ == lists_capacity_) grow_lists();
  const u64 count = used_ - open_at_;
  lists_[count_++] = {count == 0 ? nullptr : current_ + open_at_, count};
  pieces_ += count;
  open_at_ = used_;
}

std::span<const Piece> SegmentTable::message(u64 i) const {
  PALIMP_CHECK(i < count_);
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
