// Conversion between UTF-8 texts and their code points.
//
// Text mode runs the engines on the Unicode scalar values of a text, one value
// per character, and turns literal runs back into UTF-8.  The conversion is
// one-to-one and nothing more: no case folding, no composition of combining
// marks, no trimming, nothing dropped (NUL and control characters included),
// so text -> code points -> text gives back the same bytes.
//
// Texts handed to these functions are valid UTF-8 (they come from the
// interpreter's string objects); nothing here validates them.  Invalid input
// gives unspecified values but never a read or write outside the buffers.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "symbol_span.h"

namespace palimp {

// The code points of `utf8`, one per character, in text order.  Reserved
// exactly (one counting pass, one decoding pass).  Never fails on valid text.
std::vector<u32> string_to_u32s(std::string_view utf8);

// The UTF-8 text whose characters are `values`.  Throws InternalError("invalid
// unicode scalar in string_from_u32") when a value is a surrogate
// (U+D800..U+DFFF) or above U+10FFFF; nothing partial is returned.  One pass.
std::string u32s_to_string(std::span<const u32> values);

// A text's code points in the narrowest storage that holds its largest one,
// as the interpreter keeps its compact strings: width 1 when every code point
// is below 256, 2 below 65536, 4 otherwise.
struct CodeUnits {
  u8 width = 1;            // bytes per code point: 1, 2 or 4
  std::vector<u8> bytes;   // size * width bytes, native byte order
  u64 size = 0;            // in code points
  bool ascii = true;       // every code point is below 0x80

  SymbolSpan span() const { return SymbolSpan{bytes.data(), size, width}; }
};

// Decodes `utf8` into CodeUnits: one vectorisable pass for the width and the
// character count, one pass to fill (a plain copy for ASCII text).
CodeUnits to_code_units(std::string_view utf8);

// What one pass over a text's code points tells: its UTF-8 length, and
// whether it holds a surrogate (U+D800..U+DFFF), which has no UTF-8 form.
struct TextScan {
  u64 bytes = 0;
  bool surrogate = false;
};

// Scans the code points of `s` in one pass, appending to `marks` the UTF-8
// offset of characters 0, stride, 2 * stride, ... (below s.size), and of the
// end when it falls on a multiple of stride.  Written so that the compiler
// vectorises it: two- and four-byte text is checked for surrogates and
// measured at once, a stride of symbols at a time.  stride is kMarkStride.
inline constexpr u64 kMarkStride = 64;
TextScan scan_text(const SymbolSpan& s, std::vector<u64>& marks);

// Whether `s` holds a surrogate.  One vectorised pass.
bool has_surrogate(const SymbolSpan& s);

// Number of UTF-8 bytes of code points [start, start + len) of `s`.  Requires
// start + len <= s.size (checked).  O(len), branch-free and vectorisable.
u64 utf8_length(const SymbolSpan& s, u64 start, u64 len);

// The same for len < kMarkStride, as byte offsets from a mark need: a pass
// of fixed length where kMarkStride values follow start, else as above.
u64 utf8_length_short(const SymbolSpan& s, u64 start, u64 len);

// Appends the UTF-8 of code points [start, start + len) of `s` to `out`.
// Requires start + len <= s.size (checked).  The values are code points
// produced by to_code_units or string_to_u32s; any other value still gets
// exactly the number of bytes utf8_length counts for it.  `out` grows once, by
// the exact amount; runs of ASCII in one-byte storage are copied whole.
void append_utf8(const SymbolSpan& s, u64 start, u64 len, std::string& out);

}  // namespace palimp
