// The fuzz harnesses replay their seed corpus and every saved finding, so
// that what a fuzzing run once found stays fixed in every test build.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "invariants.h"

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

}  // namespace
}  // namespace palimp::testing
