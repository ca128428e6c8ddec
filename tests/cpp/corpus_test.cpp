// The engines against the slow literal engines on real successive messages:
// the bundled transcript sample always, and the shared corpora when they are
// present next to the project.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "corpus_reader.h"
#include "engine/binary.h"
#include "engine/capped.h"
#include "normalize.h"
#include "reference_engines.h"
#include "test_support.h"

namespace palimp::testing {
namespace {

// Both engines give exactly the slow engines' segments on each conversation
// (the first `limit` messages of each), over code points.
void check_conversations(const std::vector<corpus::Conversation>& convs, size_t limit) {
  ASSERT_FALSE(convs.empty());
  for (size_t c = 0; c < convs.size(); ++c) {
    Messages msgs;
    std::vector<CodeUnits> narrow;  // as text mode stores them: 1, 2 or 4 bytes per code point
    for (size_t m = 0; m < convs[c].size() && m < limit; ++m) {
      ASSERT_TRUE(convs[c][m].has_value()) << "conversation " << c << " message " << m;
      msgs.push_back(string_to_u32s(*convs[c][m]));
      narrow.push_back(to_code_units(*convs[c][m]));
    }
    std::vector<SymbolSpan> spans, narrow_spans;
    for (const auto& m : msgs) spans.push_back({m.data(), m.size(), 4});
    for (const auto& m : narrow) narrow_spans.push_back(m.span());
    for (const u64 k : {4u, 8u}) {
      const Lists lists = to_lists(exact_segments(spans, k), msgs);
      ASSERT_EQ(lists, reference_exact(msgs, k)) << "conversation " << c << " k " << k;
      ASSERT_EQ(to_lists(exact_segments(narrow_spans, k), msgs), lists) << "conversation " << c << " k " << k;
    }
    EngineParams p;
    ASSERT_EQ(to_lists(capped_segments(spans, p), msgs), reference_capped(msgs, p.min_match_len, p.cap_len, p.ncap))
        << "conversation " << c;
  }
}

TEST(CorpusDifferential, BundledTranscripts) {
  const auto convs = corpus::read_corpus(std::string(PALIMP_TEST_DATA_DIR) + "/transcripts_sample.jsonl");
  ASSERT_FALSE(convs.empty()) << "missing bundled sample";
  check_conversations(convs, SIZE_MAX);
}

TEST(CorpusDifferential, SharedCorpora) {
  const std::filesystem::path dir = PALIMP_CORPORA_DIR;
  if (!std::filesystem::is_directory(dir)) {
    GTEST_SKIP() << "needs the development corpora, kept outside the repository at " << dir
                 << "; the bundled sample was checked";
  }
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string path = entry.path().string();
    if (!path.ends_with(".jsonl") && !path.ends_with(".jsonl.zst")) continue;
    const auto convs = corpus::read_corpus(path);
    if (convs.empty()) continue;  // unreadable, or no zstd command here
    SCOPED_TRACE(path);
    // Long histories: their first 40 versions keep the slow engines quick.
    check_conversations(convs, 40);
    ++files;
  }
  if (files == 0) GTEST_SKIP() << "no readable corpus in " << dir;
}

}  // namespace
}  // namespace palimp::testing
