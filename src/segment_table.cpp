#include "segment_table.h"

#include <algorithm>
#include <new>
#include <utility>

namespace palimp {

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
      pieces_(std::exchange(o.pieces_, 0)),
      first_pieces_(o.first_pieces_) {}

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
    first_pieces_ = o.first_pieces_;
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
  const u64 capacity = first ? first_pieces_ : std::max(std::min(kChunkPieces, 2 * capacity_), 2 * open);
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
