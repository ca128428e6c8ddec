#include "normalize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace palimp {
namespace {

using namespace std::string_view_literals;

std::vector<u32> values_of(const CodeUnits& cu) {
  std::vector<u32> v;
  for (u64 i = 0; i < cu.size; ++i) v.push_back(cu.span().at(i));
  return v;
}

struct Example {
  const char* name;
  std::string text;
  std::vector<u32> values;
  u8 width;
};

TEST(Normalize, WorkedExamples) {
  const std::vector<Example> examples = {
      {"empty", "", {}, 1},
      {"two-byte e acute", "h\xC3\xA9llo", {0x68, 0xE9, 0x6C, 0x6C, 0x6F}, 1},
      {"four-byte emoji", "\xF0\x9F\x98\x80", {0x1F600}, 4},
      {"combining mark stays apart", "e\xCC\x81", {0x65, 0x301}, 2},
      {"nothing dropped", std::string("\0\t\n\xC2\xA0", 5), {0x0, 0x9, 0xA, 0xA0}, 1},
      {"largest of each width", "\xC3\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", {0xFF, 0xFFFF, 0x10FFFF}, 4},
      {"first two-byte-wide", "\xC4\x80", {0x100}, 2},
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(string_to_u32s(e.text), e.values);
    EXPECT_EQ(u32s_to_string(e.values), e.text);
    const CodeUnits cu = to_code_units(e.text);
    EXPECT_EQ(values_of(cu), e.values);
    EXPECT_EQ(cu.width, e.width);
    EXPECT_EQ(cu.bytes.size(), cu.size * cu.width);
    EXPECT_EQ(cu.ascii, std::all_of(e.values.begin(), e.values.end(), [](u32 v) { return v < 0x80; }));
  }
}

TEST(Normalize, OnlyUnicodeScalarsConvertBack) {
  EXPECT_EQ(u32s_to_string(std::vector<u32>{0xD7FF, 0xE000, 0x10FFFF}), "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF");
  for (const u32 bad : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
    const std::vector<u32> v{0x41, 0xE9, bad, 0x42};
    try {
      u32s_to_string(v);
      ADD_FAILURE() << std::hex << bad << " converted";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "invalid unicode scalar in string_from_u32");
    }
  }
}

TEST(Utf8Ranges, OutOfBoundsRangesAreInternalErrors) {
  const CodeUnits cu = to_code_units("abc\xC3\xA9");
  std::string out = "keep";
  for (const auto& [start, len] : std::vector<std::pair<u64, u64>>{{0, 5}, {4, 1}, {5, 0}, {1, UINT64_MAX}, {UINT64_MAX, 1}}) {
    EXPECT_THROW(utf8_length(cu.span(), start, len), InternalError) << start << "+" << len;
    EXPECT_THROW(append_utf8(cu.span(), start, len, out), InternalError) << start << "+" << len;
  }
  EXPECT_EQ(out, "keep");
  append_utf8(cu.span(), 4, 0, out);
  append_utf8(SymbolSpan{}, 0, 0, out);
  EXPECT_EQ(out, "keep");
}

// Random texts over characters of every UTF-8 length, including the edges of
// each storage width and long ASCII runs for the word-at-a-time paths.
TEST(CodeUnits, RandomTextsAgreeAcrossConversions) {
  using Char = std::pair<u32, std::string_view>;
  const std::vector<std::vector<Char>> alphabets = {
      {{'a', "a"}, {' ', " "}, {0x0, "\0"sv}, {0x7F, "\x7F"}},
      {{'a', "a"}, {0x80, "\xC2\x80"}, {0xE9, "\xC3\xA9"}, {0xFF, "\xC3\xBF"}},
      {{'a', "a"}, {0xFF, "\xC3\xBF"}, {0x100, "\xC4\x80"}, {0x7FF, "\xDF\xBF"}, {0x800, "\xE0\xA0\x80"},
       {0xD7FF, "\xED\x9F\xBF"}, {0xE000, "\xEE\x80\x80"}, {0xFFFF, "\xEF\xBF\xBF"}},
      {{'a', "a"}, {0xE9, "\xC3\xA9"}, {0x4E2D, "\xE4\xB8\xAD"}, {0x10000, "\xF0\x90\x80\x80"},
       {0x1F600, "\xF0\x9F\x98\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"}},
  };
  std::mt19937_64 rng(7);
  for (int round = 0; round < 400; ++round) {
    const auto& alphabet = alphabets[round % alphabets.size()];
    std::vector<u32> values;
    std::string text;
    std::vector<u64> offsets{0};  // byte offset of each character boundary
    const int n = static_cast<int>(rng() % (round < 200 ? 12 : 90));
    for (int i = 0; i < n; ++i) {
      const bool ascii_run = rng() % 4 == 0;
      for (int r = ascii_run ? 9 : 1; r > 0; --r) {
        const Char c = ascii_run ? Char{'x', "x"} : alphabet[rng() % alphabet.size()];
        values.push_back(c.first);
        text += c.second;
        offsets.push_back(text.size());
      }
    }
    SCOPED_TRACE(::testing::Message() << "round " << round << " text " << ::testing::PrintToString(text));
    ASSERT_EQ(string_to_u32s(text), values);
    ASSERT_EQ(u32s_to_string(values), text);

    const CodeUnits cu = to_code_units(text);
    const u32 top = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    ASSERT_EQ(values_of(cu), values);
    EXPECT_EQ(cu.width, top < 0x100 ? 1 : top < 0x10000 ? 2 : 4);
    EXPECT_EQ(cu.ascii, top < 0x80);

    // Every range of short texts, random ones of long texts, from the
    // narrowest and from four-byte storage alike.
    std::vector<std::pair<u64, u64>> ranges;
    if (values.size() <= 40) {
      for (u64 start = 0; start <= values.size(); ++start)
        for (u64 len = 0; len <= values.size() - start; ++len) ranges.emplace_back(start, len);
    } else {
      for (int i = 0; i < 200; ++i) {
        const u64 start = rng() % (values.size() + 1);
        ranges.emplace_back(start, rng() % (values.size() - start + 1));
        ranges.emplace_back(start, rng() % std::min<u64>(kMarkStride, values.size() - start + 1));
      }
    }
    const SymbolSpan wide{values.data(), values.size(), 4};
    for (const SymbolSpan& s : {cu.span(), wide}) {
      for (const auto& [start, len] : ranges) {
        const std::string slice = text.substr(offsets[start], offsets[start + len] - offsets[start]);
        std::string out = "<";
        append_utf8(s, start, len, out);
        ASSERT_EQ(out, "<" + slice) << start << "+" << len << " width " << int(s.width);
        ASSERT_EQ(utf8_length(s, start, len), slice.size());
        if (len < kMarkStride) ASSERT_EQ(utf8_length_short(s, start, len), slice.size()) << start << "+" << len;
      }
    }
  }
}

// The one-pass scan against the slow per-range measure, in every width, with
// lengths around the stride, and surrogates wherever they may hide.
TEST(ScanText, MarksAndSurrogatesInOnePass) {
  std::mt19937_64 rng(11);
  const u32 samples[] = {0x41, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
  for (int round = 0; round < 300; ++round) {
    const u64 n = round < 140 ? round : rng() % 1000;
    std::vector<u32> values(n);
    for (u32& v : values) v = samples[rng() % std::size(samples)];
    const u32 top = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    for (const u8 width : {u8{1}, u8{2}, u8{4}}) {
      if ((width == 1 && top > 0xFF) || (width == 2 && top > 0xFFFF)) continue;
      std::vector<u8> bytes(n * width + 1);
      for (u64 i = 0; i < n; ++i) std::memcpy(bytes.data() + i * width, &values[i], width);  // little-endian
      const SymbolSpan s{bytes.data(), n, width};
      std::vector<u64> marks{99};  // appended to, never cleared
      const TextScan scan = scan_text(s, marks);
      ASSERT_FALSE(scan.surrogate);
      ASSERT_EQ(scan.bytes, utf8_length(s, 0, n));
      std::vector<u64> want{99};
      for (u64 c = 0; c < n; c += kMarkStride) want.push_back(utf8_length(s, 0, c));
      if (n % kMarkStride == 0) want.push_back(scan.bytes);
      ASSERT_EQ(marks, want) << "n " << n << " width " << int(width);
      EXPECT_FALSE(has_surrogate(s));
      if (width == 1 || n == 0) continue;
      for (const u32 bad : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
        const u64 at = rng() % n;
        std::vector<u8> with = bytes;
        std::memcpy(with.data() + at * width, &bad, width);
        const SymbolSpan t{with.data(), n, width};
        std::vector<u64> ignored;
        ASSERT_TRUE(scan_text(t, ignored).surrogate) << "at " << at << " of " << n;
        ASSERT_TRUE(has_surrogate(t));
      }
    }
  }
}

}  // namespace
}  // namespace palimp
