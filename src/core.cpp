#include "core.h"

#include <cassert>

namespace palimp {

namespace {

// Renders every message; `emit(buffer, reference)` appends what a checked
// reference becomes.
template <class Emit>
std::vector<std::vector<u32>> render(const TokenEngineState& s, Emit&& emit) {
  std::vector<std::vector<u32>> out;
  out.reserve(s.segments.messages());
  for (u64 i = 0; i < s.segments.messages(); ++i) {
    std::vector<u32> buf;
    s.for_each_piece(
        i, [&](const auto* ids, u64 n) { buf.insert(buf.end(), ids, ids + n); },
        [&](const Piece& p) { emit(buf, p); });
    out.push_back(std::move(buf));
  }
  return out;
}

}  // namespace

std::vector<std::vector<TokenSegment>> token_segment_lists(
    const SegmentTable& table, FunctionRef<void(u64, u64, u64, std::vector<u32>&)> literal) {
  std::vector<std::vector<TokenSegment>> out;
  out.reserve(table.messages());
  std::vector<TokenSegment> list;
  for_each_record(
      table,
      [&](u64, u64 n) {
        list.clear();
        list.reserve(n);
      },
      [&](u64 i, u64, const Piece& p) {
        if (p.is_literal()) {
          Literal lit;
          literal(i, p.start, p.len, lit.tokens);
          list.emplace_back(std::move(lit));
        } else {
          list.emplace_back(Reference{p.source, p.start, p.len});
        }
      },
      [&](u64) { out.push_back(std::move(list)); });
  return out;
}

std::vector<std::vector<TokenSegment>> TokenEngineState::segment_records() const {
  return token_segment_lists(segments, [&](u64 i, u64 start, u64 len, std::vector<u32>& out) {
    tokens.append_to(i, start, len, out);
  });
}

std::vector<std::vector<u32>> TokenEngineState::render_with(TokenRenderFn f) const {
  std::vector<u32> span;  // the referenced tokens, widened to 32 bits
  return render(*this, [&](std::vector<u32>& buf, const Piece& p) {
    span.clear();
    tokens.append_to(p.source, p.start, p.len, span);
    const std::vector<u32> rep = f(span);
    buf.insert(buf.end(), rep.begin(), rep.end());
  });
}

std::vector<std::vector<u32>> TokenEngineState::render_replacing(TokenSpan replacement) const {
  return render(*this, [&](std::vector<u32>& buf, const Piece&) {
    buf.insert(buf.end(), replacement.begin(), replacement.end());
  });
}

}  // namespace palimp
