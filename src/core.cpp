#include "core.h"

namespace palimp {
namespace {

// The referenced span, after the three checks every reference must pass.
TokenSpan referenced_span(const TokenStore& tokens, const Piece& ref) {
  PALIMP_CHECK(ref.source < tokens.messages());
  const TokenSpan src = tokens.message(ref.source);
  PALIMP_CHECK(ref.len <= UINT64_MAX - ref.start);
  PALIMP_CHECK(ref.start + ref.len <= src.size());
  return src.subspan(ref.start, ref.len);
}

// Renders every message; `emit(buffer, span)` appends what a reference
// becomes.
template <class Emit>
std::vector<std::vector<u32>> render(const TokenEngineState& s, Emit&& emit) {
  std::vector<std::vector<u32>> out;
  out.reserve(s.segments.messages());
  for (u64 i = 0; i < s.segments.messages(); ++i) {
    const TokenSpan own = s.tokens.message(i);
    std::vector<u32> buf;
    for (const Piece& p : s.segments.message(i)) {
      if (p.is_literal()) {
        PALIMP_CHECK(p.start <= own.size() && p.len <= own.size() - p.start);
        buf.insert(buf.end(), own.begin() + p.start, own.begin() + p.start + p.len);
      } else {
        emit(buf, referenced_span(s.tokens, p));
      }
    }
    out.push_back(std::move(buf));
  }
  return out;
}

}  // namespace

std::vector<std::vector<TokenSegment>> TokenEngineState::segment_records() const {
  std::vector<std::vector<TokenSegment>> out;
  out.reserve(segments.messages());
  for (u64 i = 0; i < segments.messages(); ++i) {
    const TokenSpan own = tokens.message(i);
    std::vector<TokenSegment> list;
    list.reserve(segments.message(i).size());
    for (const Piece& p : segments.message(i)) {
      if (p.is_literal()) {
        PALIMP_CHECK(p.start <= own.size() && p.len <= own.size() - p.start);
        const auto run = own.subspan(p.start, p.len);
        list.emplace_back(Literal{std::vector<u32>(run.begin(), run.end())});
      } else {
        list.emplace_back(Reference{p.source, p.start, p.len});
      }
    }
    out.push_back(std::move(list));
  }
  return out;
}

std::vector<std::vector<u32>> TokenEngineState::render_with(TokenRenderFn f) const {
  return render(*this, [&](std::vector<u32>& buf, TokenSpan span) {
    const std::vector<u32> rep = f(span);
    buf.insert(buf.end(), rep.begin(), rep.end());
  });
}

std::vector<std::vector<u32>> TokenEngineState::render_replacing(TokenSpan replacement) const {
  return render(*this, [&](std::vector<u32>& buf, TokenSpan) {
    buf.insert(buf.end(), replacement.begin(), replacement.end());
  });
}

}  // namespace palimp
