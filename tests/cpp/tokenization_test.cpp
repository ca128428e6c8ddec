#include "tokenization.h"

#include <gtest/gtest.h>

#include <optional>

namespace palimp {
namespace {

using Ids = std::vector<u32>;

// One tokenizer through a sequence of texts: ids keep counting from where the
// previous text left them.
TEST(Tokenizer, EncodesInOrderOfFirstAppearance) {
  struct Step {
    std::string text;
    Ids ids;
    u64 vocab_after;
  };
  const std::vector<Step> steps = {
      {"  hello   world\n", {0, 1}, 2},
      {"world hello", {1, 0}, 2},
      {"", {}, 2},
      {" \t\n\v\f\r  ", {}, 2},
      {"hello, world", {2, 1}, 3},                            // the comma stays with its word
      {"Hello hello", {3, 0}, 4},                             // case-sensitive
      {"a\xC2\xA0" "b\xE3\x80\x80" "c", {4, 5, 6}, 7},        // NBSP and ideographic space cut
      {"a\xE2\x80\x8B" "b x\xEF\xBB\xBFy", {7, 8}, 9},        // ZWSP and U+FEFF do not
      {"a\xE2\x80\x8B" "b\xE2\x80\xA9" "a", {7, 4}, 9},       // ending in a paragraph separator
      {"caf\xC3\xA9 caf\xC3\xA9", {9, 9}, 10},
  };
  WhitespaceTokenizer t;
  for (const auto& s : steps) {
    EXPECT_EQ(t.encode(s.text), s.ids) << ::testing::PrintToString(s.text);
    EXPECT_EQ(t.vocab_size(), s.vocab_after) << ::testing::PrintToString(s.text);
  }
}

TEST(Tokenizer, ExactlyTheWhiteSpaceCharactersCut) {
  const std::vector<std::string> spaces = {
      "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
      "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
      "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  ASSERT_EQ(spaces.size(), 25u);
  // Neighbours of those that share their leading bytes, and other invisible
  // characters: U+0084, U+0086, U+00A1, U+1681, U+180E, U+200B, U+200C,
  // U+2027, U+202A, U+2030, U+205E, U+2060, U+3001, U+FEFF, and NUL.
  const std::vector<std::string> others = {
      "\xC2\x84", "\xC2\x86", "\xC2\xA1", "\xE1\x9A\x81", "\xE1\xA0\x8E", "\xE2\x80\x8B", "\xE2\x80\x8C",
      "\xE2\x80\xA7", "\xE2\x80\xAA", "\xE2\x80\xB0", "\xE2\x81\x9E", "\xE2\x81\xA0", "\xE3\x80\x81",
      "\xEF\xBB\xBF", std::string(1, '\0')};
  for (const auto& c : spaces) {
    WhitespaceTokenizer t;
    EXPECT_EQ(t.encode("a" + c + "b" + c), (Ids{0, 1})) << ::testing::PrintToString(c);
  }
  for (const auto& c : others) {
    WhitespaceTokenizer t;
    EXPECT_EQ(t.encode("a" + c + "b " + c), (Ids{0, 1})) << ::testing::PrintToString(c);
    EXPECT_EQ(t.decode(Ids{0, 1}), "a" + c + "b " + c);
  }
}

TEST(Tokenizer, Decodes) {
  WhitespaceTokenizer t;
  ASSERT_EQ(t.encode("  hello   world\n"), (Ids{0, 1}));
  EXPECT_EQ(t.decode(Ids{1, 0}), "world hello");
  EXPECT_EQ(t.decode(Ids{0, 7}), "hello <UNK>");
  EXPECT_EQ(t.decode(Ids{UINT32_MAX, 2}), "<UNK> <UNK>");
  EXPECT_EQ(t.decode(Ids{}), "");
  EXPECT_EQ(t.vocab_size(), 2u);
  EXPECT_EQ(t.decode(t.encode("\tone\n two   three ")), "one two three");
  EXPECT_EQ(t.id_for("hello"), 0u);
  EXPECT_EQ(t.id_for("new token"), 5u);
  EXPECT_EQ(t.decode(Ids{5}), "new token");
}

// Many tokens of every length, so that the table and the arena reallocate
// many times; a moved tokenizer keeps its vocabulary.
TEST(Tokenizer, LargeVocabularySurvivesGrowthAndMoves) {
  WhitespaceTokenizer t;
  std::string text;
  std::vector<std::string> words;
  for (int i = 0; i < 20000; ++i) {
    words.push_back(std::string(static_cast<size_t>(i % 40), 'w') + std::to_string(i));
    text += words.back() + (i % 3 ? " " : "\n");
  }
  Ids expected(words.size());
  for (u32 i = 0; i < expected.size(); ++i) expected[i] = i;
  ASSERT_EQ(t.encode(text), expected);
  WhitespaceTokenizer moved = std::move(t);
  EXPECT_EQ(moved.encode(text), expected);
  EXPECT_EQ(moved.vocab_size(), words.size());
  for (u32 i = 0; i < words.size(); i += 997) EXPECT_EQ(moved.decode(Ids{i}), words[i]);
}

TEST(Tokenizer, ByName) {
  const std::string unknown_tail = "'. Available: 'whitespace', 'hf:<model>' (with feature), 'file:<path>' (with feature)";
  const std::string hf = "HuggingFace tokenizers requires building with the 'tokenizers' feature";
  const std::string file = "Loading tokenizers from file requires building with the 'tokenizers' feature";
  const std::vector<std::pair<std::string, std::optional<std::string>>> rows = {
      {"whitespace", std::nullopt},
      {"Whitespace", "unknown tokenizer 'Whitespace" + unknown_tail},
      {" whitespace", "unknown tokenizer ' whitespace" + unknown_tail},
      {"whitespace ", "unknown tokenizer 'whitespace " + unknown_tail},
      {"", "unknown tokenizer '" + unknown_tail},
      {"hf", "unknown tokenizer 'hf" + unknown_tail},
      {"HF:model", "unknown tokenizer 'HF:model" + unknown_tail},
      {"hf:", hf},
      {"hf:model", hf},
      {"hf:file:x", hf},
      {"file:", file},
      {"file:x", file},
  };
  for (const auto& [name, error] : rows) {
    const TokenizerOrError r = get_tokenizer(name);
    if (error) {
      ASSERT_TRUE(std::holds_alternative<std::string>(r)) << name;
      EXPECT_EQ(std::get<std::string>(r), *error);
    } else {
      ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Tokenize>>(r)) << name;
      EXPECT_NE(std::get<std::unique_ptr<Tokenize>>(r), nullptr);
    }
  }
}

TEST(Tokenizer, EachLookupGetsItsOwnVocabulary) {
  auto a = std::get<std::unique_ptr<Tokenize>>(get_tokenizer("whitespace"));
  auto b = std::get<std::unique_ptr<Tokenize>>(get_tokenizer("whitespace"));
  EXPECT_EQ(a->encode("red green"), (Ids{0, 1}));
  EXPECT_EQ(b->encode("blue red"), (Ids{0, 1}));
  EXPECT_EQ(a->decode(Ids{0, 1}), "red green");
  EXPECT_EQ(b->decode(Ids{0, 1}), "blue red");
}

}  // namespace
}  // namespace palimp
