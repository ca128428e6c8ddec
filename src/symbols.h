// Symbol sequences as the engines see them, and the compact segment table the
// engines produce.
//
// A message is a run of unsigned symbols (token ids or Unicode code points)
// stored 1, 2 or 4 bytes wide; the engines never care which, because a
// symbol's value, not its storage, is what they hash and compare.  Text keeps
// the narrowest width that holds its largest code point, so one-byte text
// costs one byte per character.
#pragma once

#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "big_buffer.h"
#include "check.h"

namespace palimp {

struct SymbolSpan {
  const void* data = nullptr;
  u64 size = 0;   // in symbols
  u8 width = 4;   // bytes per symbol: 1, 2 or 4

  u32 at(u64 i) const {  // value of symbol i; requires i < size
    assert(i < size);
    switch (width) {
      case 1: return static_cast<const u8*>(data)[i];
      case 2: return static_cast<const u16*>(data)[i];
      default: return static_cast<const u32*>(data)[i];
    }
  }
  template <class T>
  const T* as() const { return static_cast<const T*>(data); }
};

// Calls f with a typed pointer to the span's symbols (u8, u16 or u32).
template <class F>
decltype(auto) with_symbols(const SymbolSpan& s, F&& f) {
  switch (s.width) {
    case 1: return f(s.as<u8>());
    case 2: return f(s.as<u16>());
    case 4: return f(s.as<u32>());
  }
  check_failed("unreachable: symbol width");
}

// The narrowest width (1, 2 or 4 bytes) that holds every id of `ids`.
// One vectorised pass.
u8 narrowest_width(std::span<const u32> ids);
// Stores `ids` at `dst`, `width` bytes each; every id must fit the width.
void store_narrow(std::span<const u32> ids, u8 width, void* dst);

// The largest of symbols [start, start + len) of `s`, 0 when len is 0.
// Requires start + len <= s.size (checked).  One vectorised pass.
u32 max_symbol(const SymbolSpan& s, u64 start, u64 len);
// Writes symbols [start, start + len) of `s` (checked) to `dst`, `width`
// bytes each (1, 2 or 4; it may be narrower than s.width when every value
// fits it).  A plain copy when the widths agree.
void copy_symbols(const SymbolSpan& s, u64 start, u64 len, u8 width, void* dst);

// A fixed number of elements, kept inside the object when there are at most
// N of them and on the heap otherwise: scratch that small inputs get without
// an allocation.  Elements start uninitialised (T is trivially copyable).
// It moves as a value: nothing points into the object itself.
template <class T, size_t N>
class InlineArray {
 public:
  explicit InlineArray(u64 n) : size_(n) {
    if (n > N) heap_.reset(new T[n]);
  }
  T* data() { return heap_ ? heap_.get() : inline_; }
  const T* data() const { return heap_ ? heap_.get() : inline_; }
  u64 size() const { return size_; }
  T& operator[](u64 i) { return data()[i]; }
  const T& operator[](u64 i) const { return data()[i]; }
  std::span<const T> span() const { return {data(), size_}; }

 private:
  u64 size_;
  std::unique_ptr<T[]> heap_;
  T inline_[N];
};

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
  const u8* pa = static_cast<const u8*>(a.data) + ai * w;
  const u8* pb = static_cast<const u8*>(b.data) + bi * w;
  const u64 n = limit * w;
  if (n < 16) return common_bytes(pa, pb, n, 0) / w;
  u64 x, y;
  std::memcpy(&x, pa, 8);
  std::memcpy(&y, pb, 8);
  if (const u64 d = x ^ y) return static_cast<u64>(std::countr_zero(d)) / 8 / w;
  std::memcpy(&x, pa + 8, 8);
  std::memcpy(&y, pb + 8, 8);
  if (const u64 d = x ^ y) return (8 + static_cast<u64>(std::countr_zero(d)) / 8) / w;
  return common_bytes(pa, pb, n, 16) / w;
}

// Owned token sequences in one arena: the stored input of a token engine.
// Each sequence is kept in the narrowest width that holds its largest id (ids
// below 256 take one byte each), and widened back on the way out.
class TokenStore {
 public:
  TokenStore() = default;
  // Copies `messages`.
  explicit TokenStore(std::span<const std::span<const u32>> messages);

  // Room for `tokens` more tokens stored `width` bytes each, in `messages`
  // sequences, so that adding them does not reallocate.
  void reserve_tokens(u64 tokens, u8 width, u64 messages);
  // Adds a sequence holding a copy of `tokens`.
  void add(std::span<const u32> tokens);
  // Adds a sequence of n tokens stored `width` bytes each (1, 2 or 4); the
  // caller writes them at the returned address before adding anything else.
  void* add_uninitialized(u64 n, u8 width);
  // Removes the sequence added last.
  void drop_last();
  // Stores the sequence added last, which was added 4 bytes wide, in the
  // narrowest width that holds its ids, in place.  O(its length).
  void narrow_last();
  // Room for `messages` more sequences' entries.
  void reserve_messages(u64 messages) { entries_.reserve(entries_.size() + messages); }

  u64 messages() const { return entries_.size(); }
  SymbolSpan span(u64 i) const {  // requires i < messages()
    PALIMP_CHECK(i < entries_.size());
    const Entry& e = entries_[i];
    return SymbolSpan{arena_.data() + e.offset, e.size, e.width};
  }
  std::vector<SymbolSpan> spans() const;
  // The same into `out`, which holds messages() entries.
  void spans_into(SymbolSpan* out) const;
  // Appends tokens [start, start + len) of sequence i to `out` (checked).
  void append_to(u64 i, u64 start, u64 len, std::vector<u32>& out) const;

  // The narrowest width that holds `max_id` (or the OR of all ids).
  static u8 width_for(u32 max_id) { return max_id < 0x100 ? 1 : max_id < 0x10000 ? 2 : 4; }

 private:
  struct Entry {
    u64 offset;  // in the arena
    u64 size;    // in tokens
    u8 width;
  };
  ByteArena arena_;
  std::vector<Entry> entries_;
};

// The positions of all messages numbered one after another: the place of
// position j of message m is first(m) + j, so comparing places compares
// (message, position).  One number identifies a place in the engines' tables.
// Up to kInline messages need no heap memory.
class PlaceNumbering {
 public:
  explicit PlaceNumbering(std::span<const SymbolSpan> messages);
  u64 first(u64 m) const {  // requires m < messages
    assert(m + 1 < first_.size());
    return first_[m];
  }
  u64 total() const { return first_[first_.size() - 1]; }
  // The message holding `place` (< total()): the last whose first place is
  // at most `place`, which is not empty.  O(log messages).
  u64 message_of(u64 place) const;

 private:
  InlineArray<u64, 16> first_;  // one entry per message, then the total
};

// Windows of `k` symbols that indexing can ever file: those of every message
// but the last, which is never indexed.  0 when k is 0.
u64 indexable_windows(std::span<const SymbolSpan> messages, u64 k);

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
};

}  // namespace palimp
