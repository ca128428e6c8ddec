// Symbol sequences as the engines see them.
//
// A message is a run of unsigned symbols (token ids or Unicode code points)
// stored 1, 2 or 4 bytes wide; the engines never care which, because a
// symbol's value, not its storage, is what they hash and compare.  Text keeps
// the narrowest width that holds its largest code point, so one-byte text
// costs one byte per character.
#pragma once

#include <cassert>
#include <span>

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

// The narrowest width (1, 2 or 4 bytes) that holds `max_id` (or the OR of
// all ids).
inline u8 width_for(u32 max_id) { return max_id < 0x100 ? 1 : max_id < 0x10000 ? 2 : 4; }

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

}  // namespace palimp
