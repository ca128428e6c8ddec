#include <gtest/gtest.h>

#include "lib.h"

#include <algorithm>
#include "test_support.h"

namespace palimp::testing {
namespace {

using Texts = std::vector<std::optional<std::string>>;

TEST(ComputeOffsets, WorkedExamples) {
  EXPECT_EQ(compute_offsets(""), std::vector<u64>{0});
  EXPECT_EQ(compute_offsets("h\xC3\xA9llo"), (std::vector<u64>{0, 1, 3, 4, 5, 6}));
  EXPECT_EQ(compute_offsets("\xF0\x9F\x98\x80"), (std::vector<u64>{0, 4}));
  EXPECT_EQ(compute_offsets("e\xCC\x81"), (std::vector<u64>{0, 1, 3}));
}

// Byte offsets from the kept marks agree with the full table at every
// character boundary, across mark boundaries and for every storage width.
TEST(TextStore, ByteOffsetsMatchTheFullTable) {
  const std::vector<std::string> pieces{"a", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xC3\xBF"};
  std::mt19937_64 rng(3);
  for (int round = 0; round < 60; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 300);
    const u64 kinds = 1 + rng() % pieces.size();
    for (int i = 0; i < n; ++i) text += pieces[rng() % kinds];
    TextStore store;
    store.add_owned(text);
    const auto table = compute_offsets(text);
    ASSERT_EQ(store.byte_length(0), text.size());
    for (u64 c = 0; c < table.size(); ++c) {
      ASSERT_EQ(store.byte_offset(0, c), table[c]) << round << " " << c;
    }
    EXPECT_THROW(store.byte_offset(0, store.code_points(0).size + 1), InternalError);
  }
}

// Absent entries keep their places: references name list positions and
// count bytes, absent messages give empty lists and empty texts.
TEST(TextCompressors, PositionsAndBytes) {
  const Texts in{std::string("h\xC3\xA9llo wonderful world"), std::nullopt,
                 std::string("X h\xC3\xA9llo wonderful world!"), std::string(""),
                 std::string("X h\xC3\xA9llo wonderful world! \xF0\x9F\x98\x80")};
  EngineParams p;
  const Exact e = exact(in, p);
  const auto segs = e.segments();
  ASSERT_EQ(segs.size(), 5u);
  EXPECT_EQ(segs[0], (std::vector<Segment>{TextLiteral{*in[0]}}));
  EXPECT_TRUE(segs[1].empty());
  EXPECT_EQ(segs[2], (std::vector<Segment>{TextLiteral{"X "}, Reference{0, 0, 22}, TextLiteral{"!"}}));
  EXPECT_TRUE(segs[3].empty());
  EXPECT_EQ(segs[4], (std::vector<Segment>{Reference{2, 0, 25}, TextLiteral{" \xF0\x9F\x98\x80"}}));

  const auto copies = e.render_with([](std::string_view s) { return std::string(s); });
  for (size_t k = 0; k < in.size(); ++k) EXPECT_EQ(copies[k], in[k].value_or("")) << k;
  const auto marked = e.render_with([](std::string_view) { return std::string("<>"); });
  EXPECT_EQ(marked[4], "<> \xF0\x9F\x98\x80");
  EXPECT_EQ(e.state().render_replacing("<>"), marked);

  const Approximate a = approximate(in, p);
  EXPECT_EQ(a.segments().size(), 5u);
  EXPECT_TRUE(a.segments()[1].empty());
  const auto a_copies = a.render_with([](std::string_view s) { return std::string(s); });
  for (size_t k = 0; k < in.size(); ++k) EXPECT_EQ(a_copies[k], in[k].value_or("")) << k;
}

TEST(TextCompressors, CompressionRatio) {
  EngineParams p;
  EXPECT_EQ(exact(Texts{}, p).state().compression_ratio(), 1.0);
  EXPECT_EQ(exact(Texts{std::nullopt, std::string("")}, p).state().compression_ratio(), 1.0);
  EXPECT_EQ(exact(Texts{std::string("\xC3\xA9")}, p).state().compression_ratio(), 1.0);
  const std::string hundred(100, 'a');
  EXPECT_DOUBLE_EQ(exact(Texts{hundred, hundred}, p).state().compression_ratio(), 0.505);
}

// Present texts are numbered in list order, absent entries only take list
// positions, and a store that grows text by text (no reservation) or moves
// keeps every text in place.
TEST(TextStore, PresentTextsAndListPositions) {
  const std::vector<std::optional<std::string>> in{std::nullopt, "ab", "", std::nullopt, "h\xC3\xA9", "x", std::nullopt,
                                                   "\xF0\x9F\x98\x80z", "q", "r", "s"};
  TextStore grown;
  for (const auto& m : in) {
    if (m) {
      grown.add_owned(*m);
    } else {
      grown.add_absent();
    }
  }
  const TextStore store = std::move(grown);
  EXPECT_EQ(grown.size(), 0u);
  EXPECT_EQ(grown.present(), 0u);
  ASSERT_EQ(store.size(), in.size());
  std::vector<u64> seen;
  u64 present = 0;
  store.for_each_entry([&](u64 k, u64 j) {
    seen.push_back(k);
    if (!in[k]) {
      EXPECT_EQ(j, TextStore::kAbsent) << k;
      return;
    }
    ASSERT_EQ(j, present++) << k;
    EXPECT_EQ(store.list_position(j), k);
    EXPECT_EQ(store.byte_length(j), in[k]->size());
    EXPECT_EQ(store.ascii(j), std::ranges::all_of(*in[k], [](char c) { return static_cast<u8>(c) < 0x80; }));
    std::string back;
    store.append_utf8(j, 0, store.code_points(j).size, back);
    EXPECT_EQ(back, *in[k]);
    EXPECT_EQ(store.spans()[j].data, store.code_points(j).data);
  });
  EXPECT_EQ(seen.size(), in.size());
  EXPECT_EQ(store.present(), present);
  EXPECT_EQ(store.spans().size(), present);
  EXPECT_THROW(store.list_position(present), InternalError);
  EXPECT_THROW(store.code_points(present), InternalError);
}

}  // namespace
}  // namespace palimp::testing
