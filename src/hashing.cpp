#include "hashing.h"

#include <cassert>
#include <stdexcept>

namespace palimp {

std::pair<std::vector<u64>, std::vector<u64>> prefix_hashes_u32(std::span<const u32> tokens, u64 base) {
  const u64 n = tokens.size();
  std::vector<u64> prefix, power;
  if (n >= prefix.max_size()) throw std::length_error("prefix table too large");
  prefix.reserve(n + 1);
  power.reserve(n + 1);
  prefix.push_back(0);
  power.push_back(1);
  for (u64 i = 1; i <= n; ++i) {
    prefix.push_back(prefix[i - 1] * base + tokens[i - 1]);
    power.push_back(power[i - 1] * base);
  }
  return {std::move(prefix), std::move(power)};
}

u64 window_hash(std::span<const u64> prefix, std::span<const u64> power, u64 start, u64 len) {
  PALIMP_CHECK(!prefix.empty() && prefix.size() == power.size());
  const u64 n = prefix.size() - 1;
  PALIMP_CHECK(start <= n && len <= n - start);
  return prefix[start + len] - prefix[start] * power[len];
}

u64 pow_u64(u64 base, u64 e) {
  u64 result = 1;
  while (e) {
    if (e & 1) result *= base;
    base *= base;
    e >>= 1;
  }
  return result;
}

u64 inverse_u64(u64 odd) {
  assert(odd % 2 == 1);
  // Newton's iteration doubles the number of correct low bits each step.
  u64 x = odd;  // correct to 3 bits for any odd number
  for (int i = 0; i < 5; ++i) x *= 2 - odd * x;
  return x;
}

u64 hash_symbols(const SymbolSpan& s, u64 start, u64 len) {
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  return with_symbols(s, [&](const auto* p) { return hash_direct(p + start, len); });
}

}  // namespace palimp
