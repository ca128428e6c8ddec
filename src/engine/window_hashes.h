// Rolling a window's hash along a run of window starts: the one loop that
// every pass of the exact engine over a message's windows goes through.
#pragma once

#include <type_traits>

#include "hashing.h"
#include "interrupt.h"

namespace palimp {

// Calls f(j, hash of window j) for every window of k = roll.len() symbols
// starting at j in [from, to) of the message whose symbols are t, rolling the
// hash along, and counts `units` of work per window on `meter`.  When f
// returns bool, false stops the walk: then returns the j at which it stopped,
// else `to`.  Requires from < to and to - 1 + k <= the message's size.
template <class T, class F>
[[gnu::always_inline]] inline u64 for_each_window_hash(const T* t, u64 from, u64 to, const RollingWindow& roll,
                                                       WorkMeter& meter, u64 units, F&& f) {
  const u64 k = roll.len();
  u64 h = hash_direct(t + from, k);
  for (u64 j = from;; ++j) {
    if constexpr (std::is_same_v<decltype(f(j, h)), bool>) {
      if (!f(j, h)) return j;
    } else {
      f(j, h);
    }
    if (j + 1 == to) return to;
    h = roll.roll(h, t[j], t[j + k]);
    if ((j & (work_units::kCountEvery - 1)) == 0) meter.add(work_units::kCountEvery * units);
  }
}

}  // namespace palimp
