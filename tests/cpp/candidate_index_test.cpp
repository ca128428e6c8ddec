#include <gtest/gtest.h>

#include <map>

#include "engine/binary.h"
#include "engine/candidate_index.h"
#include "engine/copy_index.h"
#include "hashing.h"
#include "reference_engines.h"
#include "test_support.h"

namespace palimp::testing {
namespace {

TEST(ShortLists, GrowThroughTheirBlocksAndStopAtTheirLimit) {
  ShortListPool<u32> pool(64);
  std::vector<ShortList<u32>> lists(70);
  // Interleaved appends, so blocks are moved, freed and reused while other
  // lists still live in the pool.
  for (u32 round = 0; round < 70; ++round) {
    for (u32 l = 0; l < lists.size(); ++l) {
      if (round < l + 1) EXPECT_EQ(pool.append(lists[l], round * 100 + l), round < 64);
    }
  }
  for (u32 l = 0; l < lists.size(); ++l) {
    const ShortListView<u32> v = pool.view(lists[l]);
    ASSERT_EQ(v.size, std::min<u32>(l + 1, 64));
    ASSERT_EQ(pool.size(lists[l]), v.size);
    for (u32 i = 0; i < v.size; ++i) ASSERT_EQ(v[i], i * 100 + l) << "list " << l;
  }
  ShortListPool<u64> one(1);
  ShortList<u64> single;
  EXPECT_TRUE(one.append(single, ShortList<u64>::kMaxValue));
  EXPECT_FALSE(one.append(single, 7));
  EXPECT_EQ(one.view(single)[0], ShortList<u64>::kMaxValue);
}

// Growth counts as work: an interrupt that ends a growth leaves the map as
// it was, and the insertion can be made again.
TEST(ShortLists, MapFindsEveryKeyAcrossGrowthAndInterruptedGrowth) {
  ShortListMap<u32> map;
  ShortListPool<u32> pool(64);
  struct Stop {};
  int polls = 0;
  auto stop_every_other = [&] {
    if (++polls % 2 == 1) throw Stop{};
  };
  const Interrupt interrupt(stop_every_other);
  WorkMeter meter(interrupt);
  map.count_growth_on(meter);
  EXPECT_EQ(map.find(0), nullptr);
  // Polynomial hashes of short windows: small, poorly mixed keys, 0 included.
  std::mt19937_64 rng(3);
  std::map<u64, std::vector<u32>> want;
  for (u32 i = 0; i < 100000; ++i) {
    const u64 key = i % 3 == 0 ? rng() : rng() % 25000;
    ShortList<u32>* list = nullptr;
    while (list == nullptr) {
      try {
        list = &map.find_or_insert(key);
      } catch (const Stop&) {
      }
    }
    pool.append(*list, i);
    if (want[key].size() < 64) want[key].push_back(i);
  }
  EXPECT_GE(polls, 2);
  EXPECT_EQ(map.size(), want.size());
  EXPECT_LE(map.size(), map.limit());
  for (const auto& [key, values] : want) {
    const ShortList<u32>* l = map.find(key);
    ASSERT_NE(l, nullptr);
    const ShortListView<u32> v = pool.view(*l);
    ASSERT_EQ(v.size, values.size());
    for (u32 i = 0; i < v.size; ++i) ASSERT_EQ(v[i], values[i]);
  }
  EXPECT_EQ(map.find(UINT64_MAX), nullptr);
}

// A reservation takes its keys without growing, in a table of at most about
// twice the slots it needs at the load limit of 7/8 (small tables round their
// groups up to a power of two), so that small inputs do not pay for tables
// several times the size they need.
TEST(ShortLists, MapReservationHoldsItsKeysInLittleRoom) {
  for (u64 keys : {1, 2, 3, 100, 253, 384, 385, 3071, 3072, 3073, 5000, 100000}) {
    ShortListMap<u32> map;
    ShortListPool<u32> pool(4);
    map.reserve(keys);
    const u64 capacity = map.capacity();
    EXPECT_GE(map.limit(), keys) << keys;
    EXPECT_LE(capacity, std::max<u64>(32, 16 * ((keys + keys / 7) / 16 + 1) * 2)) << keys;
    for (u64 i = 0; i < keys; ++i) pool.append(map.find_or_insert(i * 0x9E3779B97F4A7C15), 0);
    EXPECT_EQ(map.capacity(), capacity) << keys;
    EXPECT_EQ(map.size(), keys);
  }
}

// References of every length into two long sources, the first eight of a
// source kept together, then by superblock, block and start: the copies of
// each start come out as the first MAX_CANDIDATES references covering it, in
// filing order.
TEST(CopyIndex, OpensTheFirstReferencesCoveringEachStart) {
  const u64 k = 4;
  std::vector<u32> symbols(20000, 7);
  std::vector<SymbolSpan> spans{{symbols.data(), 9000, 4}, {symbols.data(), 20000, 4}};
  for (int m = 0; m < 400; ++m) spans.push_back({symbols.data(), 20000, 4});
  const PlaceNumbering numbering(spans);
  const Interrupt never;
  WorkMeter meter(never);
  CopyIndex<u32> index(spans, numbering, k, meter);
  std::mt19937_64 rng(8);
  struct Filed {
    u64 m, at, start, len;
  };
  std::vector<std::vector<Filed>> filed(2);  // per source, in filing order
  for (u64 m = 2; m < spans.size(); ++m) {
    for (u64 at = 0; at < 20000 - 10000;) {
      const u64 c = rng() % 2;
      const u64 len = std::min<u64>(spans[c].size, k + (rng() % 3 == 0 ? rng() % 9000 : rng() % 200));
      const Piece ref{c, rng() % (spans[c].size - len + 1), len};
      index.add(m, at, ref, meter);
      filed[c].push_back({m, at, ref.start, len});
      at += len + rng() % 3000;
    }
  }
  for (u64 c = 0; c < 2; ++c) {
    for (u64 s = 0; s + k <= spans[c].size; s += 1 + rng() % 40) {
      CopyIndex<u32>::Run run;
      std::vector<std::pair<u64, u64>> want, got;  // (place, equal symbols)
      for (const Filed& r : filed[c]) {
        if (r.start <= s && s + k <= r.start + r.len && want.size() < MAX_CANDIDATES) {
          want.push_back({numbering.first(r.m) + r.at + (s - r.start), r.start + r.len - s});
        }
      }
      if (index.open(c, s, run)) {
        while (const auto* copy = index.next(run)) got.push_back({copy->place_of(s), copy->equal_from(s)});
      }
      ASSERT_EQ(got, want) << "source " << c << " start " << s;
    }
  }
}

// Every window of the added messages with the hash's value, in order: the
// list that the index's places() must begin with.
struct Place {
  u64 message, pos;
  friend bool operator==(const Place&, const Place&) = default;
};

// With Filing::kWhileScanningWhenSmall, each message's fresh windows are
// filed before its lookups are checked a second time, as the engine files
// them: the lookups must not see them.
template <class V>
void check_index_against_all_windows(const Messages& msgs, u64 k, Filing filing) {
  std::vector<SymbolSpan> spans;
  for (const auto& m : msgs) spans.push_back({m.data(), m.size(), 4});
  const SegmentTable table = exact_segments(spans, k);
  const PlaceNumbering numbering(spans);
  const Interrupt never;
  WorkMeter meter(never);
  CandidateIndex<V> index(spans, numbering, k, meter, filing);
  std::map<u64, std::vector<Place>> all;
  // While message m is scanned the index holds messages 0..m-1: checks
  // every window of message m against it.
  auto check_lookups = [&](u64 m) {
    for (u64 p = 0; k <= msgs[m].size() && p + k <= msgs[m].size(); ++p) {
      const u64 h = slow_hash(msgs[m], p, k);
      const auto it = all.find(h);
      const ShortList<V>* fresh = index.find(h);
      ASSERT_EQ(fresh != nullptr, it != all.end());
      if (fresh == nullptr) continue;
      const auto places = index.places(h, *fresh);
      const std::vector<Place>& want = it->second;
      ASSERT_EQ(places.size(), std::min<u64>(want.size(), MAX_CANDIDATES)) << "message " << m << " pos " << p;
      for (u64 t = 0; t < places.size(); ++t) {
        const Candidate<V>& c = places[t];
        ASSERT_EQ((Place{c.message, c.pos}), want[t]) << "message " << m << " pos " << p << " place " << t;
        if (c.parent() == Candidate<V>::kRoot) continue;
        // A derived place repeats its parent's symbols for `copied` of them.
        ASSERT_LT(c.parent(), t);
        const Candidate<V>& parent = places[c.parent()];
        ASSERT_GE(c.copied(), k);
        ASSERT_LE(c.pos + c.copied(), msgs[c.message].size());
        ASSERT_LE(parent.pos + c.copied(), msgs[parent.message].size());
        ASSERT_TRUE(std::equal(msgs[c.message].begin() + c.pos, msgs[c.message].begin() + c.pos + c.copied(),
                               msgs[parent.message].begin() + parent.pos));
      }
      const Candidate<V> first = index.first_place(*fresh);
      ASSERT_EQ((Place{first.message, first.pos}), want[0]);
    }
  };
  // Files the fresh windows of message m (those not inside one of its
  // references) in order, as the engine's scan does: even runs at once,
  // odd ones window by window, the way lookups file them.
  auto file_fresh_windows = [&](u64 m) {
    const u64 n = msgs[m].size();
    std::vector<bool> copy(n + 1, false);
    u64 at = 0;
    for (const Piece& piece : table.message(m)) {
      for (u64 j = at; !piece.is_literal() && j + k <= at + piece.len; ++j) copy[j] = true;
      at += piece.len;
    }
    int run = 0;
    for (u64 j = 0; k <= n && j + k <= n;) {
      u64 end = j;
      while (end + k <= n && !copy[end]) ++end;
      if (end == j) {
        ++j;
      } else if (run++ % 2 == 0) {
        index.file_windows(j, end, meter);
        j = end;
      } else {
        for (; j < end; ++j) {
          const u64 h = slow_hash(msgs[m], j, k);
          if (index.find_or_file(h, j) != nullptr) index.file(h, j);
        }
      }
    }
  };
  for (u64 m = 0; m < msgs.size(); ++m) {
    if (index.files_while_scanning()) {
      index.begin_message(m);
      check_lookups(m);
      file_fresh_windows(m);
    }
    check_lookups(m);
    if (::testing::Test::HasFatalFailure()) return;
    index.add_message(m, table.message(m), meter);
    for (u64 p = 0; k <= msgs[m].size() && p + k <= msgs[m].size(); ++p) {
      all[slow_hash(msgs[m], p, k)].push_back({m, p});
    }
  }
}

TEST(CandidateIndex, HandsOutTheFirstPlacesOfEveryWindowInOrder) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 60; ++round) {
    const u64 k = 1 + rng() % 5;
    // Long chains of versions, so that most places are derived copies and
    // many hashes have more than MAX_CANDIDATES places.
    Messages msgs = random_versions(rng, 2 + rng() % 4, 20 + rng() % 70, 150);
    for (const Filing filing : {Filing::kWhileScanningWhenSmall, Filing::kAfterScan}) {
      if (round % 2) {
        check_index_against_all_windows<u32>(msgs, k, filing);
      } else {
        check_index_against_all_windows<u64>(msgs, k, filing);
      }
    }
    ASSERT_FALSE(HasFatalFailure()) << "round " << round << " k " << k;
  }
}

// One place copied far more often than MAX_CANDIDATES times, by references
// that cover its whole block and by ones that cover it alone, interleaved.
TEST(CandidateIndex, KeepsTheFirstCopiesOfAHeavilyCopiedPlace) {
  std::vector<u32> base;
  for (u32 i = 0; i < 300; ++i) base.push_back(1000 + i);
  Messages msgs{base};
  u32 fresh = 1u << 20;
  for (int m = 0; m < 90; ++m) {
    std::vector<u32> msg;
    if (m % 3 == 0) msg.assign(base.begin(), base.end());  // covers every block
    for (int j = 0; j < 3; ++j) {
      msg.insert(msg.end(), base.begin() + 70, base.begin() + 74);  // one window of block 1
      msg.push_back(fresh++);
    }
    msgs.push_back(msg);
  }
  for (const Filing filing : {Filing::kWhileScanningWhenSmall, Filing::kAfterScan}) {
    check_index_against_all_windows<u32>(msgs, 4, filing);
  }
}

// The crafted input that used to make each hit rescan every copy of its
// block: many short copies of windows of one block, then a window of the
// same block that nobody copied, used over and over.
Messages crafted(int copiers, int uses) {
  std::mt19937_64 rng(1);
  std::vector<u32> base;
  for (u32 i = 0; i < 256; ++i) base.push_back(1000 + i);
  Messages msgs{base};
  u32 sep = 1000000;
  for (int m = 0; m < copiers; ++m) {
    std::vector<u32> msg;
    for (int j = 0; j < 100; ++j) {
      const u64 q = rng() % 200;
      msg.insert(msg.end(), base.begin() + q, base.begin() + q + 4);
      msg.push_back(sep++);
    }
    msgs.push_back(msg);
  }
  std::vector<u32> last;
  for (int j = 0; j < uses; ++j) {
    last.insert(last.end(), base.begin() + 251, base.begin() + 255);
    last.push_back(sep++);
  }
  msgs.push_back(last);
  return msgs;
}

TEST(ExactEngine, CraftedCopiesMatchTheSlowEngine) {
  const Messages msgs = crafted(120, 300);
  std::vector<SymbolSpan> spans;
  for (const auto& m : msgs) spans.push_back({m.data(), m.size(), 4});
  const Lists want = reference_exact(msgs, 4);
  EXPECT_EQ(to_lists(exact_segments(spans, 4), msgs), want);
  EXPECT_EQ(to_lists(exact_segments_wide(spans, 4), msgs), want);
}

TEST(ExactEngine, LargeInputPathsGiveTheSameSegments) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 100; ++round) {
    const u64 k = 1 + rng() % 6;
    const Messages msgs = random_versions(rng, 2 + rng() % 5, 1 + rng() % 30, 120);
    std::vector<SymbolSpan> spans;
    for (const auto& m : msgs) spans.push_back({m.data(), m.size(), 4});
    ASSERT_EQ(exact_segments_wide(spans, k), exact_segments(spans, k)) << "round " << round;
  }
}

}  // namespace
}  // namespace palimp::testing
