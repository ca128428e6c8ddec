#include <gtest/gtest.h>

#include "symbols.h"
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

}  // namespace
}  // namespace palimp::testing
