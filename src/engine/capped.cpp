#include "engine/capped.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "big_buffer.h"
#include "flat_map.h"
#include "hashing.h"

namespace palimp {
namespace {

constexpr u64 kBase2 = HASH_BASE * HASH_BASE;
constexpr u64 kBase4 = kBase2 * kBase2;
constexpr u64 kBatch = 16;  // positions hashed ahead of their table probes

// Number of equal symbols right before a[ai] and b[bi], counted backwards, at
// most `limit`.  Requires limit <= ai and limit <= bi.  O(result).
u64 common_suffix(const SymbolSpan& a, u64 ai, const SymbolSpan& b, u64 bi, u64 limit) {
  return with_symbols(a, [&](const auto* pa) {
    return with_symbols(b, [&](const auto* pb) {
      u64 l = 0;
      while (l < limit && u32{pa[ai - 1 - l]} == u32{pb[bi - 1 - l]}) ++l;
      return l;
    });
  });
}

// Hashes of the windows [p, p + min(cap, n - p)) of one message, asked for at
// non-decreasing p.  Moving on by d positions costs d steps of two
// multiplications; when the window is shorter than that distance it is hashed
// afresh instead.  Either way the whole walk over a message costs O(n + cap),
// however far the queries jump, even when cap reaches past the message's end
// and every window is the rest of the message.
template <class T>
class WindowCursor {
 public:
  // top = HASH_BASE^cap, inv_base = HASH_BASE^-1 (both modulo 2^64).
  WindowCursor(const T* t, u64 n, u64 cap, u64 top, u64 inv_base)
      : t_(t), n_(n), cap_(cap), top_(top), inv_base_(inv_base) {}

  // Requires p < n.  Cheap for non-decreasing p; a step back is hashed afresh.
  u64 at(u64 p) {
    if (valid_ && p >= pos_ && p - pos_ <= width(p)) {
      while (pos_ < p) step();
    } else {
      hash_ = direct(p);
      pos_ = p;
      valid_ = true;
      tail_ready_ = false;
    }
    return hash_;
  }

 private:
  u64 width(u64 p) const { return std::min(cap_, n_ - p); }

  u64 direct(u64 p) const {
    const u64 w = width(p);
    const T* x = t_ + p;
    u64 h = 0;
    u64 i = 0;
    // Four symbols per link of the dependency chain.
    for (; w - i >= 4; i += 4) {
      h = h * kBase4 + ((u64{x[i]} * HASH_BASE + x[i + 1]) * HASH_BASE + x[i + 2]) * HASH_BASE + x[i + 3];
    }
    for (; i < w; ++i) h = h * HASH_BASE + x[i];
    return h;
  }

  // From pos_ to pos_ + 1 (< n).
  void step() {
    const u64 rest = n_ - pos_;
    if (rest > cap_) {
      // Full-length window: roll, reading t[pos_ + cap_] (< n).
      hash_ = hash_ * HASH_BASE - u64{t_[pos_]} * top_ + t_[pos_ + cap_];
    } else {
      // The window is the rest of the message: drop its first symbol, whose
      // weight is base^(rest - 1); the next weight is one power lower.
      if (!tail_ready_) {
        tail_weight_ = pow_u64(HASH_BASE, rest - 1);
        tail_ready_ = true;
      }
      hash_ -= u64{t_[pos_]} * tail_weight_;
      tail_weight_ *= inv_base_;
    }
    ++pos_;
  }

  const T* t_;
  u64 n_, cap_, top_, inv_base_;
  bool valid_ = false;
  bool tail_ready_ = false;
  u64 pos_ = 0;
  u64 hash_ = 0;
  u64 tail_weight_ = 0;  // base^(n - pos_ - 1) when tail_ready_
};

// Every pair (min hash, capped hash) filed so far, each with the place it was
// filed from when that place can be a candidate.
//
// One flat array of 24-byte slots with linear probing.  This one table stands
// for both the seen-pair set and the candidate lists: since the capped hashes
// under one min hash are distinct, the candidate for a lookup is the entry
// with the full pair, and the list order only decides whether it is among
// the first N, which is known when the pair is filed.  So a lookup is one
// probe whatever N is, and no list is stored at all.
class PairIndex {
 public:
  static constexpr u64 kFree = std::numeric_limits<u64>::max();
  // Filed, but beyond the first N pairs of its min hash: never a candidate.
  static constexpr u64 kNoPlace = kFree - 1;

  PairIndex() = default;

  // Makes room for `pairs` pairs in all, so that filing them will not grow
  // the table.
  void reserve(u64 pairs) {
    if (capacity_for(pairs) > mask_ + 1) rebuild(capacity_for(pairs));
  }
  bool empty() const { return size_ == 0; }

  // The place filed under the pair, kNoPlace, or nullptr when it is new.
  const u64* find(u64 min, u64 capped) const {
    if (slots_.empty()) return nullptr;
    for (u64 i = slot_of(min, capped);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.place == kFree) return nullptr;
      if (s.min == min && s.capped == capped) return &s.place;
    }
  }

  void prefetch(u64 min, u64 capped) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(min, capped)]);
  }

  // For a new pair, its value slot, which the caller must set to a place or
  // kNoPlace before the next call; nullptr when the pair is already filed.
  u64* insert(u64 min, u64 capped) {
    if (slots_.empty()) rebuild(capacity_for(0));
    if ((size_ + 1) * 10 > (mask_ + 1) * 7) rebuild((mask_ + 1) * 2);
    for (u64 i = slot_of(min, capped);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.place == kFree) {
        s.min = min;
        s.capped = capped;
        ++size_;
        return &s.place;
      }
      if (s.min == min && s.capped == capped) return nullptr;
    }
  }

 private:
  struct Slot {
    u64 min = 0;
    u64 capped = 0;
    u64 place = kFree;
  };

  static u64 capacity_for(u64 pairs) {
    const u64 want = pairs < 16 ? 16 : pairs + pairs / 2;
    return want >= (u64{1} << 60) ? (u64{1} << 60) : std::bit_ceil(want);
  }
  // Window hashes have poorly mixed low bits (base 257 is 1 modulo 256), so
  // the slot comes from the high bits of a multiplicative mix of both.
  u64 slot_of(u64 min, u64 capped) const {
    u64 x = min * 0x9E3779B97F4A7C15ull + capped;
    x ^= x >> 32;
    return (x * 0xD6E8FEB86659FD93ull) >> shift_;
  }

  void rebuild(u64 capacity) {
    std::vector<Slot, BigAllocator<Slot>> old;
    old.swap(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    for (const Slot& s : old) {
      if (s.place == kFree) continue;
      u64 i = slot_of(s.min, s.capped);
      while (slots_[i].place != kFree) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot, BigAllocator<Slot>> slots_;
  u64 mask_ = 0;
  u32 shift_ = 64;
  u64 size_ = 0;
};

// Number of pairs filed under one min hash; 0 marks a free slot.
struct PairCount {
  u64 n = 0;
  bool empty() const { return n == 0; }
};

class CappedEngine {
 public:
  CappedEngine(std::span<const SymbolSpan> messages, const EngineParams& params)
      : msgs_(messages),
        L_(params.min_match_len),
        C_(params.cap_len),
        N_(params.ncap),
        top_L_(pow_u64(HASH_BASE, L_)),
        top_C_(pow_u64(HASH_BASE, C_)),
        inv_base_(inverse_u64(HASH_BASE)),
        places_of_(messages) {
    PALIMP_CHECK(places_of_.total() < PairIndex::kNoPlace);  // places never look like markers
    total_windows_ = indexable_windows(msgs_, L_);
    // Prefetching pays only once the tables outgrow the caches.
    prefetch_ = total_windows_ > kSmallInput;
  }

  SegmentTable run() {
    for (u64 j = 0; j < msgs_.size(); ++j) {
      if (j > 0) index_message(j - 1);
      with_symbols(msgs_[j], [&](const auto* t) { scan_message(j, t); });
      for (const Piece& p : open_) {
        if (p.is_literal()) {
          out_.add_literal(p.start, p.len);
        } else {
          out_.add_reference(p.source, p.start, p.len);
        }
      }
      out_.end_message();
    }
    return std::move(out_);
  }

 private:
  // ---- indexing ------------------------------------------------------------

  // Files the pairs of message m, skipping the positions whose pair is known
  // to be filed already.
  //
  // A span of m that equals a span of an earlier message c symbol for symbol
  // gives each position inside it the pair of the matching position of c, as
  // long as both windows lie inside the span and the capped windows have the
  // same length on both sides; that pair was filed (or skipped for the same
  // reason) when c was indexed.  Each reference piece [q, q + len) is such a
  // span, and so is its extension to the left by the symbols that m and the
  // source also share right before it: message m usually copies two adjacent
  // stretches from different sources that stood side by side in the later
  // one, and the extension covers the windows straddling the seam.  Away from
  // the message's end the windows of a span position p fit when p + max(L, C)
  // does not pass the span's end (the capped window is then C long on both
  // sides).  A piece that ends the message and copies the end of its source
  // keeps equal lengths up to the end, so p + L suffices there.
  void index_message(u64 m) {
    const SymbolSpan& msg = msgs_[m];
    const u64 n = msg.size;
    if (L_ == 0 || n < L_) return;
    const u64 last = n - L_;  // last position with a min window
    if (pairs_.empty()) {
      // The first message filed is new material throughout, so all its
      // positions are filed; later messages mostly repeat earlier ones, and
      // the tables grow with what they add.  A small input is sized for all
      // its positions at once: growing step by step from nothing would cost
      // more than the work itself.
      const u64 expected = std::max(last + 1, total_windows_ <= kSmallInput ? total_windows_ : 0);
      pairs_.reserve(expected);
      keys_ = FlatMap64<PairCount>(expected);
    }
    with_symbols(msg, [&](const auto* t) {
      using T = std::remove_cvref_t<decltype(*t)>;
      WindowCursor<T> min_window(t, n, L_, top_L_, inv_base_);
      WindowCursor<T> capped_window(t, n, C_, top_C_, inv_base_);
      const u64 base = places_of_.first(m);
      auto file_run = [&](u64 from, u64 to) {  // positions [from, to) ∩ [0, last]
        to = std::min(to, last + 1);
        // Hash a batch first and prefetch its slots: the probes then overlap
        // instead of waiting for memory one by one.
        u64 mins[kBatch], cappeds[kBatch];
        for (u64 p = from; p < to;) {
          const u64 count = std::min(kBatch, to - p);
          for (u64 i = 0; i < count; ++i) {
            mins[i] = min_window.at(p + i);
            cappeds[i] = capped_window.at(p + i);
            if (prefetch_) {
              pairs_.prefetch(mins[i], cappeds[i]);
              keys_.prefetch(mins[i]);
            }
          }
          for (u64 i = 0; i < count; ++i) file(mins[i], cappeds[i], base + p + i);
          p += count;
        }
      };
      u64 from = 0;  // first position not yet filed or skipped
      u64 q = 0;     // start of the current piece
      for (const Piece& piece : out_.message(m)) {
        if (!piece.is_literal()) {
          const SymbolSpan& src = msgs_[piece.source];
          const u64 end = q + piece.len;
          const bool copies_tail = end == n && piece.start + piece.len == src.size;
          const u64 reach = copies_tail ? L_ : std::max(L_, C_);
          // Only positions from `from` on are still open, and only those
          // within reach - 1 of q can gain from the extension: this bounds
          // the comparison by the work it saves.  When even the longest
          // extension would leave the span too short, nothing is compared.
          const u64 open = q > from ? q - from : 0;
          const u64 limit = std::min({reach - 1, open, piece.start});
          if (reach - limit <= piece.len) {
            const u64 back = common_suffix(msg, q, src, piece.start, limit);
            if (reach - back <= piece.len) {
              file_run(from, q - back);
              from = std::max(from, end - reach + 1);
            }
          }
        }
        q += piece.len;
      }
      file_run(from, last + 1);
    });
  }

  // Files the pair of the position `place` unless it was filed before.
  void file(u64 min, u64 capped, u64 place) {
    u64* slot = pairs_.insert(min, capped);
    if (slot == nullptr) return;
    PairCount& count = keys_.find_or_insert(min);
    *slot = count.n < N_ ? place : PairIndex::kNoPlace;
    ++count.n;
  }

  // ---- scanning ------------------------------------------------------------

  template <class T>
  void scan_message(u64 j, const T* t) {
    open_.clear();
    const SymbolSpan& cur = msgs_[j];
    const u64 n = cur.size;
    const bool searchable = L_ > 0 && !keys_.empty();
    WindowCursor<T> min_window(t, n, L_, top_L_, inv_base_);
    WindowCursor<T> capped_window(t, n, C_, top_C_, inv_base_);
    WindowCursor<T> ahead(t, n, L_, top_L_, inv_base_);
    u64 k = 0;
    while (k < n) {
      if (searchable && L_ <= n - k) {
        const u64 h = min_window.at(k);
        if (N_ > 0) {
          // A filed pair implies its min hash is a key.
          const u64* place = pairs_.find(h, capped_window.at(k));
          if (place != nullptr && *place != PairIndex::kNoPlace) {
            const u64 c = places_of_.message_of(*place);
            const u64 s = *place - places_of_.first(c);
            const SymbolSpan& src = msgs_[c];
            // The hashes only nominate the candidate: its first L symbols
            // must really be equal, and the length is the true common run.
            const u64 len = common_prefix(cur, k, src, s, std::min(n - k, src.size - s));
            if (len >= L_) {
              add_reference(c, s, len);
              k += len;
              continue;
            }
          }
        }
      }
      u64 e = n;
      if (searchable) {
        // One probe per position; a second cursor runs kBatch positions
        // ahead and prefetches, so the probes rarely wait for memory.
        for (e = k + 1; e < n && L_ <= n - e; ++e) {
          if (prefetch_ && kBatch < n - e && L_ <= n - e - kBatch) keys_.prefetch(ahead.at(e + kBatch));
          if (keys_.find(min_window.at(e)) != nullptr) break;
        }
        if (e < n && L_ > n - e) e = n;  // no min window from e on
      }
      open_.push_back({Piece::kLiteral, k, e - k});
      k = e;
    }
  }

  // Appends a reference, merged into the previous one when that copies the
  // symbols right before it in the same source; merging as we go gives the
  // same lists as a pass at the end.  (A reference measured by comparison
  // already ends where its source stops agreeing or ends, so such a
  // successor cannot follow it today; the merge keeps the rule regardless.)
  void add_reference(u64 source, u64 start, u64 len) {
    if (!open_.empty()) {
      Piece& prev = open_.back();
      if (!prev.is_literal() && prev.source == source && prev.start + prev.len == start) {
        prev.len += len;
        return;
      }
    }
    open_.push_back({source, start, len});
  }

  static constexpr u64 kSmallInput = u64{1} << 16;  // windows; tables this small stay cached

  std::span<const SymbolSpan> msgs_;
  u64 L_, C_, N_;
  u64 total_windows_ = 0;  // positions that could ever be filed
  bool prefetch_ = false;
  u64 top_L_, top_C_;  // base^L, base^C
  u64 inv_base_;
  PlaceNumbering places_of_;
  FlatMap64<PairCount> keys_;  // every min hash filed so far
  PairIndex pairs_;
  std::vector<Piece> open_;  // pieces of the message being scanned
  SegmentTable out_;
};

}  // namespace

SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params) {
  return CappedEngine(messages, params).run();
}

std::vector<std::vector<TokenSegment>> compute_capped_segments(std::span<const TokenSpan> messages,
                                                               const EngineParams& params) {
  std::vector<SymbolSpan> spans;
  spans.reserve(messages.size());
  for (const TokenSpan& m : messages) spans.push_back({m.data(), m.size(), 4});
  return token_segment_lists(capped_segments(spans, params), [&](u64 i, u64 start, u64 len, std::vector<u32>& out) {
    PALIMP_CHECK(start <= messages[i].size() && len <= messages[i].size() - start);
    out.insert(out.end(), messages[i].begin() + start, messages[i].begin() + start + len);
  });
}

}  // namespace palimp
