#include "normalize.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <type_traits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace palimp {
namespace {

constexpr u64 kHighBits = 0x8080808080808080ull;  // the top bit of each of 8 bytes

bool is_scalar(u32 v) { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

// Writes the UTF-8 of `v` at `o` and returns its length, 1 to 4 bytes.  Any
// u32 gets exactly the length that bytes_of counts for it, scalar or not, so
// a buffer sized by utf8_length is never overrun.
u64 put_utf8(u32 v, char* o) {
  if (v < 0x80) {
    o[0] = static_cast<char>(v);
    return 1;
  }
  if (v < 0x800) {
    o[0] = static_cast<char>(0xC0 | (v >> 6));
    o[1] = static_cast<char>(0x80 | (v & 0x3F));
    return 2;
  }
  if (v < 0x10000) {
    o[0] = static_cast<char>(0xE0 | (v >> 12));
    o[1] = static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    o[2] = static_cast<char>(0x80 | (v & 0x3F));
    return 3;
  }
  o[0] = static_cast<char>(0xF0 | ((v >> 18) & 0x07));
  o[1] = static_cast<char>(0x80 | ((v >> 12) & 0x3F));
  o[2] = static_cast<char>(0x80 | ((v >> 6) & 0x3F));
  o[3] = static_cast<char>(0x80 | (v & 0x3F));
  return 4;
}

// Decodes the UTF-8 in [p, end), handing at most `cap` values to put(i, v),
// and returns how many it handed over.  The lead byte alone decides a
// sequence's width (below 0xE0: two bytes, below 0xF0: three, else four); a
// sequence cut short by the end of the text takes only the bytes there are.
template <class Put>
u64 decode_utf8(const u8* p, const u8* end, u64 cap, Put put) {
  u64 n = 0;
  while (p != end && n < cap) {
    if (end - p >= 8 && cap - n >= 8) {
      u64 word;
      std::memcpy(&word, p, 8);
      if ((word & kHighBits) == 0) {  // eight ASCII characters
        for (u64 j = 0; j < 8; ++j) put(n + j, p[j]);
        p += 8;
        n += 8;
        continue;
      }
    }
    const u8 lead = *p;
    if (lead < 0x80) {
      put(n++, lead);
      ++p;
      continue;
    }
    u32 v;
    u64 width;
    if (lead < 0xE0) {
      v = lead & 0x1F;
      width = 2;
    } else if (lead < 0xF0) {
      v = lead & 0x0F;
      width = 3;
    } else {
      v = lead & 0x07;
      width = 4;
    }
    width = std::min<u64>(width, static_cast<u64>(end - p));
    for (u64 j = 1; j < width; ++j) v = (v << 6) | (p[j] & 0x3F);
    put(n++, v);
    p += width;
  }
  return n;
}

const u8* bytes_begin(std::string_view s) { return reinterpret_cast<const u8*>(s.data()); }

// Characters of valid UTF-8: the bytes that are not continuation bytes.
u64 count_chars(std::string_view s) {
  u64 n = 0;
  for (const char c : s) n += (static_cast<u8>(c) & 0xC0) != 0x80;
  return n;
}

// UTF-8 bytes of `len` code points at p.  For one-byte storage the two upper
// comparisons are constant false and vanish.
template <class T>
u64 bytes_of(const T* p, u64 len) {
  u64 extra = 0;
  for (u64 i = 0; i < len; ++i) {
    const u32 v = p[i];
    extra += static_cast<u64>(v >= 0x80) + static_cast<u64>(v >= 0x800) + static_cast<u64>(v >= 0x10000);
  }
  return len + extra;
}

// UTF-8 bytes of the first `len` (< kMarkStride) of the kMarkStride code
// points at p (one- or two-byte storage): one pass of fixed length with the
// values from len on masked out, which the compiler turns into straight
// vector code with no loop exit to mispredict (6-10 ns a call against 14-16
// for bytes_of over a random length below 64).
template <class T>
u64 bytes_of_stride(const T* p, u64 len) {
  using Sum = std::conditional_t<sizeof(T) == 1, u8, u16>;  // lanes as wide as the values; at most 2 * 64
  static_assert(sizeof(T) <= 2);
  using Value = u16;
  const Value n = static_cast<Value>(len);
  Sum extra = 0;
  for (Value i = 0; i < kMarkStride; ++i) {
    const Value v = p[i];
    const Sum in = static_cast<Sum>(0) - static_cast<Sum>(i < n);  // all ones while i < len
    const Sum more = static_cast<Sum>(static_cast<Sum>(v >= 0x80) + static_cast<Sum>(v >= 0x800));
    extra = static_cast<Sum>(extra + (more & in));
  }
  return len + extra;
}

// One-byte storage: ASCII runs are copied as they are, every other value
// (0x80..0xFF) becomes two bytes.
char* put_utf8_latin1(const u8* p, u64 len, char* o) {
  u64 i = 0;
  while (i < len) {
    u64 j = i;
    while (len - j >= 8) {
      u64 word;
      std::memcpy(&word, p + j, 8);
      if (word & kHighBits) break;
      j += 8;
    }
    while (j < len && p[j] < 0x80) ++j;
    std::memcpy(o, p + i, j - i);
    o += j - i;
    for (i = j; i < len && p[i] >= 0x80; ++i) {
      o[0] = static_cast<char>(0xC0 | (p[i] >> 6));
      o[1] = static_cast<char>(0x80 | (p[i] & 0x3F));
      o += 2;
    }
  }
  return o;
}

// UTF-8 bytes beyond the first of code point v, and whether v is a
// surrogate, as branch-free sums the compiler can vectorise.  One-byte
// storage holds neither surrogates nor values from 0x800 on.
template <class T>
u32 extra_bytes(T v) {
  const u32 x = v;
  u32 extra = x >= 0x80;
  if constexpr (sizeof(T) > 1) extra += x >= 0x800;
  if constexpr (sizeof(T) > 2) extra += x >= 0x10000;
  return extra;
}
template <class T>
u32 is_surrogate(T v) {
  if constexpr (sizeof(T) == 1) {
    return 0;
  } else {
    return (static_cast<u32>(v) & 0xFFFFF800u) == 0xD800;
  }
}

// The scan of symbols [c, n), fewer than a stride's worth after the last
// full stride: one more mark, and the sums.
template <class T>
void scan_tail(const T* p, u64 c, u64 n, TextScan& out, u32& bad, std::vector<u64>& marks) {
  marks.push_back(out.bytes);  // at the end itself when c == n
  u64 extra = 0;
  for (u64 i = c; i < n; ++i) {
    extra += extra_bytes(p[i]);
    bad |= is_surrogate(p[i]);
  }
  out.bytes += (n - c) + extra;
}

template <class T>
TextScan scan_chunks(const T* p, u64 n, std::vector<u64>& marks) {
  TextScan out;
  u32 bad = 0;
  u64 c = 0;
  for (; n - c >= kMarkStride; c += kMarkStride) {
    marks.push_back(out.bytes);
    u32 extra = 0;
    for (u64 i = 0; i < kMarkStride; ++i) {
      extra += extra_bytes(p[c + i]);
      bad |= is_surrogate(p[c + i]);
    }
    out.bytes += kMarkStride + extra;
  }
  scan_tail(p, c, n, out, bad, marks);
  out.surrogate = bad != 0;
  return out;
}

#if defined(__x86_64__)
// Two-byte text, the bulk of non-Latin text, sixteen code points per
// instruction.  Per lane, v >> 7 == 0 and v >> 11 == 0 compare to -1 for a
// code point below 0x80 and below 0x800, so 2 plus their sum is the number
// of UTF-8 bytes beyond the first; and (v & 0xF800) == 0xD800 marks a
// surrogate.  Lanes add at most 2 * 64 / 16 = 8 a stride: no overflow.
[[gnu::target("avx2")]] TextScan scan_u16_avx2(const u16* p, u64 n, std::vector<u64>& marks) {
  static_assert(kMarkStride % 16 == 0);
  TextScan out;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i high = _mm256_set1_epi16(static_cast<short>(0xF800));
  const __m256i surrogate = _mm256_set1_epi16(static_cast<short>(0xD800));
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i bad = zero;
  u64 c = 0;
  const u64 strides = n / kMarkStride;
  const u64 first_mark = marks.size();
  marks.resize(first_mark + strides);
  u64* mark = marks.data() + first_mark;
  for (; n - c >= kMarkStride; c += kMarkStride) {
    *mark++ = out.bytes;
    __m256i below = zero;  // minus the lanes' counts of "below 0x80" and "below 0x800"
    for (u64 i = 0; i < kMarkStride; i += 16) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + c + i));
      below = _mm256_add_epi16(below, _mm256_cmpeq_epi16(_mm256_srli_epi16(v, 7), zero));
      below = _mm256_add_epi16(below, _mm256_cmpeq_epi16(_mm256_srli_epi16(v, 11), zero));
      bad = _mm256_or_si256(bad, _mm256_cmpeq_epi16(_mm256_and_si256(v, high), surrogate));
    }
    const __m256i sums = _mm256_madd_epi16(below, ones);  // eight 32-bit sums
    const __m128i half = _mm_add_epi32(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    const __m128i quarter = _mm_add_epi32(half, _mm_shuffle_epi32(half, 0x4E));
    const __m128i total = _mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, 0xB1));
    const int minus = _mm_cvtsi128_si32(total);  // -(below 0x80) - (below 0x800), in [-128, 0]
    out.bytes += kMarkStride + static_cast<u64>(2 * static_cast<int>(kMarkStride) + minus);
  }
  u32 tail_bad = static_cast<u32>(!_mm256_testz_si256(bad, bad));
  scan_tail(p, c, n, out, tail_bad, marks);
  out.surrogate = tail_bad != 0;
  return out;
}

bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}
#endif

TextScan scan_u16(const u16* p, u64 n, std::vector<u64>& marks) {
#if defined(__x86_64__)
  if (has_avx2()) return scan_u16_avx2(p, n, marks);
#endif
  return scan_chunks(p, n, marks);
}

}  // namespace

TextScan scan_text(const SymbolSpan& s, std::vector<u64>& marks) {
  if (s.width == 2) return scan_u16(s.as<u16>(), s.size, marks);
  return with_symbols(s, [&](const auto* p) { return scan_chunks(p, s.size, marks); });
}

bool has_surrogate(const SymbolSpan& s) {
  return with_symbols(s, [&](const auto* p) {
    u32 bad = 0;
    for (u64 i = 0; i < s.size; ++i) bad |= is_surrogate(p[i]);
    return bad != 0;
  });
}

std::vector<u32> string_to_u32s(std::string_view utf8) {
  std::vector<u32> out(count_chars(utf8));
  u32* o = out.data();
  const u64 n = decode_utf8(bytes_begin(utf8), bytes_begin(utf8) + utf8.size(), out.size(),
                            [o](u64 i, u32 v) { o[i] = v; });
  out.resize(n);  // shorter only for invalid UTF-8
  return out;
}

std::string u32s_to_string(std::span<const u32> values) {
  std::string out;
  out.reserve(values.size());
  for (const u32 v : values) {
    if (v < 0x80) {
      out.push_back(static_cast<char>(v));
      continue;
    }
    if (!is_scalar(v)) throw InternalError("invalid unicode scalar in string_from_u32");
    char buf[4];
    out.append(buf, put_utf8(v, buf));
  }
  return out;
}

CodeUnits to_code_units(std::string_view utf8) {
  // The largest byte tells the width without decoding: continuation bytes are
  // at most 0xBF, leads 0xC2/0xC3 start U+0080..U+00FF, leads up to 0xEF start
  // code points below U+10000, and leads from 0xF0 on start the rest.
  u8 top = 0;
  u64 chars = 0;
  for (const char c : utf8) {
    const u8 b = static_cast<u8>(c);
    top = std::max(top, b);
    chars += (b & 0xC0) != 0x80;
  }
  CodeUnits cu;
  cu.ascii = top < 0x80;
  cu.width = top >= 0xF0 ? 4 : top >= 0xC4 ? 2 : 1;
  if (cu.ascii) {
    cu.bytes.assign(bytes_begin(utf8), bytes_begin(utf8) + utf8.size());
    cu.size = utf8.size();
    return cu;
  }
  cu.bytes.resize(chars * cu.width);
  u8* o = cu.bytes.data();
  const u8* begin = bytes_begin(utf8);
  const u8* end = begin + utf8.size();
  // Wider values are stored with memcpy, which gives the byte buffer objects
  // of the wider type that SymbolSpan then reads.
  switch (cu.width) {
    case 1:
      cu.size = decode_utf8(begin, end, chars, [o](u64 i, u32 v) { o[i] = static_cast<u8>(v); });
      break;
    case 2:
      cu.size = decode_utf8(begin, end, chars, [o](u64 i, u32 v) {
        const u16 x = static_cast<u16>(v);
        std::memcpy(o + 2 * i, &x, 2);
      });
      break;
    default:
      cu.size = decode_utf8(begin, end, chars, [o](u64 i, u32 v) { std::memcpy(o + 4 * i, &v, 4); });
      break;
  }
  cu.bytes.resize(cu.size * cu.width);  // shorter only for invalid UTF-8
  return cu;
}

u64 utf8_length(const SymbolSpan& s, u64 start, u64 len) {
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  if (len == 0) return 0;
  return with_symbols(s, [&](const auto* p) { return bytes_of(p + start, len); });
}

u64 utf8_length_short(const SymbolSpan& s, u64 start, u64 len) {
  PALIMP_CHECK(start <= s.size && len <= s.size - start && len < kMarkStride);
  if (s.size - start < kMarkStride) return utf8_length(s, start, len);  // near the end: no full stride to read
  return with_symbols(s, [&](const auto* p) -> u64 {
    // Four-byte storage is rare (text beyond the basic plane) and its masked
    // pass is slower than the plain count.
    if constexpr (sizeof(*p) == 4) {
      return bytes_of(p + start, len);
    } else {
      return bytes_of_stride(p + start, len);
    }
  });
}

void append_utf8(const SymbolSpan& s, u64 start, u64 len, std::string& out) {
  const u64 bytes = utf8_length(s, start, len);  // checks the range
  if (bytes == 0) return;
  const u64 at = out.size();
  out.resize(checked_add(at, bytes));
  char* const first = out.data() + at;
  with_symbols(s, [&](const auto* p) {
    using T = std::remove_cvref_t<decltype(*p)>;
    p += start;
    char* o = first;
    if constexpr (sizeof(T) == 1) {
      if (bytes == len) {
        std::memcpy(o, p, len);  // all ASCII
        o += len;
      } else {
        o = put_utf8_latin1(p, len, o);
      }
    } else {
      for (u64 i = 0; i < len; ++i) o += put_utf8(p[i], o);
    }
    assert(o == first + bytes);
  });
}

}  // namespace palimp
