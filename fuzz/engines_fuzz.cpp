// Both token engines against the slow literal engines of the unit tests, on
// message lists decoded from the input, with every parameter edge.
#include "capped.h"
#include "engine/binary.h"
#include "engine/capped.h"
#include "hashed_binary.h"
#include "invariants.h"
#include "reference_engines.h"

namespace palimp::fuzz {
namespace {

// Alphabets chosen for what they exercise: tiny ones repeat a lot; {0, 1,
// 257} holds the colliding windows [0, 0, 1, 0] and [0, 0, 0, 257]; the
// last two need one-, two- and four-byte storage side by side.
const std::vector<std::vector<u32>> kAlphabets = {
    {0, 1},
    {0, 1, 2},
    {1, 2, 3, 4},
    {0, 1, 257},
    {5, 0, 255, 256},
    {0, 255, 256, 65535, 65536, 0xFFFFFFFFu},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
};

constexpr u64 kMaxTotal = 768;  // symbols; the slow engines are quadratic
constexpr u64 kMaxMessages = 32;

using Lists = std::vector<std::vector<TokenSegment>>;

void check_same(const Lists& got, const Lists& want, const char* engine, const EngineParams& p) {
  FUZZ_CHECK(got == want, engine << " engine differs from the slow engine (k=" << p.min_match_len << " C="
                                 << p.cap_len << " N=" << p.ncap << ")\n got:" << describe(got)
                                 << "\n want:" << describe(want));
}

int engines(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const EngineParams params = pick_params(in);
  const std::vector<u32>& alphabet = kAlphabets[in.below(kAlphabets.size())];
  const Draft draft = draft_messages(in, static_cast<u32>(alphabet.size()), kMaxTotal, kMaxMessages);
  const auto entries = spell(draft, alphabet);

  std::vector<std::vector<u32>> present;
  std::vector<std::optional<TokenSpan>> optional_views;
  for (const auto& e : entries) {
    if (e) present.push_back(*e);
  }
  for (const auto& e : entries) {
    optional_views.emplace_back(e ? std::optional<TokenSpan>(TokenSpan(*e)) : std::nullopt);
  }
  const std::vector<TokenSpan> views(present.begin(), present.end());

  // Exact engine.
  const HashedGreedyBinary exact = HashedGreedyBinary::new_tokens(views, params);
  const Lists exact_lists = exact.segments();
  check_lists(present, exact_lists, params.min_match_len, Engine::kExact);
  check_same(exact_lists, testing::reference_exact(present, params.min_match_len), "exact", params);
  check_rendering(exact, exact.state(), present, exact_lists);
  FUZZ_CHECK(exact.segments() == exact_lists, "a second segments() call differs");

  // Capped engine, through both of its entry points.
  const CappedHashedGreedy capped = approximate_tokens(optional_views, params);
  const Lists capped_lists = capped.segments();
  check_lists(present, capped_lists, params.min_match_len, Engine::kCapped);
  check_same(capped_lists,
             testing::reference_capped(present, params.min_match_len, params.cap_len, params.ncap), "capped",
             params);
  check_same(compute_capped_segments(views, params), capped_lists, "compute_capped_segments", params);
  check_rendering(capped, capped.state(), present, capped_lists);

  // Parameters an engine does not read change nothing.
  EngineParams other = params;
  other.lookback = params.lookback ? std::nullopt : std::optional<u64>(UINT64_MAX);
  other.cap_len = ~params.cap_len;
  other.ncap = ~params.ncap;
  check_same(HashedGreedyBinary::new_tokens(views, other).segments(), exact_lists, "exact (other C, N)", params);
  other = params;
  other.lookback = params.lookback ? std::nullopt : std::optional<u64>(0);
  check_same(approximate_tokens(optional_views, other).segments(), capped_lists, "capped (other lookback)", params);
  return 0;
}

}  // namespace
}  // namespace palimp::fuzz

int palimp_fuzz_engines(const uint8_t* data, size_t size) { return palimp::fuzz::engines(data, size); }
PALIMP_FUZZ_ENTRY(palimp_fuzz_engines)
