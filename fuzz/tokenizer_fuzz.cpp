// The whitespace tokenizer against a plain splitter over code points, and the
// lookup of tokenizers by name.
#include <map>

#include "fuzz_support.h"
#include "normalize.h"
#include "tokenization.h"

namespace palimp::fuzz {
namespace {

// The 25 Unicode White_Space characters, and neighbours that are not.
const std::vector<std::string> kSpaces = {
    "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
    "\xE2\x81\x9F", "\xE3\x80\x80"};
const std::vector<std::string> kWords = {
    "a", "b", "ab", "A", ",", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", std::string(1, '\0'),
    "\xE2\x80\x8B",  // U+200B
    "\xEF\xBB\xBF",  // U+FEFF
    "\xC2\x84", "\xC2\xA1", "\xE1\x9A\x81", "\xE2\x80\xA7", "\xE2\x80\xAE", "\xE2\x81\xA0", "\xE3\x80\x81",
    "\xE2\x81\x9E", "\x1F"};

bool is_space(u32 v) {
  return (v >= 0x09 && v <= 0x0D) || v == 0x20 || v == 0x85 || v == 0xA0 || v == 0x1680 ||
         (v >= 0x2000 && v <= 0x200A) || v == 0x2028 || v == 0x2029 || v == 0x202F || v == 0x205F || v == 0x3000;
}

// The tokens of a valid text: the non-empty runs between whitespace.
std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  size_t at = 0;
  for (const u32 v : string_to_u32s(text)) {
    const size_t w = v < 0x80 ? 1 : v < 0x800 ? 2 : v < 0x10000 ? 3 : 4;
    if (is_space(v)) {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur.append(text, at, w);
    }
    at += w;
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

std::string joined(const std::vector<std::string>& tokens) {
  std::string s;
  for (size_t i = 0; i < tokens.size(); ++i) s += (i ? " " : "") + tokens[i];
  return s;
}

// Encoding several texts with one tokenizer: ids follow first appearance
// across all of them, decoding joins tokens by single spaces, and ids never
// given out decode as <UNK>.
void check_texts(FuzzInput& in) {
  WhitespaceTokenizer tok;
  std::map<std::string, u32> vocab;
  std::vector<std::string> by_id;
  const u64 texts = 1 + in.below(4);
  for (u64 t = 0; t < texts; ++t) {
    std::string text;
    const u64 pieces = in.below(40);
    for (u64 i = 0; i < pieces; ++i) {
      const u8 b = in.byte();
      text += b & 1 ? kSpaces[(b >> 1) % kSpaces.size()] : kWords[(b >> 1) % kWords.size()];
    }
    const std::vector<std::string> tokens = split(text);
    const std::vector<u32> ids = tok.encode(text);
    FUZZ_CHECK(ids.size() == tokens.size(), ids.size() << " ids for " << tokens.size() << " tokens");
    for (size_t i = 0; i < ids.size(); ++i) {
      const auto [it, added] = vocab.emplace(tokens[i], static_cast<u32>(by_id.size()));
      if (added) by_id.push_back(tokens[i]);
      FUZZ_CHECK(ids[i] == it->second, "id of token " << i << " is " << ids[i] << ", not " << it->second);
    }
    FUZZ_CHECK(tok.vocab_size() == by_id.size(), "vocabulary size");
    FUZZ_CHECK(tok.decode(ids) == joined(tokens), "decode(encode(text))");
  }
  std::vector<u32> ids;
  std::vector<std::string> words;
  const u64 n = in.below(8);
  for (u64 i = 0; i < n; ++i) {
    const u8 b = in.byte();
    const u32 id = b < 200 ? b % (by_id.size() + 2) : b == 255 ? 0xFFFFFFFFu : static_cast<u32>(by_id.size());
    ids.push_back(id);
    words.push_back(id < by_id.size() ? by_id[id] : "<UNK>");
  }
  FUZZ_CHECK(tok.decode(ids) == joined(words), "decode with unknown ids");
  for (u32 id = 0; id < by_id.size(); ++id) FUZZ_CHECK(tok.id_for(by_id[id]) == id, "id_for " << id);
  FUZZ_CHECK(tok.vocab_size() == by_id.size(), "id_for of known tokens grew the vocabulary");
}

// Arbitrary bytes (the interpreter never passes invalid UTF-8, but nothing
// may read outside the text on it): tokens are non-empty and hold no ASCII
// whitespace, and decoding gives them back.
void check_raw(const std::string& bytes) {
  WhitespaceTokenizer tok;
  const std::vector<u32> ids = tok.encode(bytes);
  for (const u32 id : ids) FUZZ_CHECK(id < tok.vocab_size(), "id beyond the vocabulary");
  const std::string back = tok.decode(ids);
  FUZZ_CHECK(tok.encode(back) == ids || back.size() <= bytes.size() + ids.size(), "decode size");
}

void check_name(const std::string& name) {
  TokenizerOrError got = get_tokenizer(name);
  if (name == "whitespace") {
    auto* t = std::get_if<std::unique_ptr<Tokenize>>(&got);
    FUZZ_CHECK(t && *t && (*t)->encode("a b a") == (std::vector<u32>{0, 1, 0}), "whitespace tokenizer");
    return;
  }
  const auto* error = std::get_if<std::string>(&got);
  FUZZ_CHECK(error != nullptr, "name accepted: " << name);
  if (name.starts_with("hf:")) {
    FUZZ_CHECK(*error == "HuggingFace tokenizers requires building with the 'tokenizers' feature", *error);
  } else if (name.starts_with("file:")) {
    FUZZ_CHECK(*error == "Loading tokenizers from file requires building with the 'tokenizers' feature", *error);
  } else {
    FUZZ_CHECK(*error == "unknown tokenizer '" + name +
                             "'. Available: 'whitespace', 'hf:<model>' (with feature), 'file:<path>' (with feature)",
               *error);
  }
}

int tokenizer(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  switch (in.byte() % 4) {
    case 0:
      check_raw(in.rest());
      break;
    case 1: {
      static const char* kPrefixes[] = {"", "hf:", "file:", "whitespace", "white", "Whitespace", " whitespace"};
      std::string name = kPrefixes[in.below(std::size(kPrefixes))];
      if (in.flag()) name += in.rest();
      check_name(name);
      break;
    }
    default:
      check_texts(in);
  }
  return 0;
}

}  // namespace
}  // namespace palimp::fuzz

int palimp_fuzz_tokenizer(const uint8_t* data, size_t size) { return palimp::fuzz::tokenizer(data, size); }
PALIMP_FUZZ_ENTRY(palimp_fuzz_tokenizer)
