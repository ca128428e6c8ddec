// Text mode: the text compressors Exact and Approximate.
//
// Both run a token engine on the code points of the present texts and
// translate its segments back: message indices become positions in the
// caller's list (absent entries counted), and starts and lengths become UTF-8
// byte offsets and lengths.  They differ only in the engine.
//
// Texts are kept in the narrowest storage that holds their code points (one
// byte per character for Latin-1 text), either owned or read in place from a
// caller that keeps them alive.  Byte offsets need no table for ASCII text,
// where they equal code-point positions; other texts keep the byte offset of
// every 64th character and count the rest on demand.
#pragma once

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core.h"
#include "interrupt.h"
#include "normalize.h"

namespace palimp {

// The byte offset of every character boundary of `text` (valid UTF-8):
// [0, begin(1), ..., begin(n - 1), bytes] for n >= 1 characters, [0] when
// empty.  One pass, reserved exactly.
std::vector<u64> compute_offsets(std::string_view text);

// The texts of one compression, one entry per entry of the caller's list.
class TextStore {
 public:
  void add_absent();
  // A text read in place: the caller keeps `code_points` alive as long as the
  // store and everything built from it.  Returns false, and adds nothing,
  // when the text holds a surrogate (it has no UTF-8 form); one pass over
  // the text checks that and measures it.
  [[nodiscard]] bool add_borrowed(SymbolSpan code_points, bool ascii);
  // A text the store decodes and keeps itself.
  void add_owned(std::string_view utf8);

  u64 size() const { return entries_.size(); }
  bool is_none(u64 k) const { return !entry(k).present; }
  const SymbolSpan& code_points(u64 k) const { return entry(k).code_points; }
  u64 byte_length(u64 k) const { return entry(k).bytes; }
  // Byte offset of the boundary before character c of text k (c <= its
  // length, checked).  O(1) for ASCII text, otherwise O(64).
  u64 byte_offset(u64 k, u64 c) const;
  // Appends the UTF-8 of characters [start, start + len) of text k (checked).
  void append_utf8(u64 k, u64 start, u64 len, std::string& out) const;

 private:
  static constexpr u64 kStride = kMarkStride;  // characters between kept byte offsets
  struct Entry {
    SymbolSpan code_points;
    u64 bytes = 0;         // UTF-8 length
    u64 marks = 0;         // first kept offset in marks_ (non-ASCII text only)
    bool present = false;
    bool ascii = true;
  };
  const Entry& entry(u64 k) const {
    PALIMP_CHECK(k < entries_.size());
    return entries_[k];
  }
  bool add(SymbolSpan code_points, bool ascii, bool refuse_surrogates);

  std::vector<Entry> entries_;
  std::vector<u64> marks_;        // byte offsets of characters 0, 64, 128, ... per text
  std::vector<CodeUnits> owned_;  // storage of owned texts (each buffer stays put)
};

// What both text compressors own.
struct TextCompressorState {
  EngineParams params;
  SegmentTable segments;            // over engine positions and characters
  TextStore texts;                  // one entry per caller entry
  std::vector<u64> present_indices;  // list position of each engine message

  // Calls literal(std::string&& utf8) or reference(const Reference& bytes) for
  // each segment of list position k, in order; references name list
  // positions and count bytes.  Every lookup is checked.
  template <class OnLiteral, class OnReference>
  void visit(u64 k, OnLiteral&& literal, OnReference&& reference) const;

  // Byte reference of an engine piece (checked).
  Reference to_bytes(const Piece& ref) const;
  std::vector<std::vector<Segment>> segment_records() const;
  std::vector<std::string> render_with(TextRenderFn f) const;
  // render_with with every reference replaced by `replacement`.
  std::vector<std::string> render_replacing(std::string_view replacement) const;
  // Literal bytes plus one per reference, over the total input bytes; 1.0
  // for no input.
  double compression_ratio() const;

 private:
  template <class Emit>
  std::vector<std::string> render(Emit&& emit) const;
};

class Exact final : public Palimp {
 public:
  explicit Exact(TextCompressorState state) : state_(std::move(state)) {}
  const TextCompressorState& state() const { return state_; }
  std::vector<std::vector<Segment>> segments() const override { return state_.segment_records(); }
  std::vector<std::string> render_with(TextRenderFn f) const override { return state_.render_with(f); }

 private:
  TextCompressorState state_;
};

class Approximate final : public Palimp {
 public:
  explicit Approximate(TextCompressorState state) : state_(std::move(state)) {}
  const TextCompressorState& state() const { return state_; }
  std::vector<std::vector<Segment>> segments() const override { return state_.segment_records(); }
  std::vector<std::string> render_with(TextRenderFn f) const override { return state_.render_with(f); }

 private:
  TextCompressorState state_;
};

// Compress a list of optional texts with the exact or the capped engine.
Exact exact(std::span<const std::optional<std::string>> messages, const EngineParams& params);
Approximate approximate(std::span<const std::optional<std::string>> messages, const EngineParams& params);
// The same for texts already gathered into a store, which they take over;
// `interrupt` may end the work (the engines poll it).
Exact exact(TextStore texts, const EngineParams& params, const Interrupt& interrupt = Interrupt{});
Approximate approximate(TextStore texts, const EngineParams& params, const Interrupt& interrupt = Interrupt{});

// ---- implementation of the template

template <class OnLiteral, class OnReference>
void TextCompressorState::visit(u64 k, OnLiteral&& literal, OnReference&& reference) const {
  if (texts.is_none(k)) return;
  // Engine position of list position k: present entries before it.
  const auto it = std::lower_bound(present_indices.begin(), present_indices.end(), k);
  PALIMP_CHECK(it != present_indices.end() && *it == k);
  const u64 j = static_cast<u64>(it - present_indices.begin());
  for (const Piece& p : segments.message(j)) {
    if (p.is_literal()) {
      std::string utf8;
      texts.append_utf8(k, p.start, p.len, utf8);
      literal(std::move(utf8));
    } else {
      reference(to_bytes(p));
    }
  }
}

}  // namespace palimp
