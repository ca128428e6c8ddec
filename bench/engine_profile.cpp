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
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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
using Conversation = std::vector<std::optional<std::string>>;

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

// One JSON list of strings; enough JSON for the corpora and no more.
Conversation parse_string_list(const std::string& line) {
  Conversation out;
  size_t i = line.find('[');
  auto hex4 = [&](size_t at) { return static_cast<u32>(std::stoul(line.substr(at, 4), nullptr, 16)); };
  while (i != std::string::npos) {
    i = line.find_first_of("\"]n", i + 1);
    if (i == std::string::npos || line[i] == ']') break;
    if (line[i] == 'n') {  // null
      out.emplace_back(std::nullopt);
      i += 3;
      continue;
    }
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
        default: s += e;
      }
    }
    out.emplace_back(std::move(s));
  }
  return out;
}

std::vector<Conversation> read_corpus(const std::string& path) {
  std::string text;
  if (path.ends_with(".zst")) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("zstd -dcq --long=27 '" + path + "'").c_str(), "r"), pclose);
    if (!pipe) return {};
    char buf[1 << 16];
    while (size_t got = fread(buf, 1, sizeof buf, pipe.get())) text.append(buf, got);
  } else {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  std::vector<Conversation> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find('[') != std::string::npos) out.push_back(parse_string_list(line));
  }
  return out;
}

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
