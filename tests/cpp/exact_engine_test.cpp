#include <gtest/gtest.h>

#include "engine/binary.h"
#include "hashed_binary.h"
#include "reference_engines.h"
#include "test_support.h"

namespace palimp::testing {
namespace {

Lists exact(const Messages& msgs, u64 k = 4) {
  EngineParams p;
  p.min_match_len = k;
  return HashedGreedyBinary::new_tokens(views(msgs), p).segments();
}

struct Example {
  const char* name;
  Messages input;
  u64 k;
  Lists expected;
};

TEST(ExactEngine, WorkedExamples) {
  std::vector<u32> pairs63, pairs64;
  for (int i = 0; i < 64; ++i) {
    if (i < 63) pairs63.insert(pairs63.end(), {7, 1});
    pairs64.insert(pairs64.end(), {7, 1});
  }
  const std::vector<Example> examples = {
      {"no messages", {}, 4, {}},
      {"grows past the window", {{1, 2, 3, 4, 5}, {9, 1, 2, 3, 4, 5, 8}}, 4,
       {{L({1, 2, 3, 4, 5})}, {L({9}), R(0, 0, 5), L({8})}}},
      {"ties go to the oldest", {{1, 2, 3, 4}, {1, 2, 3, 4}, {1, 2, 3, 4, 7}}, 4,
       {{L({1, 2, 3, 4})}, {R(0, 0, 4)}, {R(0, 0, 4), L({7})}}},
      {"strictly longer wins", {{1, 2, 3, 4, 9}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}}, 4,
       {{L({1, 2, 3, 4, 9})}, {R(0, 0, 4), L({5, 6})}, {R(1, 0, 6)}}},
      {"no repeats within a message", {{1, 2, 3, 4, 5, 1, 2, 3, 4, 5}}, 4, {{L({1, 2, 3, 4, 5, 1, 2, 3, 4, 5})}}},
      {"literals end at hits", {{5, 6, 7, 8}, {1, 5, 6, 7, 8, 2, 5, 6, 7, 8}}, 4,
       {{L({5, 6, 7, 8})}, {L({1}), R(0, 0, 4), L({2}), R(0, 0, 4)}}},
      {"shorter than k", {{1, 2, 3}, {1, 2, 3}}, 4, {{L({1, 2, 3})}, {L({1, 2, 3})}}},
      {"k = 0", {{1, 2, 3, 4, 5, 6, 7, 8}, {}}, 0, {{L({1, 2, 3, 4, 5, 6, 7, 8})}, {}}},
      {"huge k", {{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}}, UINT64_MAX, {{L({1, 2, 3, 4, 5})}, {L({1, 2, 3, 4, 5})}}},
      {"65th place is never examined", {pairs64, {7, 2}, {7, 2}}, 1,
       {{L(pairs64)}, {R(0, 0, 1), L({2})}, {R(0, 0, 1), R(1, 1, 1)}}},
      {"64th place is examined", {pairs63, {7, 2}, {7, 2}}, 1,
       {{L(pairs63)}, {R(0, 0, 1), L({2})}, {R(1, 0, 2)}}},
      {"empty messages keep their place", {{}, {1, 2, 3, 4}, {}, {1, 2, 3, 4}}, 4,
       {{}, {L({1, 2, 3, 4})}, {}, {R(1, 0, 4)}}},
  };
  for (const auto& ex : examples) {
    SCOPED_TRACE(ex.name);
    EXPECT_EQ(exact(ex.input, ex.k), ex.expected);
    EXPECT_EQ(reference_exact(ex.input, ex.k), ex.expected);
  }
}

// Windows [0, 0, 1, 0] and [0, 0, 0, 257] share the hash 257.  A reference
// must never name the other window's tokens.
TEST(ExactEngine, CollidingWindowsAreNotMatches) {
  EXPECT_EQ(exact({{0, 0, 1, 0}, {0, 0, 0, 257}}), (Lists{{L({0, 0, 1, 0})}, {L({0, 0, 0, 257})}}));
  // The colliding place comes first in the list; the true one still wins.
  EXPECT_EQ(exact({{0, 0, 1, 0, 7, 0, 0, 0, 257}, {0, 0, 0, 257, 1}}),
            (Lists{{L({0, 0, 1, 0, 7, 0, 0, 0, 257})}, {R(0, 5, 4), L({1})}}));
  // A colliding key inside a literal run does not end it.
  EXPECT_EQ(exact({{0, 0, 1, 0}, {9, 0, 0, 0, 257, 8}}), (Lists{{L({0, 0, 1, 0})}, {L({9, 0, 0, 0, 257, 8})}}));
}

// The same contract over random inputs, against the slow engine: tokens drawn
// so that hash collisions are frequent ([x, y] and [x - 1, y + 257] collide).
TEST(ExactEngine, MatchesSlowEngineOnRandomInputs) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 400; ++round) {
    const u64 k = 1 + rng() % 6;
    const Messages msgs = random_input(rng, round);
    const Lists got = exact(msgs, k);
    ASSERT_EQ(got, reference_exact(msgs, k)) << "round " << round << " k " << k;
    ASSERT_TRUE(holds_contract(msgs, got, k, Engine::kExact));
  }
}

// Long chains of versions exercise the derived candidate lists: each window
// occurs in many messages, mostly as copies.
TEST(ExactEngine, MatchesSlowEngineOnLongVersionChains) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 20; ++round) {
    Messages msgs;
    std::vector<u32> doc;
    for (int i = 0; i < 200; ++i) doc.push_back(static_cast<u32>(rng() % 7));
    for (int v = 0; v < 90; ++v) {
      msgs.push_back(doc);
      const u64 at = rng() % (doc.size() + 1);
      if (rng() % 2 && doc.size() > 10) {
        doc.erase(doc.begin() + std::min<u64>(at, doc.size() - 3), doc.begin() + std::min<u64>(at, doc.size() - 3) + 3);
      }
      for (int x = 0; x < 3; ++x) doc.insert(doc.begin() + std::min<u64>(at, doc.size()), static_cast<u32>(rng() % 7));
    }
    const u64 k = 2 + round % 4;
    ASSERT_EQ(exact(msgs, k), reference_exact(msgs, k)) << "round " << round;
  }
}

TEST(ExactEngine, RenderWith) {
  const Messages msgs{{1, 2, 3, 4, 5}, {9, 1, 2, 3, 4, 5, 8}, {}};
  EngineParams p;
  const auto engine = HashedGreedyBinary::new_tokens(views(msgs), p);
  const auto copy = engine.render_with([](TokenSpan s) { return std::vector<u32>(s.begin(), s.end()); });
  EXPECT_EQ(copy, msgs);
  const auto two = engine.render_with([](TokenSpan) { return std::vector<u32>{70, 80}; });
  EXPECT_EQ(two, (Messages{{1, 2, 3, 4, 5}, {9, 70, 80, 8}, {}}));
  const auto none = engine.render_with([](TokenSpan) { return std::vector<u32>{}; });
  EXPECT_EQ(none, (Messages{{1, 2, 3, 4, 5}, {9, 8}, {}}));
  const std::vector<u32> rep{70, 80};
  EXPECT_EQ(engine.state().render_replacing(rep), two);
  const auto empty = HashedGreedyBinary::new_tokens(std::span<const TokenSpan>{}, p);
  EXPECT_TRUE(empty.segments().empty());
  EXPECT_TRUE(empty.render_with([](TokenSpan) { return std::vector<u32>{}; }).empty());
}

TEST(ExactEngine, StoresItsOwnCopy) {
  Messages msgs{{1, 2, 3, 4}, {1, 2, 3, 4}};
  const auto engine = HashedGreedyBinary::new_tokens(views(msgs), EngineParams{});
  msgs[0][0] = 99;
  EXPECT_EQ(engine.render_with([](TokenSpan s) { return std::vector<u32>(s.begin(), s.end()); }),
            (Messages{{1, 2, 3, 4}, {1, 2, 3, 4}}));
}

}  // namespace
}  // namespace palimp::testing

namespace palimp::testing {
namespace {

// A caller's interrupt ends the work from inside with whatever it throws; a
// check that never throws changes nothing.
TEST(ExactEngine, AnInterruptEndsTheWork) {
  std::mt19937_64 rng(8);
  Messages msgs(2);
  for (auto& m : msgs) {
    for (int i = 0; i < 1'000'000; ++i) m.push_back(static_cast<u32>(rng() % 100000));
  }
  std::vector<SymbolSpan> spans;
  for (const auto& m : msgs) spans.push_back({m.data(), m.size(), 4});
  struct Stop {};
  int polls = 0;
  auto stop_at_third = [&] {
    if (++polls == 3) throw Stop{};
  };
  EXPECT_THROW(exact_segments(spans, 4, Interrupt(stop_at_third)), Stop);
  EXPECT_EQ(polls, 3);
  polls = 0;
  auto count = [&] { ++polls; };
  EXPECT_EQ(exact_segments(spans, 4, Interrupt(count)), exact_segments(spans, 4));
  EXPECT_GT(polls, 3);
}

}  // namespace
}  // namespace palimp::testing
