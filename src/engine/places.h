// Where the engines stand: every position of every message as one number.
#pragma once

#include <cassert>
#include <span>

#include "check.h"
#include "inline_array.h"
#include "symbol_span.h"

namespace palimp {

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
  // at most `place`, which is not empty.  O(log messages); a conversation of
  // a few messages counts their starts instead, without a branch to miss.
  u64 message_of(u64 place) const {
    assert(place < total());
    const u64 messages = first_.size() - 1;
    if (messages > kCountedMessages) return searched_message_of(place);
    const u64* first = first_.data();
    u64 m = 0;
    for (u64 i = 1; i < messages; ++i) m += first[i] <= place;
    return m;
  }

 private:
  static constexpr u64 kCountedMessages = 16;
  u64 searched_message_of(u64 place) const;

  InlineArray<u64, 16> first_;  // one entry per message, then the total
};

// Windows of `k` symbols that indexing can ever file: those of every message
// but the last, which is never indexed.  0 when k is 0.
u64 indexable_windows(std::span<const SymbolSpan> messages, u64 k);

}  // namespace palimp
