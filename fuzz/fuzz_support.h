// What every harness shares: reading decisions from the fuzzer's bytes,
// building message lists that actually repeat themselves, and checking.
//
// A harness is a function `int name(const uint8_t*, size_t)` that throws
// FuzzFailure when a property does not hold.  Built as a fuzzer
// (PALIMP_LIBFUZZER), PALIMP_FUZZ_ENTRY makes it the libFuzzer entry point,
// which reports the failure and aborts so that the fuzzer saves the input.
// Built into the unit tests, the same function replays the saved inputs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.h"
#include "core.h"

namespace palimp::fuzz {

struct FuzzFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

#define FUZZ_CHECK(cond, what)                                                          \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::ostringstream fuzz_out_;                                                     \
      fuzz_out_ << __FILE__ << ':' << __LINE__ << ": " #cond << " failed: " << what;    \
      throw ::palimp::fuzz::FuzzFailure(fuzz_out_.str());                               \
    }                                                                                   \
  } while (0)

// Decisions drawn from the input, front to back.  Past the end every draw is
// 0, so every input decodes to something and short inputs stay meaningful.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : begin_(data), p_(data), end_(data + size) {}

  // A digest of the whole input, read or not: FNV-1a.
  u64 digest() const {
    u64 h = 0xCBF29CE484222325ull;
    for (const uint8_t* q = begin_; q != end_; ++q) h = (h ^ *q) * 0x100000001B3ull;
    return h;
  }
  bool empty() const { return p_ == end_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  u8 byte() { return p_ == end_ ? 0 : *p_++; }
  bool flag() { return byte() & 1; }
  // A number in [0, bound), bound >= 1; one byte for bounds up to 256.
  u64 below(u64 bound) {
    if (bound <= 1) return 0;
    if (bound <= 256) return byte() % bound;
    return (u64{byte()} << 8 | byte()) % bound;
  }
  u32 u32_raw() {
    u32 v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }
  // The remaining bytes.
  std::string rest() {
    std::string s(reinterpret_cast<const char*>(p_), left());
    p_ = end_;
    return s;
  }

 private:
  const uint8_t* begin_;
  const uint8_t* p_;
  const uint8_t* end_;
};

// An engine parameter: mostly small, with the edges (0, 2^32, 2^63,
// 2^64 - 1) where arithmetic could wrap, the candidate bound (64), and 128:
// Thue-Morse blocks of 128 symbols and their complements share a window hash
// under base 257.
inline u64 pick_size(FuzzInput& in) {
  static constexpr u64 kEdges[] = {0,  1,  2,   3,   4,  5,  6,  7,  8,  16, 63, 64, 65, 128, 256, u64{1} << 32,
                                   u64{1} << 63, UINT64_MAX - 1, UINT64_MAX};
  const u8 b = in.byte();
  if (b < 176) return b % 10;
  return kEdges[b % std::size(kEdges)];
}

inline EngineParams pick_params(FuzzInput& in) {
  EngineParams p;
  p.min_match_len = pick_size(in);
  p.cap_len = pick_size(in);
  p.ncap = pick_size(in);
  if (in.flag()) p.lookback = pick_size(in);
  return p;
}

// Messages as symbol indices into a small alphabet: repeats, shared spans,
// runs and Thue-Morse blocks (whose windows collide under base 257) are what
// the engines' hashing and candidate bounds are about, and uniform random
// input would almost never produce them.  Absent entries appear too.
struct Draft {
  std::vector<std::optional<std::vector<u32>>> messages;  // symbol indices
};

inline Draft draft_messages(FuzzInput& in, u32 alphabet, u64 max_total, u64 max_messages) {
  Draft d;
  u64 total = 0;
  std::vector<u32> cur;
  bool absent = false;
  auto close = [&] {
    if (absent) {
      d.messages.emplace_back(std::nullopt);
    } else {
      d.messages.emplace_back(std::move(cur));
    }
    cur.clear();
    absent = false;
  };
  auto earlier = [&]() -> const std::vector<u32>* {
    std::vector<const std::vector<u32>*> present;
    for (const auto& m : d.messages) {
      if (m && !m->empty()) present.push_back(&*m);
    }
    if (present.empty()) return cur.empty() ? nullptr : &cur;
    return present[in.below(present.size())];
  };
  auto sym = [&] { return static_cast<u32>(in.below(alphabet)); };
  while (!in.empty() && total < max_total && d.messages.size() < max_messages) {
    const u64 before = cur.size();
    switch (in.byte() % 10) {
      case 0:
        close();
        break;
      case 1:
        absent = true;
        close();
        break;
      case 2:
      case 3: {  // fresh symbols
        const u64 n = 1 + in.below(16);
        for (u64 i = 0; i < n; ++i) cur.push_back(sym());
        break;
      }
      case 4:
      case 5: {  // a span of an earlier message (or of this one)
        const std::vector<u32>* src = earlier();
        if (!src) break;
        const std::vector<u32> copy = *src;  // src may be cur
        const u64 start = in.below(copy.size());
        const u64 len = std::min<u64>(copy.size() - start, 1 + in.below(96));
        cur.insert(cur.end(), copy.begin() + start, copy.begin() + start + len);
        break;
      }
      case 6: {  // a whole earlier message, maybe with one symbol changed
        const std::vector<u32>* src = earlier();
        if (!src) break;
        const std::vector<u32> copy = *src;
        const u64 at = cur.size();
        cur.insert(cur.end(), copy.begin(), copy.end());
        if (in.flag() && !copy.empty()) cur[at + in.below(copy.size())] = sym();
        break;
      }
      case 7: {  // a Thue-Morse block over two symbols
        const u64 n = u64{1} << in.below(9);
        const u32 a = sym(), b = sym();
        const u64 offset = in.byte();
        for (u64 i = 0; i < n; ++i) cur.push_back(std::popcount(i + offset) % 2 ? b : a);
        break;
      }
      case 8: {  // a run of one symbol
        const u64 n = 1 + in.below(128);
        cur.insert(cur.end(), n, sym());
        break;
      }
      default: {  // a short periodic pattern
        const u64 period = 1 + in.below(4);
        std::vector<u32> unit;
        for (u64 i = 0; i < period; ++i) unit.push_back(sym());
        const u64 reps = 1 + in.below(64);
        for (u64 r = 0; r < reps; ++r) cur.insert(cur.end(), unit.begin(), unit.end());
        break;
      }
    }
    if (cur.size() > before) total += cur.size() - before;
  }
  if (!cur.empty() || absent) close();
  // Cut what the last step added beyond the budget.
  u64 kept = 0;
  for (auto& m : d.messages) {
    if (!m) continue;
    if (kept + m->size() > max_total) m->resize(max_total - std::min(kept, max_total));
    kept += m->size();
  }
  return d;
}

// The present messages with every index replaced by its symbol.
inline std::vector<std::optional<std::vector<u32>>> spell(const Draft& d, const std::vector<u32>& alphabet) {
  std::vector<std::optional<std::vector<u32>>> out;
  for (const auto& m : d.messages) {
    if (!m) {
      out.emplace_back(std::nullopt);
      continue;
    }
    std::vector<u32> v;
    v.reserve(m->size());
    for (const u32 i : *m) v.push_back(alphabet[i]);
    out.emplace_back(std::move(v));
  }
  return out;
}

inline std::string describe(const std::vector<std::vector<TokenSegment>>& lists) {
  std::ostringstream o;
  for (size_t i = 0; i < lists.size(); ++i) {
    o << "\n  " << i << ":";
    for (const auto& s : lists[i]) {
      if (const auto* l = std::get_if<Literal>(&s)) {
        o << " L" << l->tokens.size();
      } else {
        const auto& r = std::get<Reference>(s);
        o << " R(" << r.message << "," << r.start << "," << r.len << ")";
      }
    }
  }
  return o.str();
}

}  // namespace palimp::fuzz

#ifdef PALIMP_LIBFUZZER
// A smaller quarantine than AddressSanitizer's 256 MiB lets freed memory be
// reused while still in the caches (runs allocate and free a lot), and
// shorter allocation stacks cost less to record; a finding is then replayed
// with the defaults for its full report.
#define PALIMP_FUZZ_ENTRY(harness)                                              \
  extern "C" const char* __asan_default_options() {                             \
    return "quarantine_size_mb=4:malloc_context_size=8";                       \
  }                                                                             \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {      \
    try {                                                                       \
      return harness(data, size);                                               \
    } catch (const std::exception& e) {                                         \
      std::fprintf(stderr, "\n==palimp fuzz failure== %s\n", e.what());         \
      std::fflush(stderr);                                                      \
      std::abort();                                                             \
    }                                                                           \
  }
#else
#define PALIMP_FUZZ_ENTRY(harness)
#endif
