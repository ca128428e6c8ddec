#include "lib.h"

#include "engine/binary.h"
#include "engine/capped.h"

namespace palimp {
namespace {

// Bytes of the UTF-8 character whose lead byte is `lead`.
u64 utf8_width(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

std::vector<SymbolSpan> engine_input(const TextStore& texts, std::vector<u64>& present) {
  std::vector<SymbolSpan> spans;
  for (u64 k = 0; k < texts.size(); ++k) {
    if (texts.is_none(k)) continue;
    present.push_back(k);
    spans.push_back(texts.code_points(k));
  }
  return spans;
}

TextStore owned_store(std::span<const std::optional<std::string>> messages) {
  TextStore store;
  for (const auto& m : messages) {
    if (m) {
      store.add_owned(*m);
    } else {
      store.add_absent();
    }
  }
  return store;
}

}  // namespace

std::vector<u64> compute_offsets(std::string_view text) {
  u64 n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  std::vector<u64> out;
  out.reserve(n + 1);
  out.push_back(0);
  u64 p = 0;
  while (p < text.size()) {
    if (p != out.back()) out.push_back(p);
    p += utf8_width(static_cast<unsigned char>(text[p]));
  }
  if (text.size() != out.back()) out.push_back(text.size());
  return out;
}

// ---- TextStore

void TextStore::add_absent() { entries_.push_back(Entry{}); }

bool TextStore::add_borrowed(SymbolSpan code_points, bool ascii) { return add(code_points, ascii, true); }

void TextStore::add_owned(std::string_view utf8) {
  owned_.push_back(to_code_units(utf8));
  // Valid UTF-8 decodes to no surrogate; what bytes that are not decode to
  // is unspecified but kept, as for any other text.
  add(owned_.back().span(), owned_.back().ascii, false);
}

bool TextStore::add(SymbolSpan cp, bool ascii, bool refuse_surrogates) {
  Entry e{cp, 0, marks_.size(), true, ascii};
  if (ascii) {
    e.bytes = cp.size;
  } else {
    const TextScan scan = scan_text(cp, marks_);
    if (scan.surrogate && refuse_surrogates) {
      marks_.resize(e.marks);
      return false;
    }
    e.bytes = scan.bytes;
  }
  entries_.push_back(e);
  return true;
}

u64 TextStore::byte_offset(u64 k, u64 c) const {
  const Entry& e = entry(k);
  PALIMP_CHECK(c <= e.code_points.size);
  if (e.ascii) return c;
  const u64 mark = c / kStride;
  return marks_[e.marks + mark] + utf8_length(e.code_points, mark * kStride, c - mark * kStride);
}

void TextStore::append_utf8(u64 k, u64 start, u64 len, std::string& out) const {
  ::palimp::append_utf8(entry(k).code_points, start, len, out);
}

// ---- TextCompressorState

Reference TextCompressorState::to_bytes(const Piece& ref) const {
  PALIMP_CHECK(ref.source < present_indices.size());
  const u64 k = present_indices[ref.source];
  PALIMP_CHECK(ref.len <= UINT64_MAX - ref.start);
  const u64 begin = texts.byte_offset(k, ref.start);
  const u64 end = texts.byte_offset(k, ref.start + ref.len);
  return Reference{k, begin, end - begin};
}

std::vector<std::vector<Segment>> TextCompressorState::segment_records() const {
  std::vector<std::vector<Segment>> out(texts.size());
  for (u64 k = 0; k < texts.size(); ++k) {
    visit(
        k, [&](std::string&& text) { out[k].emplace_back(TextLiteral{std::move(text)}); },
        [&](const Reference& r) { out[k].emplace_back(r); });
  }
  return out;
}

template <class Emit>
std::vector<std::string> TextCompressorState::render(Emit&& emit) const {
  std::vector<std::string> out;
  out.reserve(texts.size());
  u64 j = 0;  // engine position of the next present message
  for (u64 k = 0; k < texts.size(); ++k) {
    std::string text;
    if (!texts.is_none(k)) {
      for (const Piece& p : segments.message(j++)) {
        if (p.is_literal()) {
          texts.append_utf8(k, p.start, p.len, text);
        } else {
          emit(text, p);
        }
      }
    }
    out.push_back(std::move(text));
  }
  return out;
}

std::vector<std::string> TextCompressorState::render_with(TextRenderFn f) const {
  return render([&](std::string& text, const Piece& p) {
    const Reference r = to_bytes(p);
    std::string span;
    texts.append_utf8(r.message, p.start, p.len, span);
    text += f(span);
  });
}

std::vector<std::string> TextCompressorState::render_replacing(std::string_view replacement) const {
  return render([&](std::string& text, const Piece& p) {
    to_bytes(p);  // the same checks as every reference
    text += replacement;
  });
}

double TextCompressorState::compression_ratio() const {
  u64 kept = 0, total = 0;
  u64 j = 0;
  for (u64 k = 0; k < texts.size(); ++k) {
    if (texts.is_none(k)) continue;
    total += texts.byte_length(k);
    for (const Piece& p : segments.message(j++)) {
      kept += p.is_literal() ? texts.byte_offset(k, p.start + p.len) - texts.byte_offset(k, p.start) : 1;
    }
  }
  if (total == 0) return 1.0;
  return static_cast<double>(kept) / static_cast<double>(total);
}

// ---- construction

Exact exact(TextStore texts, const EngineParams& params, const Interrupt& interrupt) {
  std::vector<u64> present;
  const std::vector<SymbolSpan> input = engine_input(texts, present);
  SegmentTable segments = exact_segments(input, params.min_match_len, interrupt);
  return Exact(TextCompressorState{params, std::move(segments), std::move(texts), std::move(present)});
}

Approximate approximate(TextStore texts, const EngineParams& params, const Interrupt& interrupt) {
  (void)interrupt;  // the capped engine does not poll yet
  std::vector<u64> present;
  const std::vector<SymbolSpan> input = engine_input(texts, present);
  SegmentTable segments = capped_segments(input, params);
  return Approximate(TextCompressorState{params, std::move(segments), std::move(texts), std::move(present)});
}

Exact exact(std::span<const std::optional<std::string>> messages, const EngineParams& params) {
  return exact(owned_store(messages), params);
}

Approximate approximate(std::span<const std::optional<std::string>> messages, const EngineParams& params) {
  return approximate(owned_store(messages), params);
}

}  // namespace palimp
