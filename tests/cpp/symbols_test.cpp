#include <gtest/gtest.h>

#include <algorithm>

#include "common_prefix.h"
#include "engine/places.h"
#include "segment_table.h"
#include "symbol_span.h"
#include "token_store.h"
#include "test_support.h"

namespace palimp::testing {
namespace {

// Each sequence is stored in the narrowest width that holds its ids, and
// every read widens it back exactly.
TEST(TokenStore, NarrowStorageGivesBackTheIds) {
  const Messages msgs{{}, {0, 1, 255}, {256, 3}, {65535}, {65536, 0, 4294967295u}, {7}};
  const TokenStore store(views(msgs));
  ASSERT_EQ(store.messages(), msgs.size());
  const std::vector<u8> widths{1, 1, 2, 2, 4, 1};
  for (u64 i = 0; i < msgs.size(); ++i) {
    const SymbolSpan s = store.span(i);
    EXPECT_EQ(s.width, widths[i]) << i;
    ASSERT_EQ(s.size, msgs[i].size());
    std::vector<u32> out{99};
    store.append_to(i, 0, s.size, out);
    EXPECT_EQ(std::vector<u32>(out.begin() + 1, out.end()), msgs[i]) << i;
    for (u64 j = 0; j < s.size; ++j) EXPECT_EQ(s.at(j), msgs[i][j]);
  }
  std::vector<u32> out;
  EXPECT_THROW(store.append_to(1, 2, 2, out), InternalError);
  EXPECT_THROW(store.span(6), InternalError);
}

// Equal values compare equal whatever their storage width.
TEST(CommonPrefix, AcrossWidths) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    std::vector<u32> a(1 + rng() % 90), b;
    for (auto& x : a) x = static_cast<u32>(rng() % 4);
    b = a;
    const u64 cut = rng() % a.size();
    b[cut] += 1 + static_cast<u32>(rng() % 3);
    const std::vector<u8> a8(a.begin(), a.end());
    const std::vector<u16> b16(b.begin(), b.end());
    const SymbolSpan sa{a8.data(), a8.size(), 1}, sb{b16.data(), b16.size(), 2};
    const SymbolSpan wa{a.data(), a.size(), 4}, wb{b.data(), b.size(), 4};
    EXPECT_EQ(common_prefix(sa, 0, sb, 0, a.size()), cut);
    EXPECT_EQ(common_prefix(wa, 0, wb, 0, a.size()), cut);
    EXPECT_EQ(common_prefix(sa, 0, wa, 0, a.size()), a.size());
  }
  const std::vector<u32> x{1, 2, 3};
  const SymbolSpan s{x.data(), x.size(), 4};
  EXPECT_THROW(common_prefix(s, 2, s, 0, 2), InternalError);
}

// The last sequence, added four bytes wide, is narrowed in place to the width
// its largest id needs, and the next sequence goes right after it.
TEST(TokenStore, NarrowsTheLastSequenceInPlace) {
  const Messages msgs{{}, {0, 1, 255}, {256, 3, 65535}, {65536, 0, 4294967295u}, {9}};
  const std::vector<u8> widths{1, 1, 2, 4, 1};
  TokenStore store;
  for (const auto& m : msgs) {
    auto* wide = static_cast<u32*>(store.add_uninitialized(m.size(), 4));
    std::copy(m.begin(), m.end(), wide);
    store.narrow_last();
  }
  for (u64 i = 0; i < msgs.size(); ++i) {
    EXPECT_EQ(store.span(i).width, widths[i]) << i;
    std::vector<u32> out;
    store.append_to(i, 0, msgs[i].size(), out);
    EXPECT_EQ(out, msgs[i]) << i;
  }
  store.add(std::vector<u32>{7});
  EXPECT_THROW(store.narrow_last(), InternalError);  // added one byte wide
}

// Copies between every pair of widths give back the values, narrowing
// included whenever the values fit; the maximum is that of the range.
TEST(Symbols, CopyAndMaximumAcrossWidths) {
  std::mt19937_64 rng(11);
  for (const u32 top : {0x7Fu, 0xFFu, 0xFFFFu, 0x10FFFFu}) {
    std::vector<u32> v(1 + rng() % 200);
    for (auto& x : v) x = static_cast<u32>(rng() % (top + 1));
    const std::vector<u8> v8(v.begin(), v.end());
    const std::vector<u16> v16(v.begin(), v.end());
    const u8 need = width_for(*std::max_element(v.begin(), v.end()));
    for (const SymbolSpan& s : {SymbolSpan{v8.data(), v8.size(), 1}, SymbolSpan{v16.data(), v16.size(), 2},
                                SymbolSpan{v.data(), v.size(), 4}}) {
      if (s.width < need) continue;
      const u64 start = rng() % v.size(), len = rng() % (v.size() - start + 1);
      const u32 expected_max = len == 0 ? 0 : *std::max_element(v.begin() + start, v.begin() + start + len);
      EXPECT_EQ(max_symbol(s, start, len), expected_max);
      for (const u8 width : {u8{1}, u8{2}, u8{4}}) {
        if (width < width_for(expected_max)) continue;
        std::vector<u8> out(len * width + 1, 0xEE);
        copy_symbols(s, start, len, width, out.data());
        const SymbolSpan copied{out.data(), len, width};
        for (u64 i = 0; i < len; ++i) ASSERT_EQ(copied.at(i), v[start + i]) << int(s.width) << "->" << int(width);
        EXPECT_EQ(out.back(), 0xEE);  // nothing written past the range
      }
    }
  }
  const std::vector<u32> x{1, 2, 3};
  const SymbolSpan s{x.data(), x.size(), 4};
  u32 out[4];
  EXPECT_THROW(max_symbol(s, 2, 2), InternalError);
  EXPECT_THROW(copy_symbols(s, 4, 0, 4, out), InternalError);
  EXPECT_EQ(narrowest_width(x), 1);
  EXPECT_EQ(narrowest_width(std::vector<u32>{}), 1);
  EXPECT_EQ(narrowest_width(std::vector<u32>{1, 70000}), 4);
}

// Places number the messages' positions one after another, for few messages
// (kept inside the object) and many (on the heap) alike.
TEST(PlaceNumbering, FirstPlacesAndOwners) {
  for (const u64 count : {u64{0}, u64{1}, u64{15}, u64{16}, u64{17}, u64{40}}) {
    std::vector<u32> storage(3);
    std::vector<SymbolSpan> msgs;
    for (u64 m = 0; m < count; ++m) msgs.push_back({storage.data(), m % 4, 4});  // some empty
    PlaceNumbering built(msgs);
    const PlaceNumbering places = std::move(built);
    u64 total = 0;
    for (u64 m = 0; m < count; ++m) {
      ASSERT_EQ(places.first(m), total);
      for (u64 j = 0; j < msgs[m].size; ++j) ASSERT_EQ(places.message_of(total + j), m);
      total += msgs[m].size;
    }
    EXPECT_EQ(places.total(), total);
  }
}

// The table gives back exactly what was added, whatever the number of
// messages (the first lists live in the first chunk, later ones apart) and
// whatever their lengths (a message may outgrow several chunks), also after
// it has been moved.
TEST(SegmentTable, GivesBackEveryListAcrossChunksAndMoves) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::vector<Piece>> model(rng() % 60);
    SegmentTable table;
    for (u64 m = 0; m < model.size(); ++m) {
      auto& list = model[m];
      const u64 n = rng() % 8 == 0 ? rng() % 9000 : rng() % 6;
      for (u64 i = 0; i < n; ++i) {
        // References point only to messages already ended.
        const Piece p = m == 0 || rng() % 2 ? Piece{Piece::kLiteral, rng() % 100, 1 + rng() % 9}
                                            : Piece{rng() % m, rng() % 100, 1 + rng() % 9};
        if (p.is_literal()) {
          table.add_literal(p.start, p.len);
        } else {
          table.add_reference(p.source, p.start, p.len);
        }
        list.push_back(p);
      }
      table.end_message();
    }
    SegmentTable moved(std::move(table));
    SegmentTable assigned;
    assigned.add_literal(0, 1);
    assigned.end_message();
    assigned = std::move(moved);
    ASSERT_EQ(assigned.messages(), model.size());
    u64 pieces = 0;
    for (u64 i = 0; i < model.size(); ++i) {
      const auto got = assigned.message(i);
      ASSERT_TRUE(std::ranges::equal(got, model[i])) << round << " " << i;
      pieces += model[i].size();
    }
    EXPECT_EQ(assigned.pieces(), pieces);
    EXPECT_THROW(assigned.message(model.size()), InternalError);
    EXPECT_EQ(table.messages(), 0u);  // moved-from tables are empty
    EXPECT_EQ(moved.messages(), 0u);
  }
}

}  // namespace
}  // namespace palimp::testing
