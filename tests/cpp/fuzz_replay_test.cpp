// The fuzz harnesses replay their seed corpus and every saved finding, so
// that what a fuzzing run once found stays fixed in every test build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "invariants.h"
#include "shapes.h"

int palimp_fuzz_engines(const uint8_t* data, size_t size);
int palimp_fuzz_text(const uint8_t* data, size_t size);
int palimp_fuzz_tokenizer(const uint8_t* data, size_t size);

namespace palimp::testing {
namespace {

namespace fs = std::filesystem;

struct Harness {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};

// Runs every file of fuzz/corpus/<name> and fuzz/regressions/<name>; returns
// how many there were.
size_t replay(const Harness& h) {
  size_t files = 0;
  for (const char* dir : {"corpus", "regressions"}) {
    const fs::path root = fs::path(PALIMP_FUZZ_DIR) / dir / h.name;
    if (!fs::exists(root)) continue;
    for (const auto& entry : fs::directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream f(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      try {
        h.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      } catch (const std::exception& e) {
        ADD_FAILURE() << entry.path() << ": " << e.what();
      }
      ++files;
    }
  }
  return files;
}

TEST(FuzzReplay, SavedInputsStillPass) {
  for (const Harness& h : {Harness{"engines", palimp_fuzz_engines}, Harness{"text", palimp_fuzz_text},
                           Harness{"tokenizer", palimp_fuzz_tokenizer}}) {
    SCOPED_TRACE(h.name);
    EXPECT_GT(replay(h), 0u) << "no saved inputs for " << h.name;
  }
}

// The harnesses' own checks fail when they should: a wrong list is refused.
TEST(FuzzReplay, InvariantCheckRefusesWrongLists) {
  using fuzz::Engine;
  const std::vector<std::vector<u32>> msgs{{1, 2, 3, 4}, {1, 2, 3, 4}};
  const std::vector<std::vector<TokenSegment>> good{{Literal{{1, 2, 3, 4}}}, {Reference{0, 0, 4}}};
  EXPECT_NO_THROW(fuzz::check_lists(msgs, good, 4, Engine::kExact));
  const std::vector<std::vector<std::vector<TokenSegment>>> bad = {
      {{Literal{{1, 2, 3, 4}}}, {Reference{1, 0, 4}}},                      // not strictly earlier
      {{Literal{{1, 2, 3, 4}}}, {Reference{0, 1, 4}}},                      // outside its source
      {{Literal{{1, 2, 3, 4}}}, {Reference{0, 0, 3}, Literal{{4}}}},        // shorter than k
      {{Literal{{1, 2, 3, 4}}}, {Literal{{1, 2}}, Literal{{3, 4}}}},        // adjacent literals
      {{Literal{{1, 2, 3, 4}}}, {Reference{0, 0, 4}, Literal{{5}}}},        // does not tile
      {{Literal{{1, 2}}, Literal{{3, 4}}}, {Reference{0, 0, 4}}},           // message 0 split
  };
  for (const auto& lists : bad) EXPECT_THROW(fuzz::check_lists(msgs, lists, 4, Engine::kExact), fuzz::FuzzFailure);
}

// The shaped inputs look like what they stand for: successive versions and
// transcript messages share most of their material with the message before
// them (at the start or the end), and every shape keeps to its budget.
TEST(FuzzReplay, ShapesRepeatEarlierMessagesWithinBudget) {
  const fuzz::Prose prose(40, 64);
  for (const int shape : {0, 1, 2}) {
    std::vector<uint8_t> records;
    for (int i = 0; i < 120; ++i) {  // every kind of step, some near the top
      const int kind = shape == 1 && i % 16 == 10 ? 0 : i % 16;  // no new conversation
      records.insert(records.end(), {static_cast<uint8_t>(kind | (i & 0x20)), static_cast<uint8_t>(i * 37),
                                     static_cast<uint8_t>(i * 11), static_cast<uint8_t>(i * 5)});
    }
    fuzz::FuzzInput in(records.data(), records.size());
    fuzz::MessageSink sink(u64{1} << 16, 4096);
    const fuzz::Draft d = shape == 0   ? fuzz::versions(in, prose, 40, sink)
                          : shape == 1 ? fuzz::transcripts(in, prose, 40, sink)
                                       : fuzz::runs(in, prose, sink);
    SCOPED_TRACE(shape);
    ASSERT_GE(d.messages.size(), shape == 2 ? 2u : 20u);
    EXPECT_LE(fuzz::total_symbols(d), u64{1} << 16);
    if (shape == 2) continue;  // runs: no relation between messages required
    u64 shared = 0, total = 0;
    for (size_t m = 1; m < d.messages.size(); ++m) {
      if (!d.messages[m] || !d.messages[m - 1]) continue;
      const auto& a = *d.messages[m - 1];
      const auto& b = *d.messages[m];
      const u64 head = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
      const u64 tail = std::mismatch(a.rbegin(), a.rend(), b.rbegin(), b.rend()).first - a.rbegin();
      shared += std::min<u64>(head + tail, b.size());
      total += b.size();
    }
    EXPECT_GT(shared * 4, total * 3) << "later messages are mostly new";
  }
}

}  // namespace
}  // namespace palimp::testing
