// Tokenizers: texts to token ids and back.
//
// Token mode can start from texts: a tokenizer chosen by name turns each text
// into unsigned 32-bit ids, and turns rendered id sequences back into text.
// "whitespace" is the one tokenizer there is; names of the forms hf:<model>
// and file:<path> are recognised and always refused.
#pragma once

#include <cassert>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check.h"
#include "interrupt.h"

namespace palimp {

// A tokenizer.  encode may learn new tokens; decode never changes it.  Held
// through an owning pointer; tied to no thread.
class Tokenize {
 public:
  virtual ~Tokenize() = default;
  // The ids of the tokens of `text` (valid UTF-8), in text order.
  // `interrupt` may end the work; the tokens learnt until then stay learnt.
  virtual std::vector<u32> encode(std::string_view text, const Interrupt& interrupt = Interrupt{}) = 0;
  // The text of `ids`; `interrupt` may end the work.
  virtual std::string decode(std::span<const u32> ids, const Interrupt& interrupt = Interrupt{}) const = 0;
};

// Splits texts at Unicode White_Space and numbers the tokens in the order
// they are first met, from 0.  A new tokenizer knows no tokens; no id is set
// aside for unknown ones.  Tokens compare byte for byte (no case folding, no
// normalization).
//
// The 25 whitespace characters are U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000; U+200B
// and U+FEFF are not among them and stay inside tokens.
class WhitespaceTokenizer final : public Tokenize {
 public:
  // At most 2^32 distinct tokens: ids are u32.
  static constexpr u64 kMaxTokens = u64{1} << 32;

  // The ids of the non-empty runs between whitespace, learning tokens not yet
  // known.  One pass over the text; no allocation for known tokens.  Throws
  // std::length_error when a new token is met after kMaxTokens tokens have
  // been assigned (the ids before it are learnt; nothing else changes).
  std::vector<u32> encode(std::string_view text, const Interrupt& interrupt = Interrupt{}) override;

  // The tokens of `ids` joined by single spaces; ids never assigned decode as
  // "<UNK>".  The empty sequence gives the empty text.  Output sized exactly.
  std::string decode(std::span<const u32> ids, const Interrupt& interrupt = Interrupt{}) const override;

  // The id of `token`, assigning the next free id first if it is new.  Throws
  // std::length_error when it is new and kMaxTokens ids are already taken.
  u32 id_for(std::string_view token);

  // Number of known tokens; ids are 0 .. vocab_size() - 1.
  u64 vocab_size() const { return token_ends_.size(); }

 private:
  // Vocabulary layout.  id -> token: all token bytes back to back in one
  // arena, with the end offset of each token; token -> id: an open-addressing
  // table of ids, whose key is read from the arena at probe time.  Nothing
  // holds a pointer or view into the arena, so it may reallocate as it grows
  // and the tokenizer may be moved freely (a map of string_views into a
  // vector<std::string> would dangle once the vector moved its short strings).
  // Each token costs its bytes, 8 for its end offset and 12 to 23 for its
  // share of the table, with no allocation of its own.
  struct Slot {
    u32 id = 0;
    u32 tag = 0;  // high bits of the token's hash, never 0; 0 marks a free slot
  };

  std::string_view token(u64 id) const {  // requires id < vocab_size()
    assert(id < vocab_size());
    const u64 begin = id == 0 ? 0 : token_ends_[id - 1];
    return std::string_view(arena_.data() + begin, token_ends_[id] - begin);
  }
  static u64 hash_of(std::string_view token);
  static u32 tag_of(u64 hash) { return static_cast<u32>(hash >> 32) | 1u; }
  void grow_table();

  std::string arena_;            // token bytes in id order
  std::vector<u64> token_ends_;  // token_ends_[i]: arena offset one past token i
  std::vector<Slot> table_;      // power-of-two size, at most 7/10 full
  u64 mask_ = 0;                 // table_.size() - 1, once the table exists
};

// Either a new tokenizer or the message that says why the name is refused.
using TokenizerOrError = std::variant<std::unique_ptr<Tokenize>, std::string>;

// The tokenizer called `name` (compared byte for byte, case-sensitive,
// untrimmed): "whitespace" gives a new WhitespaceTokenizer; any name beginning
// with "hf:" or "file:", and any other name, gives its error message.
TokenizerOrError get_tokenizer(std::string_view name);

}  // namespace palimp
