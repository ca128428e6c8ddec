// A driver for profiling the engines without Python: it runs the text
// compressors over corpora or generated text, the way
// PalimpText.from_texts(...).segments() does, and prints the time per input
// byte: building the object and handing out its segment records, and for
// the approximate engine, in the build with stage clocks, its passes over
// the messages (each message is segmented and filed in one pass).  Built by `make profile-driver`, optimised and with debug
// information, for callgrind:
//
//   valgrind --tool=callgrind build/profile/engine_profile --engine approx CORPUS.jsonl.zst
//   build/profile/engine_profile_stages --engine approx --reps 50 CORPUS.jsonl.zst
//
// Inputs: JSON Lines files of conversations (one list of strings per line,
// `.zst` read through the zstd command), or `--random MB`: MB * 10^6 bytes of
// non-repeating printable ASCII followed by a 1,000-character excerpt of it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "corpus_reader.h"
#include "engine/binary.h"
#include "engine/capped.h"
#include "lib.h"

#ifdef PALIMP_STAGE_CLOCK
namespace palimp {
u64 stage_ns[2];
void PALIMP_STAGE_CLOCK(int stage, u64 ns) { stage_ns[stage] += ns; }
}  // namespace palimp
#endif

namespace {

using palimp::u32;
using palimp::u64;
using palimp::corpus::Conversation;
using palimp::corpus::read_corpus;

// mb * 10^6 random printable ASCII characters, then characters
// [12345, 13345) of them as a second message.
Conversation random_text(u64 mb) {
  std::mt19937_64 rng(7);
  std::string m(mb * 1'000'000, ' ');
  for (char& c : m) c = static_cast<char>(32 + rng() % 95);
  std::string excerpt = m.substr(std::min<u64>(12345, m.size()), 1000);
  return {std::move(m), std::move(excerpt)};
}

int usage() {
  std::fprintf(stderr,
               "usage: engine_profile [--engine approx|exact] [--reps N] [--random MB] [FILE.jsonl[.zst] ...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool exact = false;
  int reps = 1;
  std::vector<Conversation> convs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--engine" && i + 1 < argc) {
      const std::string e = argv[++i];
      if (e != "approx" && e != "exact") return usage();
      exact = e == "exact";
    } else if (a == "--reps" && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (a == "--random" && i + 1 < argc) {
      convs.push_back(random_text(std::strtoull(argv[++i], nullptr, 10)));
    } else if (a.starts_with("--")) {
      return usage();
    } else {
      auto more = read_corpus(a);
      if (more.empty()) {
        std::fprintf(stderr, "no conversations in %s\n", a.c_str());
        return 1;
      }
      for (auto& c : more) convs.push_back(std::move(c));
    }
  }
  if (convs.empty() || reps < 1) return usage();

  u64 bytes = 0, segments = 0;
  for (const auto& c : convs)
    for (const auto& m : c) bytes += m ? m->size() : 0;
  const palimp::EngineParams params;
  using Clock = std::chrono::steady_clock;
  auto ns_per_byte = [&](double s) { return s * 1e9 / static_cast<double>(bytes); };
  double best = 1e300, best_build = 0, best_records = 0;
  double best_stage[2] = {0, 0};
  for (int r = 0; r < reps; ++r) {
    double build = 0, records = 0;
#ifdef PALIMP_STAGE_CLOCK
    palimp::stage_ns[0] = palimp::stage_ns[1] = 0;
#endif
    u64 count = 0;
    for (const auto& c : convs) {
      // As from_texts(...).segments(): compress, then hand out the records.
      const auto t0 = Clock::now();
      auto run = [&](const auto& p) {
        const auto t1 = Clock::now();
        for (const auto& list : p.segments()) count += list.size();
        const auto t2 = Clock::now();
        build += std::chrono::duration<double>(t1 - t0).count();
        records += std::chrono::duration<double>(t2 - t1).count();
      };
      if (exact) {
        run(palimp::exact(c, params));
      } else {
        run(palimp::approximate(c, params));
      }
    }
    if (build + records < best) {
      best = build + records;
      best_build = build;
      best_records = records;
#ifdef PALIMP_STAGE_CLOCK
      best_stage[0] = static_cast<double>(palimp::stage_ns[0]) * 1e-9;
      best_stage[1] = static_cast<double>(palimp::stage_ns[1]) * 1e-9;
#endif
    }
    segments = count;
  }
  std::printf("%s engine: %zu conversations, %llu bytes, %llu segments; best of %d: %.4f s, %.2f ns/B\n",
              exact ? "exact" : "approximate", convs.size(), static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(segments), reps, best, ns_per_byte(best));
  std::printf("  build %.2f ns/B, segment records %.2f ns/B", ns_per_byte(best_build), ns_per_byte(best_records));
  if (best_stage[0] + best_stage[1] > 0) {
    std::printf("; of the build: segmenting and filing %.2f, the rest %.2f ns/B", ns_per_byte(best_stage[0] + best_stage[1]),
                ns_per_byte(best_build - best_stage[0] - best_stage[1]));
  }
  std::printf("\n");
  return 0;
}
