#include "engine/places.h"

#include <algorithm>

namespace palimp {

PlaceNumbering::PlaceNumbering(std::span<const SymbolSpan> messages) : first_(messages.size() + 1) {
  u64 total = 0;
  for (u64 m = 0; m < messages.size(); ++m) {
    first_[m] = total;
    total = checked_add(total, messages[m].size);
  }
  first_[messages.size()] = total;
}

u64 PlaceNumbering::searched_message_of(u64 place) const {
  const std::span<const u64> first = first_.span();
  return static_cast<u64>(std::upper_bound(first.begin(), first.end(), place) - first.begin()) - 1;
}

u64 indexable_windows(std::span<const SymbolSpan> messages, u64 k) {
  u64 windows = 0;
  if (k == 0) return 0;
  for (u64 m = 0; m + 1 < messages.size(); ++m) {
    if (messages[m].size >= k) windows += messages[m].size - k + 1;
  }
  return windows;
}

}  // namespace palimp
