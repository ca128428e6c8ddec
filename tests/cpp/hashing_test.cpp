#include "hashing.h"

#include <gtest/gtest.h>

namespace palimp {
namespace {

TEST(PrefixHashes, EmptySequence) {
  const auto [prefix, power] = prefix_hashes_u32({}, HASH_BASE);
  EXPECT_EQ(prefix, std::vector<u64>{0});
  EXPECT_EQ(power, std::vector<u64>{1});
  EXPECT_EQ(window_hash(prefix, power, 0, 0), 0u);
}

TEST(PrefixHashes, WorkedTable) {
  const std::vector<u32> t{1, 2, 3};
  const auto [prefix, power] = prefix_hashes_u32(t, HASH_BASE);
  EXPECT_EQ(prefix, (std::vector<u64>{0, 1, 259, 66566}));
  EXPECT_EQ(power, (std::vector<u64>{1, 257, 66049, 16974593}));
  EXPECT_EQ(window_hash(prefix, power, 1, 2), 517u);
  EXPECT_EQ(window_hash(prefix, power, 2, 1), 3u);
  EXPECT_EQ(window_hash(prefix, power, 0, 3), 66566u);
  EXPECT_EQ(window_hash(prefix, power, 3, 0), 0u);
  // The same window elsewhere, in another sequence, hashes alike.
  const std::vector<u32> other{9, 9, 2, 3};
  const auto [p2, w2] = prefix_hashes_u32(other, HASH_BASE);
  EXPECT_EQ(window_hash(p2, w2, 2, 2), 517u);
  EXPECT_EQ(window_hash(p2, w2, 1, 1), 9u);
}

TEST(PrefixHashes, WindowOutsideTablesIsInternalError) {
  const std::vector<u32> t{1, 2, 3};
  const auto [prefix, power] = prefix_hashes_u32(t, HASH_BASE);
  EXPECT_THROW(window_hash(prefix, power, 2, 2), InternalError);
  EXPECT_THROW(window_hash(prefix, power, 4, 0), InternalError);
  EXPECT_THROW(window_hash(prefix, power, 1, UINT64_MAX), InternalError);
}

TEST(PrefixHashes, LongSequencesWrapAndAgreeWithRollingAndDirectHashes) {
  std::vector<u32> t(5000);
  for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<u32>(i * 2654435761u);
  const auto [prefix, power] = prefix_hashes_u32(t, HASH_BASE);
  EXPECT_EQ(power.back(), pow_u64(HASH_BASE, 5000));
  const SymbolSpan span{t.data(), t.size(), 4};
  const RollingWindow roll(37);
  u64 h = hash_symbols(span, 0, 37);
  for (u64 s = 0; s + 37 <= t.size(); ++s) {
    if (s > 0) h = roll.roll(h, t[s - 1], t[s + 36]);
    ASSERT_EQ(h, window_hash(prefix, power, s, 37)) << s;
  }
  EXPECT_EQ(inverse_u64(HASH_BASE) * HASH_BASE, 1u);
}

}  // namespace
}  // namespace palimp
