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
#include <cassert>
#include <cstddef>
#include <memory>
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
// Present texts are numbered 0, 1, ... in list order: their engine
// positions.  An absent entry only takes a list position.  The present
// texts' code points (the engine's input, handed over without a copy) and
// what the store knows of each share one allocation, made once when the
// caller reserves for the whole list.
class TextStore {
 public:
  TextStore() = default;
  TextStore(TextStore&& o) noexcept;
  TextStore& operator=(TextStore&& o) noexcept;
  TextStore(const TextStore&) = delete;
  TextStore& operator=(const TextStore&) = delete;

  // Room for `entries` entries in all, so adding that many does not
  // reallocate.
  void reserve(u64 entries);
  void add_absent() { ++size_; }
  // A text read in place: the caller keeps `code_points` alive as long as the
  // store and everything built from it.  Returns false, and adds nothing,
  // when the text holds a surrogate (it has no UTF-8 form); one pass over
  // the text checks that and measures it.
  [[nodiscard]] bool add_borrowed(SymbolSpan code_points, bool ascii);
  // A text the store decodes and keeps itself.
  void add_owned(std::string_view utf8);

  u64 size() const { return size_; }        // entries, absent ones included
  u64 present() const { return present_; }  // present texts
  // The code points of the present texts in order: the engine's input.
  std::span<const SymbolSpan> spans() const { return {spans_at(), present_}; }

  // Of present text j (< present(), checked): its list position, code
  // points, whether it is ASCII, and its UTF-8 length.
  u64 list_position(u64 j) const { return info(j).position; }
  const SymbolSpan& code_points(u64 j) const {
    PALIMP_CHECK(j < present_);
    return spans_at()[j];
  }
  bool ascii(u64 j) const { return info(j).ascii; }
  u64 byte_length(u64 j) const { return info(j).bytes; }
  // Byte offset of the boundary before character c of present text j (c <=
  // its length, checked).  O(1) for ASCII text, otherwise O(64).
  u64 byte_offset(u64 j, u64 c) const;
  // Appends the UTF-8 of characters [start, start + len) of present text j
  // (checked).
  void append_utf8(u64 j, u64 start, u64 len, std::string& out) const;

  // Calls f(k, j) for every list position k in order; j is the present
  // index of the text at k, or kAbsent.
  static constexpr u64 kAbsent = UINT64_MAX;
  template <class F>
  void for_each_entry(F&& f) const {
    const Info* infos = infos_at();
    u64 j = 0;
    for (u64 k = 0; k < size_; ++k) {
      if (j < present_ && infos[j].position == k) {
        f(k, j++);
      } else {
        f(k, kAbsent);
      }
    }
  }

 private:
  static constexpr u64 kStride = kMarkStride;  // characters between kept byte offsets
  struct Info {
    u64 position;  // in the caller's list
    u64 bytes;     // UTF-8 length
    u64 marks;     // first kept offset in marks_ (non-ASCII text only)
    bool ascii;
  };
  const Info& info(u64 j) const {
    PALIMP_CHECK(j < present_);
    return infos_at()[j];
  }
  bool add(SymbolSpan code_points, bool ascii, bool refuse_surrogates);
  void grow_to(u64 capacity);

  // The present texts' spans, then their infos, in one block of room for
  // capacity_ texts each.
  SymbolSpan* spans_at() const { return reinterpret_cast<SymbolSpan*>(block_.get()); }
  Info* infos_at() const { return reinterpret_cast<Info*>(block_.get() + capacity_ * sizeof(SymbolSpan)); }

  u64 size_ = 0;
  u64 present_ = 0;
  u64 capacity_ = 0;
  std::unique_ptr<std::byte[]> block_;
  std::vector<u64> marks_;        // byte offsets of characters 0, 64, 128, ... per text
  std::vector<CodeUnits> owned_;  // storage of owned texts (each buffer stays put)
};

// What both text compressors own.
struct TextCompressorState {
  EngineParams params;
  SegmentTable segments;  // over engine positions (present indices) and characters
  TextStore texts;        // one entry per caller entry

  // The engine's pieces of present text j (checked).
  std::span<const Piece> pieces(u64 j) const { return segments.message(j); }
  // Byte reference of an engine piece: list position and UTF-8 offsets
  // (checked).
  Reference to_bytes(const Piece& ref) const;
  // The checks of to_bytes alone: the referenced text exists and the span
  // lies inside it.
  void check_reference(const Piece& ref) const;

  // Walks the pieces of present text j in order: literal(start, len) for a
  // run of its own code points, reference(piece) for a reference, checked
  // against the stored texts first (InternalError when it fails).
  template <class Literal, class Reference>
  void for_each_piece(u64 j, Literal&& literal, Reference&& reference) const {
    const u64 size = texts.code_points(j).size;
    [[maybe_unused]] u64 at = 0;  // where the piece begins in text j
    for (const Piece& p : pieces(j)) {
      if (p.is_literal()) {
        assert(p.start == at);  // a literal holds the text's own characters in place
        PALIMP_CHECK(p.start <= size && p.len <= size - p.start);
        literal(p.start, p.len);
      } else {
        check_reference(p);
        reference(p);
      }
      at += p.len;
    }
    assert(at == size);  // the pieces tile the text
  }

  // Present text j rendered with every reference replaced by `replacement`
  // (code points whose largest is `replacement_max`), in two steps that
  // let the caller allocate in between: its length and largest code point
  // (the largest is 0x7F at most for ASCII text, unscanned), then its code
  // points written to `out`, `width` bytes each (a width that holds that
  // largest), with room for that length.  Both count their work on `meter`.
  struct RenderedSize {
    u64 length = 0;
    u32 max_char = 0;
  };
  RenderedSize rendered_size(u64 j, const SymbolSpan& replacement, u32 replacement_max, WorkMeter& meter) const;
  void write_rendered(u64 j, const SymbolSpan& replacement, u8 width, void* out, WorkMeter& meter) const;

  std::vector<std::vector<Segment>> segment_records() const;
  std::vector<std::string> render_with(TextRenderFn f) const;
  // render_with with every reference replaced by `replacement`: through
  // rendered_size and write_rendered, at the narrowest width, as the
  // module renders.
  std::vector<std::string> render_replacing(std::string_view replacement) const;
  // Literal bytes plus one per reference, over the total input bytes; 1.0
  // for no input.  `interrupt` may end the walk.
  double compression_ratio(const Interrupt& interrupt = Interrupt{}) const;

};

class Exact final : public Palimp {
 public:
  explicit Exact(TextCompressorState state) : state_(std::move(state)) {}
  // Compresses the texts of `texts`, which it takes over.
  Exact(TextStore&& texts, const EngineParams& params, const Interrupt& interrupt = Interrupt{});
  const TextCompressorState& state() const { return state_; }
  std::vector<std::vector<Segment>> segments() const override { return state_.segment_records(); }
  std::vector<std::string> render_with(TextRenderFn f) const override { return state_.render_with(f); }

 private:
  TextCompressorState state_;
};

class Approximate final : public Palimp {
 public:
  explicit Approximate(TextCompressorState state) : state_(std::move(state)) {}
  // Compresses the texts of `texts`, which it takes over.
  Approximate(TextStore&& texts, const EngineParams& params, const Interrupt& interrupt = Interrupt{});
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

}  // namespace palimp
