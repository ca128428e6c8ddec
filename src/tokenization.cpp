#include "tokenization.h"

#include <array>
#include <functional>
#include <stdexcept>

namespace palimp {
namespace {

// What one byte says about the character it starts.  Every ASCII byte
// settles the whitespace test alone; so do continuation bytes and the leads
// of characters without a whitespace among them.  Only the leads 0xC2, 0xE1,
// 0xE2 and 0xE3 need a look at the bytes that follow.
enum ByteClass : u8 { kWord = 0, kSpace = 1, kMaybeSpace = 2 };

constexpr std::array<u8, 256> make_byte_classes() {
  std::array<u8, 256> c{};
  for (int b = 0x09; b <= 0x0D; ++b) c[b] = kSpace;
  c[0x20] = kSpace;
  c[0xC2] = c[0xE1] = c[0xE2] = c[0xE3] = kMaybeSpace;
  return c;
}
constexpr std::array<u8, 256> kByteClass = make_byte_classes();

// Bytes of the whitespace character that starts at p with one of the leads
// 0xC2, 0xE1, 0xE2, 0xE3, or 0 when that character is no whitespace.  Reads
// at most `avail` bytes.
u64 multibyte_space(const u8* p, u64 avail) {
  switch (p[0]) {
    case 0xC2:  // U+0085, U+00A0
      return avail >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    case 0xE1:  // U+1680
      return avail >= 3 && p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    case 0xE2:
      if (avail < 3) return 0;
      if (p[1] == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F; not U+200B
        const u8 c = p[2];
        return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF ? 3 : 0;
      }
      return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:  // U+3000
      return avail >= 3 && p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
  }
  return 0;
}

// Bytes of the whitespace character at p, or 0 when it is none.  Requires
// p < end.
u64 space_at(const u8* p, const u8* end) {
  switch (kByteClass[*p]) {
    case kWord: return 0;
    case kSpace: return 1;
    default: return multibyte_space(p, static_cast<u64>(end - p));
  }
}

constexpr std::string_view kUnknown = "<UNK>";

}  // namespace

std::vector<u32> WhitespaceTokenizer::encode(std::string_view text, const Interrupt& interrupt) {
  WorkMeter meter(interrupt);
  std::vector<u32> ids;
  const u8* p = reinterpret_cast<const u8*>(text.data());
  const u8* const end = p + text.size();
  for (;;) {
    while (p != end) {
      const u64 w = space_at(p, end);
      if (w == 0) break;
      p += w;
    }
    if (p == end) break;
    const u8* const first = p;
    // Walk bytewise: continuation bytes are never taken for whitespace, so
    // stepping into a multi-byte character is harmless.
    for (;;) {
      while (p != end && kByteClass[*p] == kWord) ++p;
      if (p == end || space_at(p, end) != 0) break;
      ++p;  // a lead that starts no whitespace
    }
    ids.push_back(id_for(std::string_view(reinterpret_cast<const char*>(first),
                                          static_cast<size_t>(p - first))));
    meter.add(work_units::kToken);
  }
  return ids;
}

std::string WhitespaceTokenizer::decode(std::span<const u32> ids, const Interrupt& interrupt) const {
  WorkMeter meter(interrupt);
  std::string out;
  if (ids.empty()) return out;
  u64 total = ids.size() - 1;  // the separating spaces
  for (const u32 id : ids) total += id < vocab_size() ? token(id).size() : kUnknown.size();
  out.reserve(total);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.append(ids[i] < vocab_size() ? token(ids[i]) : kUnknown);
    meter.add(work_units::kToken);
  }
  return out;
}

u32 WhitespaceTokenizer::id_for(std::string_view tok) {
  const u64 h = hash_of(tok);
  const u32 tag = tag_of(h);
  if (!table_.empty()) {
    for (u64 i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = table_[i];
      if (s.tag == 0) break;
      if (s.tag == tag && token(s.id) == tok) return s.id;
    }
  }
  const u64 id = vocab_size();
  if (id == kMaxTokens) {
    throw std::length_error("token vocabulary full: all 4294967296 ids are assigned");
  }
  if ((id + 1) * 10 > table_.size() * 7) grow_table();
  // Both tables change only after every allocation has succeeded.
  token_ends_.push_back(arena_.size() + tok.size());
  try {
    arena_.append(tok);
  } catch (...) {
    token_ends_.pop_back();
    throw;
  }
  assert(vocab_size() * 10 <= table_.size() * 7);  // at most 7/10 full, so probes end
  u64 i = h & mask_;
  while (table_[i].tag != 0) i = (i + 1) & mask_;
  table_[i] = Slot{static_cast<u32>(id), tag};
  return static_cast<u32>(id);
}

u64 WhitespaceTokenizer::hash_of(std::string_view tok) { return std::hash<std::string_view>{}(tok); }

// Doubles the table and places every id again; hashes are recomputed from the
// arena, in id order, so the table stores no more than 8 bytes a slot.
void WhitespaceTokenizer::grow_table() {
  const u64 capacity = table_.empty() ? 16 : table_.size() * 2;
  std::vector<Slot> grown(capacity);
  const u64 mask = capacity - 1;
  for (u64 id = 0; id < vocab_size(); ++id) {
    const u64 h = hash_of(token(id));
    u64 i = h & mask;
    while (grown[i].tag != 0) i = (i + 1) & mask;
    grown[i] = Slot{static_cast<u32>(id), tag_of(h)};
  }
  table_.swap(grown);
  mask_ = mask;
}

TokenizerOrError get_tokenizer(std::string_view name) {
  if (name == "whitespace") return std::unique_ptr<Tokenize>(std::make_unique<WhitespaceTokenizer>());
  if (name.starts_with("hf:")) {
    return std::string("HuggingFace tokenizers requires building with the 'tokenizers' feature");
  }
  if (name.starts_with("file:")) {
    return std::string("Loading tokenizers from file requires building with the 'tokenizers' feature");
  }
  std::string message = "unknown tokenizer '";
  message += name;
  message += "'. Available: 'whitespace', 'hf:<model>' (with feature), 'file:<path>' (with feature)";
  return message;
}

}  // namespace palimp
