// The segments an engine produces, in one compact table.
#pragma once

#include <algorithm>
#include <cassert>
#include <memory>
#include <span>

#include "check.h"

namespace palimp {

// One piece of a message as an engine emits it: a literal run of the
// message's own symbols, or a reference to an earlier message.
struct Piece {
  static constexpr u64 kLiteral = UINT64_MAX;
  u64 source;  // kLiteral, or the engine index of the referenced message
  u64 start;   // literal: position in its own message; reference: in `source`
  u64 len;     // in symbols; never 0
  bool is_literal() const { return source == kLiteral; }
  friend bool operator==(const Piece&, const Piece&) = default;
};

// Segment lists of all messages.  Pieces live in large chunks, each
// message's pieces side by side in one chunk, so the table grows without ever
// copying what it holds (a doubling vector would briefly hold it twice).
// Chunks start small and are linked to each other; the first one also holds
// the lists of the first messages, so a table of a few short messages costs
// a single allocation.
class SegmentTable {
 public:
  SegmentTable() = default;
  SegmentTable(SegmentTable&& o) noexcept;
  SegmentTable& operator=(SegmentTable&& o) noexcept;
  SegmentTable(const SegmentTable&) = delete;
  SegmentTable& operator=(const SegmentTable&) = delete;
  ~SegmentTable() { release(); }

  void add_literal(u64 start, u64 len) { push({Piece::kLiteral, start, len}); }
  // `source` is a message already ended: references point strictly backwards.
  void add_reference(u64 source, u64 start, u64 len) {
    assert(source < messages());
    push({source, start, len});
  }
  void end_message();
  // Room for `pieces` pieces in the first chunk, for an engine that can
  // tell how many a small input will have: the chunks that grow to hold
  // them would hold about twice as many.  Takes effect only before the
  // first piece.
  void expect(u64 pieces) {
    if (last_ == nullptr) first_pieces_ = std::min(std::max(pieces, kFirstChunkPieces), kChunkPieces);
  }

  u64 messages() const { return count_; }
  u64 pieces() const { return pieces_; }
  std::span<const Piece> message(u64 i) const;  // requires i < messages()

  friend bool operator==(const SegmentTable& a, const SegmentTable& b);

 private:
  static constexpr u64 kChunkPieces = 4096;
  static constexpr u64 kFirstChunkPieces = 16;
  static constexpr u64 kFirstLists = 16;  // lists kept in the first chunk
  struct List {
    const Piece* first;
    u64 count;
  };
  // A chunk: this header, then (in the first chunk only) kFirstLists lists,
  // then its pieces.
  struct Chunk {
    Chunk* previous;
  };
  static_assert(sizeof(Chunk) % alignof(List) == 0 && sizeof(List) % alignof(Piece) == 0);

  void push(const Piece& p) {
    assert(p.len > 0 && open_at_ <= used_ && used_ <= capacity_);
    if (used_ == capacity_) grow();
    current_[used_++] = p;
  }
  void grow();        // a new chunk, taking along the open message's pieces
  void grow_lists();  // room for twice as many lists, outside the chunks
  void release() noexcept;

  Chunk* last_ = nullptr;     // the newest chunk; the others hang off it
  Piece* current_ = nullptr;  // the pieces of the newest chunk
  u64 capacity_ = 0;          // pieces the newest chunk holds
  u64 used_ = 0;              // pieces used in the newest chunk
  u64 open_at_ = 0;           // index in the newest chunk where the open message begins
  List* lists_ = nullptr;     // in the first chunk, or in own_lists_
  u64 count_ = 0;             // lists, one per ended message
  u64 lists_capacity_ = 0;
  std::unique_ptr<List[]> own_lists_;
  u64 pieces_ = 0;
  u64 first_pieces_ = kFirstChunkPieces;  // capacity of the first chunk
};

// Turns the table into one list of records per message, in order: for
// message i of n pieces, begin(i, n) opens its list, each(i, j, piece) adds
// the record of its piece j, and end(i) closes the list.  The walk of every
// caller that hands segments out (the bindings, the core's own records, the
// tests) is this one.
template <class Begin, class Each, class End>
void for_each_record(const SegmentTable& table, Begin&& begin, Each&& each, End&& end) {
  for (u64 i = 0; i < table.messages(); ++i) {
    const std::span<const Piece> pieces = table.message(i);
    begin(i, static_cast<u64>(pieces.size()));
    for (u64 j = 0; j < pieces.size(); ++j) each(i, j, pieces[j]);
    end(i);
  }
}

}  // namespace palimp
