#include "engine/group_table.h"

#include <atomic>
#include <chrono>
#include <random>

namespace palimp {
namespace {

u64 mix(u64 x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

u64 process_seed() {
  static const u64 seed = [] {
    try {
      std::random_device device;
      return u64{device()} << 32 ^ device();
    } catch (...) {
      // No system randomness: the clock and the load address still differ
      // from run to run.
      static const int anchor = 0;
      return static_cast<u64>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
             reinterpret_cast<u64>(&anchor);
    }
  }();
  return seed;
}

std::atomic<u64> draws{0};

}  // namespace

u64 hash_seed() { return mix(process_seed() + draws.fetch_add(1, std::memory_order_relaxed)); }

}  // namespace palimp
