// Segment records, engine parameters and the two compressor interfaces.
//
// A compressor turns a list of messages into one segment list per message.
// A segment is a literal run of new material or a reference to a span of a
// strictly earlier message.  Every list an engine produces tiles its message,
// points only backwards, and never names a span of another message's
// segments, so one lookup resolves every reference.
#pragma once

#include <cassert>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "check.h"
#include "function_ref.h"
#include "segment_table.h"
#include "symbol_span.h"
#include "token_store.h"

namespace palimp {

// Parameters of one compression, copied into every engine object.
struct EngineParams {
  u64 min_match_len = 4;        // shortest run an engine may reference
  std::optional<u64> lookback;  // carried along; no engine reads it
  u64 cap_len = 64;             // capped engine: longest compared window
  u64 ncap = 64;                // capped engine: candidates examined per lookup
};

// A reference: `len` units of message `message` from `start`.  In token mode
// the units are tokens and `message` counts the engine's messages; in text
// mode the units are UTF-8 bytes and `message` counts the caller's list.
struct Reference {
  u64 message;  // index of a strictly earlier message
  u64 start;
  u64 len;      // >= min_match_len when produced by an engine
  friend bool operator==(const Reference&, const Reference&) = default;
};

// A literal run of token ids.
struct Literal {
  std::vector<u32> tokens;
  friend bool operator==(const Literal&, const Literal&) = default;
};

// A literal run of text, in UTF-8.
struct TextLiteral {
  std::string text;
  friend bool operator==(const TextLiteral&, const TextLiteral&) = default;
};

// Variant index 0 is the literal, 1 the reference.
using TokenSegment = std::variant<Literal, Reference>;
using Segment = std::variant<TextLiteral, Reference>;

using TokenSpan = std::span<const u32>;

// What a reference becomes when a token message is rendered: called with the
// referenced span of the stored sequence, returns the tokens to emit instead.
using TokenRenderFn = FunctionRef<std::vector<u32>(TokenSpan)>;
// The same for text: called with the referenced UTF-8 span.
using TextRenderFn = FunctionRef<std::string(std::string_view)>;

// Token compressors (the exact and the capped engine objects).
class PalimpTokens {
 public:
  virtual ~PalimpTokens() = default;
  // A fresh copy of every segment list, one per input sequence.
  virtual std::vector<std::vector<TokenSegment>> segments() const = 0;
  // One token sequence per input sequence: literals as they are, each
  // reference replaced by what `f` returns for its span.  `f` is called once
  // per reference, in message and segment order.
  virtual std::vector<std::vector<u32>> render_with(TokenRenderFn f) const = 0;
};

// Text compressors (Exact and Approximate).
class Palimp {
 public:
  virtual ~Palimp() = default;
  // One list per message of the caller's list; an absent message has none.
  virtual std::vector<std::vector<Segment>> segments() const = 0;
  // One text per message of the caller's list; an absent message renders as
  // the empty text.
  virtual std::vector<std::string> render_with(TextRenderFn f) const = 0;
};

// The lists of `table` as records; literal(i, start, len, out) appends the
// tokens of a literal piece of message i to out.
std::vector<std::vector<TokenSegment>> token_segment_lists(
    const SegmentTable& table, FunctionRef<void(u64, u64, u64, std::vector<u32>&)> literal);

// Checks a reference piece against the stored sequences: its message exists
// and its span lies inside that message.  Throws InternalError otherwise.
inline void check_reference(const TokenStore& tokens, const Piece& ref) {
  PALIMP_CHECK(ref.source < tokens.messages());
  PALIMP_CHECK(ref.len <= UINT64_MAX - ref.start);
  PALIMP_CHECK(ref.start + ref.len <= tokens.span(ref.source).size);
}

// What every token engine object owns: its parameters, its segment lists and
// its own copy of the input.  Every reference resolves against `tokens`.
struct TokenEngineState {
  EngineParams params;
  SegmentTable segments;
  TokenStore tokens;

  // The segment lists as records, one list per stored sequence.
  std::vector<std::vector<TokenSegment>> segment_records() const;

  // Walks the pieces of message i in order: literal(ids, n) for a literal,
  // its ids as stored (const u8*, const u16* or const u32*: one width per
  // message, dispatched once), and reference(piece) for a reference, checked
  // against the stored sequences first (InternalError when it fails).
  template <class Literal, class Reference>
  void for_each_piece(u64 i, Literal&& literal, Reference&& reference) const {
    const SymbolSpan own = tokens.span(i);
    with_symbols(own, [&](const auto* t) {
      [[maybe_unused]] u64 at = 0;  // position in message i where the piece begins
      for (const Piece& p : segments.message(i)) {
        if (p.is_literal()) {
          assert(p.start == at);  // a literal holds the message's own symbols in place
          PALIMP_CHECK(p.start <= own.size && p.len <= own.size - p.start);
          literal(t + p.start, p.len);
        } else {
          assert(p.source < i);
          check_reference(tokens, p);
          reference(p);
        }
        at += p.len;
      }
      assert(at == own.size);  // the pieces tile the message
    });
  }
  // The length of message i rendered with `replacement` ids per reference.
  u64 rendered_length(u64 i, u64 replacement) const {
    u64 n = 0;
    for (const Piece& p : segments.message(i)) n = checked_add(n, p.is_literal() ? p.len : replacement);
    return n;
  }

  // Token rendering: literals as they are, each reference replaced by f(span).
  // Every reference is checked against the stored sequences first; a failed
  // check throws InternalError.
  std::vector<std::vector<u32>> render_with(TokenRenderFn f) const;
  // The same with every reference replaced by `replacement`, without calling
  // a function per reference.
  std::vector<std::vector<u32>> render_replacing(TokenSpan replacement) const;
};

}  // namespace palimp
