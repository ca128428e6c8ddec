// The engines against the slow literal engines on real successive messages:
// the bundled transcript sample always, and the shared corpora when they are
// present next to the project.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "engine/binary.h"
#include "engine/capped.h"
#include "normalize.h"
#include "reference_engines.h"
#include "test_support.h"

namespace palimp::testing {
namespace {

// Appends the UTF-8 of code point v.
void put_utf8(u32 v, std::string& out) {
  if (v < 0x80) {
    out += static_cast<char>(v);
  } else if (v < 0x800) {
    out += static_cast<char>(0xC0 | (v >> 6));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else if (v < 0x10000) {
    out += static_cast<char>(0xE0 | (v >> 12));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (v >> 18));
    out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (v & 0x3F));
  }
}

// One JSON line holding a list of strings, as the corpora store a
// conversation.  Enough JSON for that and no more.
std::vector<std::string> parse_string_list(const std::string& line) {
  std::vector<std::string> out;
  size_t i = line.find('[');
  EXPECT_NE(i, std::string::npos);
  auto hex4 = [&](size_t at) { return static_cast<u32>(std::stoul(line.substr(at, 4), nullptr, 16)); };
  while (true) {
    i = line.find_first_of("\"]", i + 1);
    if (i == std::string::npos || line[i] == ']') break;
    std::string s;
    for (++i; line[i] != '"'; ++i) {
      if (line[i] != '\\') {
        s += line[i];
        continue;
      }
      const char e = line[++i];
      switch (e) {
        case 'n': s += '\n'; break;
        case 't': s += '\t'; break;
        case 'r': s += '\r'; break;
        case 'b': s += '\b'; break;
        case 'f': s += '\f'; break;
        case 'u': {
          u32 v = hex4(i + 1);
          i += 4;
          if (v >= 0xD800 && v < 0xDC00 && line[i + 1] == '\\' && line[i + 2] == 'u') {
            v = 0x10000 + ((v - 0xD800) << 10) + (hex4(i + 3) - 0xDC00);
            i += 6;
          }
          put_utf8(v, s);
          break;
        }
        default: s += e;  // \" \\ \/
      }
    }
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<std::vector<std::string>> read_conversations(std::istream& in) {
  std::vector<std::vector<std::string>> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find('[') != std::string::npos) out.push_back(parse_string_list(line));
  }
  return out;
}

// Both engines give exactly the slow engines' segments on each conversation
// (the first `limit` messages of each), over code points.
void check_conversations(const std::vector<std::vector<std::string>>& convs, size_t limit) {
  ASSERT_FALSE(convs.empty());
  for (size_t c = 0; c < convs.size(); ++c) {
    Messages msgs;
    std::vector<CodeUnits> narrow;  // as text mode stores them: 1, 2 or 4 bytes per code point
    for (size_t m = 0; m < convs[c].size() && m < limit; ++m) {
      msgs.push_back(string_to_u32s(convs[c][m]));
      narrow.push_back(to_code_units(convs[c][m]));
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
  std::ifstream in(std::string(PALIMP_TEST_DATA_DIR) + "/transcripts_sample.jsonl");
  ASSERT_TRUE(in) << "missing bundled sample";
  check_conversations(read_conversations(in), SIZE_MAX);
}

TEST(CorpusDifferential, SharedCorpora) {
  const std::filesystem::path dir = PALIMP_CORPORA_DIR;
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no shared corpora at " << dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string path = entry.path().string();
    std::vector<std::vector<std::string>> convs;
    if (path.ends_with(".jsonl")) {
      std::ifstream in(path);
      convs = read_conversations(in);
    } else if (path.ends_with(".jsonl.zst")) {
      // Long histories: their first 40 versions keep the slow engines quick.
      std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("zstd -dcq --long=27 '" + path + "' 2>/dev/null").c_str(), "r"),
                                                 pclose);
      if (!pipe) continue;
      std::string text;
      char buf[1 << 16];
      while (size_t got = fread(buf, 1, sizeof buf, pipe.get())) text.append(buf, got);
      if (text.empty()) continue;  // no zstd command here
      std::istringstream in(text);
      convs = read_conversations(in);
    } else {
      continue;
    }
    SCOPED_TRACE(path);
    check_conversations(convs, 40);
    ++files;
  }
  if (files == 0) GTEST_SKIP() << "no readable corpus in " << dir;
}

}  // namespace
}  // namespace palimp::testing
