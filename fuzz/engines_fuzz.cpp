// Both token engines on message lists decoded from the input (shapes.h),
// with every parameter edge: the contract of every list, checked in linear
// time at any size; a second run that must agree; rendering; and, for inputs
// small enough that their quadratic cost stays below the rest, the slow
// literal engines of the unit tests as the oracle of every choice.
#include "capped.h"
#include "engine/binary.h"
#include "engine/capped.h"
#include "hashed_binary.h"
#include "invariants.h"
#include "mutator.h"
#include "reference_engines.h"
#include "shapes.h"

namespace palimp::fuzz {
namespace {

// Alphabets chosen for what they exercise: tiny ones repeat a lot; {0, 1,
// 257} holds the colliding windows [0, 0, 1, 0] and [0, 0, 0, 257]; the
// next two need one-, two- and four-byte storage side by side; the ranges
// give generated prose a vocabulary, across the storage widths' edges.
std::vector<u32> id_range(u32 first, u32 n) {
  std::vector<u32> v;
  for (u32 i = 0; i < n; ++i) v.push_back(first + i);
  return v;
}
const std::vector<std::vector<u32>> kAlphabets = {
    {0, 1},
    {0, 1, 2},
    {1, 2, 3, 4},
    {0, 1, 257},
    {5, 0, 255, 256},
    {0, 255, 256, 65535, 65536, 0xFFFFFFFFu},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    id_range(0, 64),
    id_range(200, 96),
    id_range(65500, 96),
    id_range(0xFFFFFFFFu - 95, 96),
};

constexpr u64 kDraftTotal = 256;  // symbols of a free-form draft
constexpr u64 kDraftMessages = 32;
// Inputs up to this many symbols also go through the slow engines.  Measured
// on a corpus of the shapes' inputs, size class by size class, the slow
// engines cost 0.4 to 0.85 times the rest of a run up to 8 Ki symbols and
// more beyond (4.6 times at 64 Ki, where a long C makes the slow capped
// index quadratic); this cut keeps them below the rest with a margin.
constexpr u64 kOracleCut = 2048;

using Lists = std::vector<std::vector<TokenSegment>>;

void check_same(const Lists& got, const Lists& want, const char* engine, const EngineParams& p) {
  FUZZ_CHECK(got == want, engine << " engine differs from the slow engine (k=" << p.min_match_len << " C="
                                 << p.cap_len << " N=" << p.ncap << ")\n got:" << describe(got)
                                 << "\n want:" << describe(want));
}

int engines(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const Header h = read_header(in);
  const EngineParams& params = h.params;
  const std::vector<u32>& alphabet = kAlphabets[h.alphabet % kAlphabets.size()];
  const Draft draft = shaped_messages(in, h, static_cast<u32>(alphabet.size()), kDraftTotal, kDraftMessages);
  const auto entries = spell(draft, alphabet);
  const bool oracle = total_symbols(draft) <= kOracleCut;

  std::vector<std::vector<u32>> present;
  std::vector<std::optional<TokenSpan>> optional_views;
  for (const auto& e : entries) {
    if (e) present.push_back(*e);
  }
  for (const auto& e : entries) {
    optional_views.emplace_back(e ? std::optional<TokenSpan>(TokenSpan(*e)) : std::nullopt);
  }
  const std::vector<TokenSpan> views(present.begin(), present.end());
  // The mode picks the second run of each engine (none, the same call again,
  // the index as large inputs have it, or parameters the engine does not read
  // changed) and the rendering check: one of each per engine and input keeps
  // runs fast, and the fuzzer varies the mode like any other byte.
  const u8 second = h.mode % 4;
  const u8 render = h.mode / 4;

  // Exact engine.
  const HashedGreedyBinary exact = HashedGreedyBinary::new_tokens(views, params);
  const Lists exact_lists = exact.segments();
  check_lists(present, exact_lists, params.min_match_len, Engine::kExact);
  if (oracle) check_same(exact_lists, testing::reference_exact(present, params.min_match_len), "exact", params);
  check_rendering(exact, exact.state(), present, exact_lists, render);
  const std::vector<SymbolSpan> stored = exact.state().tokens.spans();
  if (second == 1) {
    FUZZ_CHECK(exact.segments() == exact_lists, "a second segments() call differs");
    FUZZ_CHECK(exact_segments(stored, params.min_match_len) == exact.state().segments, "exact: a second run differs");
  } else if (second == 2) {
    FUZZ_CHECK(exact_segments_wide(stored, params.min_match_len) == exact.state().segments,
               "exact: the large-input index gives other segments");
  } else if (second == 3) {
    EngineParams other = params;
    other.lookback = params.lookback ? std::nullopt : std::optional<u64>(UINT64_MAX);
    other.cap_len = ~params.cap_len;
    other.ncap = ~params.ncap;
    check_same(HashedGreedyBinary::new_tokens(views, other).segments(), exact_lists, "exact (other C, N)", params);
  }

  // Capped engine, through both of its entry points.
  const CappedHashedGreedy capped = approximate_tokens(optional_views, params);
  const Lists capped_lists = capped.segments();
  check_lists(present, capped_lists, params.min_match_len, Engine::kCapped);
  if (oracle) {
    check_same(capped_lists,
               testing::reference_capped(present, params.min_match_len, params.cap_len, params.ncap), "capped",
               params);
  }
  check_rendering(capped, capped.state(), present, capped_lists, render + 1);
  if (second == 1) {
    FUZZ_CHECK(capped_segments(capped.state().tokens.spans(), params) == capped.state().segments,
               "capped: a second run differs");
    if (oracle) check_same(compute_capped_segments(views, params), capped_lists, "compute_capped_segments", params);
  } else if (second == 2) {
    FUZZ_CHECK(capped_segments(capped.state().tokens.spans(), params, true) == capped.state().segments,
               "capped: wide places give other segments");
  } else if (second == 3) {
    EngineParams other = params;
    other.lookback = params.lookback ? std::nullopt : std::optional<u64>(0);
    check_same(approximate_tokens(optional_views, other).segments(), capped_lists, "capped (other lookback)",
               params);
  }
  return 0;
}

}  // namespace
}  // namespace palimp::fuzz

int palimp_fuzz_engines(const uint8_t* data, size_t size) { return palimp::fuzz::engines(data, size); }
PALIMP_FUZZ_ENTRY(palimp_fuzz_engines)
PALIMP_FUZZ_MUTATOR
