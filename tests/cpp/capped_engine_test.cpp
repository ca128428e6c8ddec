#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "capped.h"
#include "engine/capped.h"
#include "engine/capped_index.h"
#include "reference_engines.h"
#include "test_support.h"

namespace palimp::testing {
namespace {

constexpr u64 kMax = UINT64_MAX;

EngineParams params(u64 L, u64 C, u64 N) {
  EngineParams p;
  p.min_match_len = L;
  p.cap_len = C;
  p.ncap = N;
  return p;
}

Lists capped(const Messages& msgs, u64 L, u64 C, u64 N) {
  const auto v = views(msgs);
  return compute_capped_segments(v, params(L, C, N));
}

std::vector<u32> ids(std::initializer_list<std::vector<u32>> parts) {
  std::vector<u32> out;
  for (const auto& p : parts) out = concat(std::move(out), p);
  return out;
}

struct Example {
  const char* name;
  Messages input;
  u64 L, C, N;
  Lists expected;
};

TEST(CappedEngine, WorkedExamples) {
  const auto one_to_8 = iota_ids(1, 8);
  const auto one_to_79 = iota_ids(1, 79);
  const std::vector<Example> examples = {
      {"a shorter earlier message is not found at the start of a longer one",
       {one_to_8, ids({one_to_8, iota_ids(100, 105)})}, 4, 64, 64,
       {{L(one_to_8)}, {L({1}), L({2}), L({3}), L({4}), L(ids({iota_ids(5, 8), iota_ids(100, 105)}))}}},
      {"C = 0: the min window alone decides",
       {one_to_8, ids({one_to_8, iota_ids(100, 105)})}, 4, 0, 64,
       {{L(one_to_8)}, {R(0, 0, 8), L(iota_ids(100, 105))}}},
      {"the match runs on past C", {one_to_79, ids({one_to_79, {500, 501, 502}})}, 4, 64, 64,
       {{L(one_to_79)}, {R(0, 0, 79), L({500, 501, 502})}}},
      {"capped windows cut equally far from both ends", {one_to_8, ids({{50, 51}, one_to_8})}, 4, 64, 64,
       {{L(one_to_8)}, {L({50, 51}), R(0, 0, 8)}}},
      {"N = 0: literals split at every key", {one_to_8, one_to_8}, 4, 64, 0,
       {{L(one_to_8)}, {L({1}), L({2}), L({3}), L({4}), L({5, 6, 7, 8})}}},
      {"no messages", {}, 4, 64, 64, {}},
      {"empty messages keep their place", {{}, one_to_8, {}, one_to_8}, 4, 64, 64,
       {{}, {L(one_to_8)}, {}, {R(1, 0, 8)}}},
      {"L = 0 indexes nothing", {one_to_8, one_to_8}, 0, 64, 64, {{L(one_to_8)}, {L(one_to_8)}}},
      {"shorter than L", {{1, 2, 3}, {1, 2, 3}}, 4, 64, 64, {{L({1, 2, 3})}, {L({1, 2, 3})}}},
      {"huge L", {one_to_8, one_to_8}, kMax, 64, 64, {{L(one_to_8)}, {L(one_to_8)}}},
      {"huge C: only identical tails", {one_to_8, ids({{9}, one_to_8}), ids({one_to_8, {9}})}, 4, kMax, 64,
       {{L(one_to_8)}, {L({9}), R(0, 0, 8)}, {L({1}), L({2}), L({3}), L({4}), L({5, 6, 7, 8, 9})}}},
      {"huge N", {one_to_79, ids({one_to_79, {500}})}, 4, 64, kMax,
       {{L(one_to_79)}, {R(0, 0, 79), L({500})}}},
      {"all huge", {one_to_8, one_to_8}, kMax, kMax, kMax, {{L(one_to_8)}, {L(one_to_8)}}},
      // C <= L: each min window is filed once, at its first occurrence, and
      // that is the target even where a later copy would run longer.
      {"C <= L: first occurrence only", {{1, 2, 3, 4, 5}, {1, 2, 3, 4, 6}, {1, 2, 3, 4, 6, 7}}, 4, 2, 1,
       {{L({1, 2, 3, 4, 5})}, {R(0, 0, 4), L({6})}, {R(0, 0, 4), L({6, 7})}}},
      // [1, 2] has two capped continuations; the second is eligible only
      // when N >= 2.
      {"N bounds the eligible continuations", {{1, 2, 3, 9, 1, 2, 4}, {1, 2, 4, 8}}, 2, 3, 1,
       {{L({1, 2, 3, 9, 1, 2, 4})}, {L({1}), L({2, 4, 8})}}},
      {"N = 2 reaches the second", {{1, 2, 3, 9, 1, 2, 4}, {1, 2, 4, 8}}, 2, 3, 2,
       {{L({1, 2, 3, 9, 1, 2, 4})}, {R(0, 4, 3), L({8})}}},
      {"repeats inside a message are not referenced", {{1, 2, 3, 4, 1, 2, 3, 4}}, 2, 2, 64,
       {{L({1, 2, 3, 4, 1, 2, 3, 4})}}},
  };
  for (const auto& ex : examples) {
    SCOPED_TRACE(ex.name);
    EXPECT_EQ(capped(ex.input, ex.L, ex.C, ex.N), ex.expected);
    EXPECT_EQ(reference_capped(ex.input, ex.L, ex.C, ex.N), ex.expected);
  }
}

// [x, y] and [x - 1, y + 257] share a hash.  Candidates nominated by colliding
// hashes are checked, and a match never runs past a real difference.
TEST(CappedEngine, CollidingWindowsNeverReferenceOtherContent) {
  const std::vector<Example> examples = {
      {"min and capped hash collide", {{0, 0, 1, 0}, {0, 0, 0, 257}}, 4, 4, 64,
       {{L({0, 0, 1, 0})}, {L({0, 0, 0, 257})}}},
      // The true copy in message 1 produces the pair already filed for
      // message 0's window, so it is never filed itself: no reference at all.
      {"a colliding pair hides the true copy", {{0, 0, 1, 0}, {0, 0, 0, 257}, {0, 0, 0, 257}}, 4, 4, 64,
       {{L({0, 0, 1, 0})}, {L({0, 0, 0, 257})}, {L({0, 0, 0, 257})}}},
      // Capped windows [5, 5, 1, 0] and [5, 5, 0, 257] collide; the match
      // stops at the first differing symbol.  At position 2 both hashes
      // collide again and the candidate is rejected.
      {"match stops at the real difference", {{5, 5, 1, 0, 9}, {5, 5, 0, 257, 9}}, 2, 4, 64,
       {{L({5, 5, 1, 0, 9})}, {R(0, 0, 2), L({0, 257, 9})}}},
  };
  for (const auto& ex : examples) {
    SCOPED_TRACE(ex.name);
    const Lists got = capped(ex.input, ex.L, ex.C, ex.N);
    EXPECT_EQ(got, ex.expected);
    EXPECT_EQ(reference_capped(ex.input, ex.L, ex.C, ex.N), ex.expected);
    EXPECT_TRUE(holds_contract(ex.input, got, ex.L, Engine::kCapped));
  }
}

// Random inputs against the slow engine, over symbols that collide often, and
// over parameters around every boundary: C below, at and above L, C beyond
// every message, N small enough to matter.
TEST(CappedEngine, MatchesSlowEngineOnRandomInputs) {
  std::mt19937_64 rng(2024);
  const std::vector<u64> Ns{0, 1, 2, 3, 64, kMax};
  for (int round = 0; round < 600; ++round) {
    const u64 L = 1 + rng() % 6;
    const std::vector<u64> Cs{0, 1, L - 1, L, L + 1, L + 3, 16, 64, kMax};
    const u64 C = Cs[rng() % Cs.size()];
    const u64 N = Ns[rng() % Ns.size()];
    const Messages msgs = random_input(rng, round);
    const Lists got = capped(msgs, L, C, N);
    ASSERT_EQ(got, reference_capped(msgs, L, C, N)) << "round " << round << " L " << L << " C " << C << " N " << N;
    ASSERT_TRUE(holds_contract(msgs, got, L, Engine::kCapped));
  }
}

// Successive versions of one document, as in a growing transcript with edits:
// most of every message is copied, so most positions are skipped when
// indexed, including copies of message ends.
TEST(CappedEngine, MatchesSlowEngineOnLongVersionChains) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 24; ++round) {
    Messages msgs;
    std::vector<u32> doc;
    for (int i = 0; i < 60; ++i) doc.push_back(static_cast<u32>(rng() % 5));
    for (int v = 0; v < 60; ++v) {
      msgs.push_back(doc);
      const u64 at = rng() % (doc.size() + 1);
      switch (rng() % 3) {
        case 0:  // append a turn
          for (int x = 0; x < 6; ++x) doc.push_back(static_cast<u32>(rng() % 5));
          break;
        case 1: {  // replace three symbols in the middle by one
          if (doc.size() < 3) break;
          const u64 cut = std::min<u64>(at, doc.size() - 3);
          doc.erase(doc.begin() + cut, doc.begin() + cut + 3);
          doc.insert(doc.begin() + cut, static_cast<u32>(rng() % 5));
          break;
        }
        default:  // repeat the latest message unchanged
          break;
      }
    }
    const u64 L = 2 + (round / 4) % 4;
    const u64 C = std::vector<u64>{L, 8, 24, kMax}[round % 4];
    const u64 N = round % 3 == 0 ? 2 : 64;
    const Lists got = capped(msgs, L, C, N);
    ASSERT_EQ(got, reference_capped(msgs, L, C, N)) << "round " << round;
    ASSERT_TRUE(holds_contract(msgs, got, L, Engine::kCapped));
  }
}

// The engine reads symbols by value: the same messages stored 1, 2 or 4 bytes
// wide, even mixed, give the same segments.
TEST(CappedEngine, SymbolWidthsDoNotMatter) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 40; ++round) {
    const Messages msgs = random_versions(rng, 4, 10, 100);
    std::vector<std::vector<u8>> narrow;
    std::vector<std::vector<u16>> middle;
    for (const auto& m : msgs) {
      narrow.emplace_back(m.begin(), m.end());
      middle.emplace_back(m.begin(), m.end());
    }
    std::vector<SymbolSpan> wide, mixed;
    for (size_t i = 0; i < msgs.size(); ++i) {
      wide.push_back({msgs[i].data(), msgs[i].size(), 4});
      switch (i % 3) {
        case 0: mixed.push_back({narrow[i].data(), narrow[i].size(), 1}); break;
        case 1: mixed.push_back({middle[i].data(), middle[i].size(), 2}); break;
        default: mixed.push_back(wide.back()); break;
      }
    }
    const EngineParams p = params(2 + round % 3, round % 2 ? 6 : kMax, 3);
    const SegmentTable a = capped_segments(wide, p), b = capped_segments(mixed, p);
    ASSERT_TRUE(a == b) << "round " << round;
    ASSERT_EQ(a.messages(), b.messages());
  }
}

// A long message followed by short ones: only the min hashes that the short
// ones contain are filed, which must change nothing.  Also a short tail that
// shares nothing, and one made of the long message's most common window.
TEST(CappedEngine, MatchesSlowEngineWhenLaterMessagesAreShort) {
  std::mt19937_64 rng(31);
  for (int round = 0; round < 60; ++round) {
    const u32 alphabet = 2 + static_cast<u32>(rng() % 6);
    Messages msgs(1);
    for (int i = 0; i < 600 + static_cast<int>(rng() % 600); ++i) msgs[0].push_back(static_cast<u32>(rng() % alphabet));
    if (round % 2) {
      // A second long message, an edited copy of the first: it is scanned
      // against a full index, and only then is the filing narrowed.
      std::vector<u32> copy = msgs[0];
      for (int e = 0; e < 20; ++e) copy[rng() % copy.size()] = static_cast<u32>(rng() % alphabet);
      copy.insert(copy.end(), msgs[0].begin(), msgs[0].begin() + 100);
      msgs.push_back(std::move(copy));
    }
    const int later = 1 + static_cast<int>(rng() % 4);
    for (int m = 0; m < later; ++m) {
      std::vector<u32> msg;
      switch (rng() % 3) {
        case 0: {  // an excerpt of the long message, with an edit
          const u64 s = rng() % (msgs[0].size() - 40);
          msg.assign(msgs[0].begin() + s, msgs[0].begin() + s + 10 + rng() % 30);
          msg[rng() % msg.size()] = static_cast<u32>(rng() % alphabet);
          break;
        }
        case 1:  // new symbols
          for (int i = 0; i < 20; ++i) msg.push_back(100 + static_cast<u32>(rng() % 3));
          break;
        default:  // one symbol repeated, as common as it gets
          msg.assign(8 + rng() % 20, 0);
      }
      msgs.push_back(std::move(msg));
    }
    const u64 L = 1 + rng() % 4;
    const u64 C = std::vector<u64>{L, 8, 64, kMax}[rng() % 4];
    const u64 N = std::vector<u64>{1, 2, 64}[rng() % 3];
    const Lists got = capped(msgs, L, C, N);
    ASSERT_EQ(got, reference_capped(msgs, L, C, N)) << "round " << round << " L " << L << " C " << C << " N " << N;
    ASSERT_TRUE(holds_contract(msgs, got, L, Engine::kCapped));
  }
}

// Growing transcripts: each message is the one before plus a turn that
// starts with one of two fixed markers.  A later message copies each turn
// from the message that added it, so references follow each other and the
// windows across every seam are skipped or filed by the left extension.
TEST(CappedEngine, MatchesSlowEngineOnGrowingTranscripts) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 30; ++round) {
    const u32 alphabet = 3 + static_cast<u32>(rng() % 40);
    Messages msgs;
    std::vector<u32> doc;
    for (int t = 0; t < 25; ++t) {
      doc.insert(doc.end(), {900, 901, static_cast<u32>(902 + t % 2)});
      const int len = 3 + static_cast<int>(rng() % 60);
      for (int i = 0; i < len; ++i) doc.push_back(static_cast<u32>(rng() % alphabet));
      msgs.push_back(doc);
    }
    const u64 L = 2 + round % 3;
    const u64 C = std::vector<u64>{L, 8, 16, 64, kMax}[round % 5];
    const u64 N = round % 4 == 0 ? 1 : 64;
    const Lists got = capped(msgs, L, C, N);
    ASSERT_EQ(got, reference_capped(msgs, L, C, N)) << "round " << round << " L " << L << " C " << C;
    ASSERT_TRUE(holds_contract(msgs, got, L, Engine::kCapped));
  }
}

// Inputs large enough for the tables to outgrow the caches (the filing loop
// then prefetches) and to grow while a message is filed.
TEST(CappedEngine, MatchesSlowEngineOnLargeInputs) {
  std::mt19937_64 rng(8);
  for (const u64 C : {u64{16}, u64{64}}) {
    Messages msgs(1);
    for (int i = 0; i < 60000; ++i) msgs[0].push_back(static_cast<u32>(rng() % 4000));
    for (int v = 0; v < 3; ++v) {
      std::vector<u32> next = msgs.back();
      for (int e = 0; e < 40; ++e) next[rng() % next.size()] = static_cast<u32>(rng() % 4000);
      for (int i = 0; i < 5000; ++i) next.push_back(static_cast<u32>(rng() % 50));
      msgs.push_back(std::move(next));
    }
    const Lists got = capped(msgs, 4, C, 64);
    ASSERT_EQ(got, reference_capped(msgs, 4, C, 64)) << "C " << C;
    ASSERT_TRUE(holds_contract(msgs, got, 4, Engine::kCapped));
  }
}

// Places stored 64 bits wide, as for inputs of 2^32 symbols or more, give
// the same segments as the 16-bit ones of these small inputs.
TEST(CappedEngine, PlaceWidthDoesNotMatter) {
  std::mt19937_64 rng(17);
  for (int round = 0; round < 60; ++round) {
    const Messages msgs = random_versions(rng, 3 + round % 4, 2 + static_cast<int>(rng() % 8), 200);
    std::vector<SymbolSpan> v;
    for (const auto& m : msgs) v.push_back({m.data(), m.size(), 4});
    const EngineParams p = params(1 + round % 4, std::vector<u64>{2, 8, 64, kMax}[round % 4], round % 3 == 0 ? 1 : 64);
    ASSERT_TRUE(capped_segments(v, p, true) == capped_segments(v, p, false)) << "round " << round;
  }
}

// The index on its own: first pairs and later pairs found by their two
// hashes, duplicates ignored, at most N pairs a key, all of it kept across
// growth from an empty table; lookups see only pairs filed below the place
// they are told.
TEST(CappedIndex, FilesPairsOnceAndAtMostNPerKey) {
  using Index = capped_detail::PairIndex<u32>;
  Index index(3);
  EXPECT_TRUE(index.empty());
  {
    Index::Cursor ix(index);
    for (u32 key = 0; key < 5000; ++key) {
      for (u32 c = 0; c < 5; ++c) {
        ix.file(key * 7919, c + 1000 * key, key * 10 + c + 1);
        ix.file(key * 7919, c + 1000 * key, 99999999);  // a duplicate: ignored
      }
    }
  }
  EXPECT_EQ(index.keys(), 5000u);
  EXPECT_EQ(index.pairs(), 15000u);  // three of each key's five pairs
  Index::Cursor ix(index);
  for (u32 key = 0; key < 5000; ++key) {
    ASSERT_TRUE(ix.is_key(key * 7919, UINT32_MAX));
    for (u32 c = 0; c < 5; ++c) {
      const u64 want = c < 3 ? key * 10 + c + 1 : Index::kNone;
      const Index::Lookup l = ix.look_up<false>(key * 7919, c + 1000 * key, UINT32_MAX, 0);
      ASSERT_TRUE(l.key);
      ASSERT_EQ(l.place, want) << key << " " << c;
    }
    ASSERT_EQ(ix.look_up<false>(key * 7919, 7, UINT32_MAX, 0).place, Index::kNone);
  }
  EXPECT_FALSE(ix.is_key(1, UINT32_MAX));
  EXPECT_FALSE(ix.look_up<false>(1, 0, UINT32_MAX, 0).key);
  // Key 0 holds (0 at 1), (1 at 2), (2 at 3): below place 3, the third is
  // not there yet; below place 1, not even the key.
  EXPECT_EQ(ix.look_up<false>(0, 1, 3, 0).place, 2u);
  EXPECT_EQ(ix.look_up<false>(0, 2, 3, 0).place, Index::kNone);
  EXPECT_FALSE(ix.is_key(0, 1));
  EXPECT_TRUE(ix.is_key(0, 2));
}

// A lookup that files what it did not find: one pair more per key until the
// key is full, and the filed pair is found from then on.
TEST(CappedIndex, ALookupFilesWhatItMisses) {
  using Index = capped_detail::PairIndex<u64>;
  Index index(2);
  {
    Index::Cursor ix(index);
    EXPECT_EQ(ix.look_up<true>(42, 100, 0, 0).place, Index::kNone);  // a new key at 0
    EXPECT_EQ(ix.look_up<true>(42, 100, 1, 5).place, 0u);             // the first pair
    EXPECT_EQ(ix.look_up<true>(42, 101, 10, 5).place, Index::kNone);  // missed, filed at 5
    EXPECT_EQ(ix.look_up<false>(42, 101, 10, 0).place, 5u);
    EXPECT_EQ(ix.look_up<false>(42, 101, 5, 0).place, Index::kNone);  // not below 5
    EXPECT_EQ(ix.look_up<true>(42, 102, 10, 7).place, Index::kNone);  // the key is full: not filed
    EXPECT_EQ(ix.look_up<false>(42, 102, 10, 0).place, Index::kNone);
  }
  EXPECT_EQ(index.keys(), 1u);
  EXPECT_EQ(index.pairs(), 2u);
}

// A full table grows at once to the room its owner expects, not by
// doubling step by step; what was filed stays found.
TEST(CappedIndex, GrowsToTheRoomItIsTold) {
  using Index = capped_detail::PairIndex<u32>;
  Index index(4);
  index.reserve(16, 16);
  index.grow_to(4000, 0);
  Index sized(4);
  sized.reserve(4000, 16);
  Index::Cursor ix(index);
  for (u32 key = 0; key < 4000; ++key) {
    ix.file(key * 7919, key, key + 1);
    if (key == 100) EXPECT_EQ(index.bytes(), sized.bytes());  // one growth, to room for 4000 keys
  }
  for (u32 key = 0; key < 4000; ++key) ASSERT_EQ(ix.look_up<false>(key * 7919, key, UINT32_MAX, 0).place, key + 1u);
}

// N = 0: keys still exist (literal runs end at them), nothing is found.
TEST(CappedIndex, NothingIsACandidateWhenNIsZero) {
  using Index = capped_detail::PairIndex<u32>;
  Index none(0);
  Index::Cursor ix(none);
  ix.file(5, 6, 7);
  EXPECT_TRUE(ix.is_key(5, 100));
  const Index::Lookup l = ix.look_up<true>(5, 6, 100, 8);
  EXPECT_TRUE(l.key);
  EXPECT_EQ(l.place, Index::kNone);
  EXPECT_EQ(ix.look_up<true>(5, 9, 100, 8).place, Index::kNone);
}

TEST(CappedIndex, QuerySetHoldsExactlyItsMembers) {
  capped_detail::QuerySet set;
  set.reserve(1000);
  for (u64 i = 0; i < 3000; ++i) set.insert(i * i * 0x9E3779B97F4A7C15ull);  // grows past its reservation
  const auto view = set.view();
  for (u64 i = 0; i < 3000; ++i) ASSERT_TRUE(view.contains(i * i * 0x9E3779B97F4A7C15ull));
  u64 false_members = 0;
  for (u64 i = 3000; i < 100000; ++i) false_members += view.contains(i * i * 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(false_members, 0u);
}

// Absent entries vanish and the rest are renumbered; the object keeps its own
// copy and its parameters as given.
TEST(CappedHashedGreedy, DropsAbsentEntriesAndOwnsItsInput) {
  std::vector<u32> a{1, 2, 3, 4, 5}, b{9, 1, 2, 3, 4, 5};
  const std::vector<u32> empty{};
  const std::vector<std::optional<TokenSpan>> entries{std::nullopt, a, std::nullopt, empty, b, std::nullopt};
  EngineParams p = params(4, 64, 64);
  p.lookback = 2;
  const auto engine = approximate_tokens(entries, p);
  const Lists expected{{L({1, 2, 3, 4, 5})}, {}, {L({9}), R(0, 0, 5)}};
  a[1] = 99;
  EXPECT_EQ(engine.segments(), expected);
  EXPECT_EQ(engine.render_with([](TokenSpan s) { return std::vector<u32>(s.begin(), s.end()); }),
            (Messages{{1, 2, 3, 4, 5}, {}, {9, 1, 2, 3, 4, 5}}));
  EXPECT_EQ(engine.state().params.lookback, std::optional<u64>(2));

  const std::vector<std::optional<TokenSpan>> none{std::nullopt, std::nullopt};
  EXPECT_TRUE(approximate_tokens(none, p).segments().empty());
  EXPECT_TRUE(approximate_tokens({}, p).render_with([](TokenSpan) { return std::vector<u32>{}; }).empty());
}

}  // namespace
}  // namespace palimp::testing

namespace palimp::testing {
namespace {

// A caller's interrupt ends the work from inside with whatever it throws; a
// check that never throws changes nothing.
TEST(CappedEngine, AnInterruptEndsTheWork) {
  std::mt19937_64 rng(9);
  Messages msgs(2);
  for (auto& m : msgs) {
    for (int i = 0; i < 1'000'000; ++i) m.push_back(static_cast<u32>(rng() % 100000));
  }
  std::vector<SymbolSpan> spans;
  for (const auto& m : msgs) spans.push_back({m.data(), m.size(), 4});
  const EngineParams params;
  struct Stop {};
  int polls = 0;
  auto stop_at_third = [&] {
    if (++polls == 3) throw Stop{};
  };
  EXPECT_THROW(capped_segments(spans, params, Interrupt(stop_at_third)), Stop);
  EXPECT_EQ(polls, 3);
  polls = 0;
  auto count = [&] { ++polls; };
  EXPECT_EQ(capped_segments(spans, params, Interrupt(count)), capped_segments(spans, params));
  EXPECT_GT(polls, 3);
}

}  // namespace
}  // namespace palimp::testing
