#pragma once

#include <span>
#include <vector>

#include "big_buffer.h"
#include "check.h"
#include "symbol_span.h"

namespace palimp {

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


 private:
  struct Entry {
    u64 offset;  // in the arena
    u64 size;    // in tokens
    u8 width;
  };
  ByteArena arena_;
  std::vector<Entry> entries_;
};

}  // namespace palimp
