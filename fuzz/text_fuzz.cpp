// Text mode: the code-point conversions and offset tables, and both text
// compressors on texts decoded from the input (shapes.h).  Their segments
// must keep the contract in bytes (checked in linear time at any size) and
// be the token engine's segments over code points, with references
// translated to list positions and UTF-8 bytes: the slow engines give those
// for inputs small enough, the token engines beyond.  A second run over the
// texts read in place must agree, and rendering must follow the segments.
#include <cstring>

#include "capped.h"
#include "hashed_binary.h"
#include "invariants.h"
#include "lib.h"
#include "mutator.h"
#include "normalize.h"
#include "reference_engines.h"
#include "shapes.h"

namespace palimp::fuzz {
namespace {

// Code points of every UTF-8 width and every storage width (1, 2, 4 bytes),
// the last of each range, NUL and the neighbours of the surrogates; then
// ranges that give generated prose a vocabulary in one script or across
// the widths' edges (the surrogates skipped).
std::vector<u32> scalar_range(u32 first, u32 n) {
  std::vector<u32> v;
  for (u32 c = first; v.size() < n; ++c) {
    if (c < 0xD800 || c > 0xDFFF) v.push_back(c);
  }
  return v;
}
const std::vector<std::vector<u32>> kAlphabets = {
    {'a', 'b'},
    {'a', 0xE9, 0xFF},                 // one-byte storage, two-byte UTF-8
    {'a', 0x100, 0x7FF, 0x800},        // two-byte storage
    {'a', 0x4E2D, 0xD7FF, 0xE000, 0xFFFF},
    {'a', 0x1F600, 0x10000, 0x10FFFF},  // four-byte storage
    {0, '\n', ' ', 'a'},
    {'a', 0xE9, 0x4E2D, 0x1F600},
    scalar_range(0x20, 95),    // printable ASCII
    scalar_range(0x60, 192),   // across 0x80 and 0x100
    scalar_range(0x3B0, 64),   // Greek
    scalar_range(0x4E00, 96),  // CJK
    scalar_range(0xD7C0, 96),  // around the surrogates
    scalar_range(0xFFC0, 96),  // across 0x10000
};

constexpr u64 kDraftTotal = 256;  // code points of a free-form draft
constexpr u64 kDraftMessages = 24;
// Inputs up to this many code points also go through the slow engines, as
// in the engines harness (see there).
constexpr u64 kOracleCut = 2048;

u64 utf8_width(u32 v) { return v < 0x80 ? 1 : v < 0x800 ? 2 : v < 0x10000 ? 3 : 4; }

// UTF-8 of scalar values, written independently of the library.
std::string encode(const std::vector<u32>& cps) {
  std::string s;
  for (const u32 v : cps) {
    if (v < 0x80) {
      s += static_cast<char>(v);
    } else if (v < 0x800) {
      s += static_cast<char>(0xC0 | (v >> 6));
      s += static_cast<char>(0x80 | (v & 0x3F));
    } else if (v < 0x10000) {
      s += static_cast<char>(0xE0 | (v >> 12));
      s += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (v & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (v >> 18));
      s += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (v & 0x3F));
    }
  }
  return s;
}

// Byte offsets of the character boundaries, as the contract defines them.
std::vector<u64> offsets_of(const std::vector<u32>& cps) {
  std::vector<u64> t{0};
  for (const u32 v : cps) t.push_back(t.back() + utf8_width(v));
  return t;
}

// A range past the end of a text is refused (an exception, which costs a
// run more than all its other checks of a text; one text per run is enough).
void check_refused_past_end(const std::vector<u32>& cps) {
  const CodeUnits cu = to_code_units(encode(cps));
  bool threw = false;
  try {
    utf8_length(cu.span(), cps.size(), 1);
  } catch (const InternalError&) {
    threw = true;
  }
  FUZZ_CHECK(threw, "utf8_length past the end is not refused");
}

// The conversions of one valid text; ranges and offsets drawn from `seed`.
void check_conversions(u64 seed, const std::vector<u32>& cps, const std::string& text) {
  FUZZ_CHECK(string_to_u32s(text) == cps, "string_to_u32s");
  FUZZ_CHECK(u32s_to_string(cps) == text, "u32s_to_string");
  const std::vector<u64> table = offsets_of(cps);
  FUZZ_CHECK(compute_offsets(text) == table, "compute_offsets");

  const CodeUnits cu = to_code_units(text);
  u32 top = 0;
  for (const u32 v : cps) top = std::max(top, v);
  FUZZ_CHECK(cu.size == cps.size(), "to_code_units size");
  FUZZ_CHECK(cu.ascii == (top < 0x80), "to_code_units ascii");
  FUZZ_CHECK(cu.width == (top < 0x100 ? 1 : top < 0x10000 ? 2 : 4), "to_code_units width " << int{cu.width});
  const SymbolSpan span = cu.span();
  for (u64 i = 0; i < cps.size(); ++i) FUZZ_CHECK(span.at(i) == cps[i], "to_code_units value " << i);

  // Ranges of characters: their UTF-8 length and bytes.
  for (u64 round = 0; round < 4 && !cps.empty(); ++round) {
    const u64 s = mix(seed + round) % (cps.size() + 1);
    const u64 l = mix(~seed - round) % (cps.size() - s + 1);
    FUZZ_CHECK(utf8_length(span, s, l) == table[s + l] - table[s], "utf8_length");
    std::string out = "x";
    append_utf8(span, s, l, out);
    FUZZ_CHECK(out == "x" + text.substr(table[s], table[s + l] - table[s]), "append_utf8 of " << s << "+" << l);
  }

  TextStore store;
  store.add_owned(text);
  FUZZ_CHECK(store.byte_length(0) == text.size(), "TextStore byte_length");
  // Every offset of a short text (each costs up to 64 steps), a sample of a
  // long one's: the first and last ones and 64 drawn.
  const u64 n = cps.size();
  for (u64 c = 0; c <= n; c += n <= 512 || c < 128 || c + 128 > n ? 1 : 1 + mix(seed ^ c) % (n / 64)) {
    FUZZ_CHECK(store.byte_offset(0, c) == table[c], "byte_offset " << c);
  }
}

// Arbitrary bytes, valid UTF-8 or not: nothing reads or writes outside its
// buffers, and the results keep their shapes.
void check_raw(const std::string& bytes) {
  const std::vector<u32> cps = string_to_u32s(bytes);
  const std::vector<u64> table = compute_offsets(bytes);
  FUZZ_CHECK(table.front() == 0 && table.back() == bytes.size(), "offset table ends");
  for (u64 i = 1; i < table.size(); ++i) FUZZ_CHECK(table[i - 1] < table[i], "offsets not increasing");
  const CodeUnits cu = to_code_units(bytes);
  FUZZ_CHECK(cu.size <= bytes.size() && cu.bytes.size() == cu.size * cu.width, "to_code_units shape");
  std::string out;
  append_utf8(cu.span(), 0, cu.size, out);
  std::vector<std::optional<std::string>> list{bytes, std::nullopt, bytes};
  const Exact e = exact(list, EngineParams{});
  e.segments();
  e.render_with([](std::string_view s) { return std::string(s); });

  // Any 32-bit values: refused exactly when one is not a scalar value;
  // otherwise they come back from their text.
  // The edges of the UTF-8 widths and of the scalar range come up often.
  static constexpr u32 kEdges[] = {0x7F,   0x80,   0x7FF,  0x800,    0xD7FF,   0xD800,    0xDBFF,    0xDC00,
                                   0xDFFF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF, 0x110000, 0xFFFFFFFF};
  std::vector<u32> values;
  bool scalar = true;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    u32 v;
    std::memcpy(&v, bytes.data() + i, 4);
    const u8 pick = static_cast<u8>(bytes[i]);
    if (pick < 96) {
      v = kEdges[pick % std::size(kEdges)];
    } else if (pick < 192) {
      v &= 0x1FFFFF;  // near the scalar range
    }
    values.push_back(v);
    scalar = scalar && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF);
  }
  try {
    const std::string s = u32s_to_string(values);
    FUZZ_CHECK(scalar, "a non-scalar value was converted");
    FUZZ_CHECK(string_to_u32s(s) == values, "scalar values do not come back");
  } catch (const InternalError& err) {
    FUZZ_CHECK(!scalar, "scalar values refused");
    FUZZ_CHECK(std::string(err.what()) == "invalid unicode scalar in string_from_u32", err.what());
  }
}

using Lists = std::vector<std::vector<TokenSegment>>;

// The segments a text compressor must report: the engine's lists over the
// present texts' code points, with message indices mapped to list positions
// and positions to bytes.
std::vector<std::vector<Segment>> expected_segments(const std::vector<std::optional<std::vector<u32>>>& cps,
                                                    const Lists& engine_lists) {
  std::vector<u64> present;
  for (u64 k = 0; k < cps.size(); ++k) {
    if (cps[k]) present.push_back(k);
  }
  std::vector<std::vector<u64>> tables;  // per present text
  for (const u64 k : present) tables.push_back(offsets_of(*cps[k]));
  std::vector<std::vector<Segment>> out(cps.size());
  u64 j = 0;
  for (u64 k = 0; k < cps.size(); ++k) {
    if (!cps[k]) continue;
    for (const auto& seg : engine_lists[j]) {
      if (const auto* l = std::get_if<Literal>(&seg)) {
        out[k].emplace_back(TextLiteral{encode(l->tokens)});
      } else {
        const auto& r = std::get<Reference>(seg);
        const std::vector<u64>& t = tables.at(r.message);
        out[k].emplace_back(Reference{present[r.message], t.at(r.start), t.at(r.start + r.len) - t[r.start]});
      }
    }
    ++j;
  }
  return out;
}

bool boundary(const std::string& text, u64 at) { return at == text.size() || (text[at] & 0xC0) != 0x80; }

// The contract in bytes, in one pass over the texts: one list per entry,
// none for an absent one; the segments of a present text tile it; a
// reference names an earlier present text, lies inside it on character
// boundaries, spans at least max(k, 1) characters and holds the bytes it
// stands for; literals are not empty.
void check_text_contract(const std::vector<std::optional<std::string>>& texts,
                         const std::vector<std::vector<Segment>>& lists, u64 k, const char* name) {
  FUZZ_CHECK(lists.size() == texts.size(), name << ": " << lists.size() << " lists for " << texts.size());
  for (u64 i = 0; i < texts.size(); ++i) {
    if (!texts[i]) {
      FUZZ_CHECK(lists[i].empty(), name << ": segments for absent entry " << i);
      continue;
    }
    const std::string& t = *texts[i];
    u64 at = 0;
    for (const Segment& seg : lists[i]) {
      if (const auto* l = std::get_if<TextLiteral>(&seg)) {
        FUZZ_CHECK(!l->text.empty(), name << ": empty literal in " << i);
        FUZZ_CHECK(t.compare(at, l->text.size(), l->text) == 0 && l->text.size() <= t.size() - at,
                   name << ": literal differs from text " << i << " at byte " << at);
        at += l->text.size();
        continue;
      }
      const Reference& r = std::get<Reference>(seg);
      FUZZ_CHECK(r.message < i && texts[r.message], name << ": reference of " << i << " to " << r.message);
      const std::string& src = *texts[r.message];
      FUZZ_CHECK(r.start <= src.size() && r.len <= src.size() - r.start && r.len <= t.size() - at,
                 name << ": reference (" << r.message << "," << r.start << "," << r.len << ") outside");
      FUZZ_CHECK(boundary(src, r.start) && boundary(src, r.start + r.len),
                 name << ": reference (" << r.message << "," << r.start << "," << r.len << ") splits a character");
      FUZZ_CHECK(t.compare(at, r.len, src, r.start, r.len) == 0,
                 name << ": reference names other bytes than text " << i << " at " << at);
      u64 chars = 0;
      for (u64 b = r.start; b < r.start + r.len; ++b) chars += (src[b] & 0xC0) != 0x80;
      FUZZ_CHECK(chars >= std::max<u64>(k, 1), name << ": reference of " << chars << " characters, k = " << k);
      at += r.len;
    }
    FUZZ_CHECK(at == t.size(), name << ": segments of text " << i << " cover " << at << " of " << t.size());
  }
}

// Segments and rendering of a text compressor; `which` picks one of the
// rendering checks, as in the token harness.
void check_compressor(const Palimp& c, const TextCompressorState& state,
                      const std::vector<std::optional<std::string>>& texts,
                      const std::vector<std::vector<Segment>>& want, const char* name, u8 which) {
  const auto got = c.segments();
  check_text_contract(texts, got, state.params.min_match_len, name);
  FUZZ_CHECK(got == want, name << ": segments differ from the token engine's over code points");
  if (which % 3 == 0) {
    u64 calls = 0;
    const auto copies = c.render_with([&](std::string_view s) {
      ++calls;
      return std::string(s);
    });
    FUZZ_CHECK(copies.size() == texts.size(), name << ": rendering count");
    u64 refs = 0;
    for (u64 k = 0; k < texts.size(); ++k) {
      FUZZ_CHECK(copies[k] == texts[k].value_or(""), name << ": identity " << k);
      for (const auto& seg : want[k]) refs += std::holds_alternative<Reference>(seg);
    }
    FUZZ_CHECK(calls == refs, name << ": " << calls << " calls for " << refs << " references");
    return;
  }
  u64 kept = 0, total = 0;
  std::vector<std::string> marked;
  for (u64 k = 0; k < want.size(); ++k) {
    std::string m;
    for (const auto& seg : want[k]) {
      if (const auto* l = std::get_if<TextLiteral>(&seg)) {
        m += l->text;
        kept += l->text.size();
      } else {
        m += "<\xC3\xA9>";
        ++kept;
      }
    }
    marked.push_back(std::move(m));
    total += texts[k] ? texts[k]->size() : 0;
  }
  if (which % 3 == 1) {
    FUZZ_CHECK(c.render_with([](std::string_view) { return std::string("<\xC3\xA9>"); }) == marked,
               name << ": rendering with a replacement");
  } else {
    FUZZ_CHECK(state.render_replacing("<\xC3\xA9>") == marked, name << ": bulk rendering");
  }
  const double ratio = total == 0 ? 1.0 : static_cast<double>(kept) / static_cast<double>(total);
  FUZZ_CHECK(state.compression_ratio() == ratio, name << ": compression ratio");
}

// The same texts read in place, as the module reads them.
TextStore borrowed(const std::vector<std::optional<std::string>>& texts, std::vector<CodeUnits>& units) {
  units.clear();
  units.reserve(texts.size());
  TextStore store;
  store.reserve(texts.size());
  for (const auto& t : texts) {
    if (!t) {
      store.add_absent();
      continue;
    }
    units.push_back(to_code_units(*t));
    FUZZ_CHECK(store.add_borrowed(units.back().span(), units.back().ascii), "a valid text refused");
  }
  return store;
}

int text(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const Header h = read_header(in);
  if (h.mode % 8 == 0) {
    check_raw(in.rest());
    return 0;
  }
  const EngineParams& params = h.params;
  const std::vector<u32>& alphabet = kAlphabets[h.alphabet % kAlphabets.size()];
  const Draft draft = shaped_messages(in, h, static_cast<u32>(alphabet.size()), kDraftTotal, kDraftMessages);
  const auto cps = spell(draft, alphabet);
  const bool oracle = total_symbols(draft) <= kOracleCut;

  std::vector<std::optional<std::string>> texts;
  std::vector<std::vector<u32>> present;
  for (const auto& m : cps) {
    texts.emplace_back(m ? std::optional<std::string>(encode(*m)) : std::nullopt);
    if (m) present.push_back(*m);
  }
  // The conversions of the first and last present texts and two drawn: the
  // rest of a list (a transcript's messages repeat each other) would only
  // repeat those checks, at most of the cost of a run.
  std::vector<u64> at;
  for (u64 k = 0; k < cps.size(); ++k) {
    if (cps[k]) at.push_back(k);
  }
  for (u64 i = 0; i < at.size(); ++i) {
    if (i == 0 || i + 1 == at.size() || i == mix(h.seed) % at.size() || i == mix(~h.seed) % at.size()) {
      check_conversions(mix(h.seed + at[i]), *cps[at[i]], *texts[at[i]]);
    }
  }
  if (!at.empty()) check_refused_past_end(*cps[at[0]]);
  const std::vector<TokenSpan> views(present.begin(), present.end());
  std::vector<CodeUnits> units;

  const Exact e = exact(texts, params);
  check_compressor(e, e.state(), texts,
                   expected_segments(cps, oracle ? testing::reference_exact(present, params.min_match_len)
                                                 : HashedGreedyBinary::new_tokens(views, params).segments()),
                   "Exact", h.mode >> 3);
  FUZZ_CHECK(exact(borrowed(texts, units), params).segments() == e.segments(), "Exact: a second run differs");

  const Approximate a = approximate(texts, params);
  std::vector<std::optional<TokenSpan>> optional_views(views.begin(), views.end());
  check_compressor(a, a.state(), texts,
                   expected_segments(cps, oracle ? testing::reference_capped(present, params.min_match_len,
                                                                             params.cap_len, params.ncap)
                                                 : approximate_tokens(optional_views, params).segments()),
                   "Approximate", (h.mode >> 3) + 1);
  FUZZ_CHECK(approximate(borrowed(texts, units), params).segments() == a.segments(),
             "Approximate: a second run differs");
  return 0;
}

}  // namespace
}  // namespace palimp::fuzz

int palimp_fuzz_text(const uint8_t* data, size_t size) { return palimp::fuzz::text(data, size); }
PALIMP_FUZZ_ENTRY(palimp_fuzz_text)
PALIMP_FUZZ_MUTATOR
