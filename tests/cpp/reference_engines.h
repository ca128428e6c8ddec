// Slow, obviously-correct engines for tests only.  They follow the rules
// literally: every window of every earlier message is indexed by hash in a
// node-based map of full lists, candidates are measured by direct comparison.
// The optimised engines must produce exactly the same segments.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core.h"
#include "hashing.h"

namespace palimp::testing {

using Messages = std::vector<std::vector<u32>>;

inline u64 slow_hash(const std::vector<u32>& t, u64 start, u64 len) {
  u64 h = 0;
  for (u64 i = start; i < start + len; ++i) h = h * HASH_BASE + t[i];
  return h;
}

inline u64 slow_lcp(const std::vector<u32>& a, u64 ai, const std::vector<u32>& b, u64 bi) {
  u64 l = 0;
  while (ai + l < a.size() && bi + l < b.size() && a[ai + l] == b[bi + l]) ++l;
  return l;
}

inline std::vector<std::vector<TokenSegment>> reference_exact(const Messages& msgs, u64 k) {
  std::unordered_map<u64, std::vector<std::pair<u64, u64>>> index;
  std::vector<std::vector<TokenSegment>> out;
  for (u64 i = 0; i < msgs.size(); ++i) {
    if (i > 0 && k > 0 && msgs[i - 1].size() >= k) {
      for (u64 j = 0; j + k <= msgs[i - 1].size(); ++j) index[slow_hash(msgs[i - 1], j, k)].push_back({i - 1, j});
    }
    const auto& cur = msgs[i];
    const u64 n = cur.size();
    // The best match at p, or len 0 when p is not a hit.
    auto choose = [&](u64 p) -> Reference {
      Reference best{0, 0, 0};
      if (k == 0 || n - p < k) return best;
      auto it = index.find(slow_hash(cur, p, k));
      if (it == index.end()) return best;
      for (u64 c = 0; c < std::min<u64>(64, it->second.size()); ++c) {
        const auto [m, s] = it->second[c];
        const u64 l = slow_lcp(cur, p, msgs[m], s);
        if (l >= k && l > best.len) best = {m, s, l};
      }
      return best;
    };
    std::vector<TokenSegment> list;
    u64 p = 0;
    while (p < n) {
      const Reference r = choose(p);
      if (r.len > 0) {
        list.emplace_back(r);
        p += r.len;
        continue;
      }
      u64 e = p + 1;
      while (e < n && choose(e).len == 0) ++e;
      list.emplace_back(Literal{std::vector<u32>(cur.begin() + p, cur.begin() + e)});
      p = e;
    }
    out.push_back(std::move(list));
  }
  return out;
}

inline std::vector<std::vector<TokenSegment>> reference_capped(const Messages& msgs, u64 L, u64 C, u64 N) {
  struct Entry {
    u64 capped, m, s;
  };
  std::unordered_map<u64, std::vector<Entry>> index;
  std::set<std::pair<u64, u64>> seen;
  auto capped_hash = [&](const std::vector<u32>& t, u64 p) { return slow_hash(t, p, std::min<u64>(C, t.size() - p)); };
  std::vector<std::vector<TokenSegment>> out;
  for (u64 j = 0; j < msgs.size(); ++j) {
    if (j > 0 && L > 0 && msgs[j - 1].size() >= L) {
      const auto& prev = msgs[j - 1];
      for (u64 p = 0; p + L <= prev.size(); ++p) {
        const u64 h = slow_hash(prev, p, L), c = capped_hash(prev, p);
        if (!seen.insert({h, c}).second) continue;
        index[h].push_back({c, j - 1, p});
      }
    }
    const auto& cur = msgs[j];
    const u64 n = cur.size();
    auto key_at = [&](u64 k) { return L > 0 && n - k >= L && index.count(slow_hash(cur, k, L)) > 0; };
    std::vector<TokenSegment> list;
    u64 k = 0;
    while (k < n) {
      u64 len = 0, w = 0, s = 0;
      if (L > 0 && n - k >= L && !index.empty() && N > 0) {
        auto it = index.find(slow_hash(cur, k, L));
        if (it != index.end()) {
          const u64 c = capped_hash(cur, k);
          for (u64 x = 0; x < std::min<u64>(N, it->second.size()); ++x) {
            const Entry& e = it->second[x];
            if (e.capped != c) continue;
            const u64 l = slow_lcp(cur, k, msgs[e.m], e.s);
            if (l >= L) len = l, w = e.m, s = e.s;
            break;
          }
        }
      }
      if (len > 0) {
        list.emplace_back(Reference{w, s, len});
        k += len;
        continue;
      }
      u64 m = k + 1;
      while (m < n && !key_at(m)) ++m;
      list.emplace_back(Literal{std::vector<u32>(cur.begin() + k, cur.begin() + std::min(m, n))});
      k = std::min(m, n);
    }
    // Coalescing.
    std::vector<TokenSegment> merged;
    for (auto& seg : list) {
      if (auto* r = std::get_if<Reference>(&seg); r && !merged.empty()) {
        if (auto* prev = std::get_if<Reference>(&merged.back());
            prev && prev->message == r->message && prev->start + prev->len == r->start) {
          prev->len += r->len;
          continue;
        }
      }
      merged.push_back(std::move(seg));
    }
    out.push_back(std::move(merged));
  }
  return out;
}

}  // namespace palimp::testing
