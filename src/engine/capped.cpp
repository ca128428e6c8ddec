#include "engine/capped.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <limits>
#include <type_traits>

#include "engine/capped_index.h"
#include "hashing.h"

namespace palimp {

// Profiling builds (bench/engine_profile.cpp) define PALIMP_STAGE_CLOCK to
// the name of a function that receives the nanoseconds of every indexing
// (stage 0) and scanning (stage 1) step; other builds compile nothing for it.
#ifdef PALIMP_STAGE_CLOCK
void PALIMP_STAGE_CLOCK(int stage, u64 ns);
struct StageTimer {
  int stage;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  ~StageTimer() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    PALIMP_STAGE_CLOCK(stage, static_cast<u64>(ns.count()));
  }
};
#define PALIMP_TIME_STAGE(stage) const StageTimer stage_timer_{stage}
#else
#define PALIMP_TIME_STAGE(stage)
#endif

namespace {

using capped_detail::PairIndex;
using capped_detail::QuerySet;

constexpr u64 kBase2 = HASH_BASE * HASH_BASE;
constexpr u64 kBase4 = kBase2 * kBase2;
constexpr u64 kBatch = 16;  // positions hashed ahead of their table probes

// Tables of more slot bytes than this outgrow the caches: only then does
// prefetching pay.
constexpr u64 kCachedBytes = u64{1} << 20;
constexpr u64 kSmallInput = u64{1} << 16;  // windows

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

// Hash of w symbols at x, four symbols per link of the dependency chain.
template <class T>
u64 hash_direct(const T* x, u64 w) {
  u64 h = 0;
  u64 i = 0;
  for (; w - i >= 4; i += 4) {
    h = h * kBase4 + ((u64{x[i]} * HASH_BASE + x[i + 1]) * HASH_BASE + x[i + 2]) * HASH_BASE + x[i + 3];
  }
  for (; i < w; ++i) h = h * HASH_BASE + x[i];
  return h;
}

// The window lengths and the powers of the base that rolling them needs.
struct Shape {
  explicit Shape(const EngineParams& params)
      : L(params.min_match_len),
        C(params.cap_len),
        top_L(pow_u64(HASH_BASE, L)),
        top_C(pow_u64(HASH_BASE, C)),
        below_C(C > 0 ? pow_u64(HASH_BASE, C - 1) : 0),
        inv_base(inverse_u64(HASH_BASE)) {}
  u64 L, C;
  u64 top_L, top_C;  // base^L, base^C
  u64 below_C;       // base^(C - 1): weight of the first symbol of a C-window
  u64 inv_base;      // base^-1 modulo 2^64
};

// The min hash and the capped hash of the positions of one message, rolled
// along it.  `walk` visits a run of positions in one loop that keeps the
// hashes in registers, four multiplications per step; `seek` jumps ahead,
// rolling when that is cheaper than hashing afresh, so that a whole walk over
// a message costs O(n) however far it jumps, even when every capped window is
// the rest of the message.
//
// A position p has a min window when L <= n - p, and its capped window holds
// min(C, n - p) symbols: C of them while C < n - p ("full"), the rest of the
// message from there on ("tail").  A tail window loses its first symbol at
// each step, whose weight is base^(n - p - 1).
template <class T>
class Windows {
 public:
  Windows(const T* t, u64 n, const Shape& shape)
      : t_(t), n_(n), s_(shape), full_end_(shape.C < n ? n - shape.C : 0) {}

  u64 pos() const { return pos_; }
  u64 min() const { return min_; }
  u64 capped() const { return capped_; }

  // Moves to p, which must have a min window.  Positions before the current
  // one are hashed afresh.  A step costs about as much as hashing eight
  // symbols afresh, so a jump of d rolls only when the windows at p hold at
  // least 8d symbols; either way the cost is O(d).
  void seek(u64 p) {
    if (valid_ && p >= pos_ && (p - pos_) * 8 <= s_.L + std::min(s_.C, n_ - p)) {
      if (p > pos_) walk(p + 1, [](u64, u64, u64) { return false; });
      return;
    }
    pos_ = p;
    valid_ = true;
    min_ = hash_direct(t_ + p, s_.L);
    const u64 rest = n_ - p;
    if (p < full_end_) {
      capped_ = hash_direct(t_ + p, s_.C);
    } else {
      capped_ = hash_direct(t_ + p, rest);
      tail_weight_ = pow_u64(HASH_BASE, rest - 1);
    }
  }

  // Calls stop(p, min hash, capped hash) for p = pos, pos + 1, ... below
  // `to`, until it returns true; the walk then rests at that p, otherwise at
  // to - 1.  Requires pos < to and a min window at to - 1.
  template <class Stop>
  [[gnu::always_inline]] void walk(u64 to, Stop&& stop) {
    const T* t = t_;
    const u64 L = s_.L, C = s_.C, top_L = s_.top_L, top_C = s_.top_C, full_end = full_end_;
    u64 p = pos_, min = min_, capped = capped_, tail_weight = tail_weight_;
    for (;;) {
      if (stop(p, min, capped) || p + 1 == to) break;
      const u64 out = t[p];
      min = min * HASH_BASE - out * top_L + t[p + L];
      if (p < full_end) {
        capped = capped * HASH_BASE - out * top_C + t[p + C];
        if (p + 1 == full_end) tail_weight = s_.below_C;  // the next window is the tail
      } else {
        capped -= out * tail_weight;
        tail_weight *= s_.inv_base;
      }
      ++p;
    }
    pos_ = p;
    min_ = min;
    capped_ = capped;
    tail_weight_ = tail_weight;
  }

 private:
  const T* t_;
  u64 n_;
  const Shape& s_;
  u64 full_end_;  // positions below this have full capped windows
  bool valid_ = false;
  u64 pos_ = 0;
  u64 min_ = 0, capped_ = 0;
  u64 tail_weight_ = 0;  // base^(n - pos - 1) while the capped window is the tail
};

// Positions [from, to) of a message that indexing files.
struct Run {
  u64 from, to;
};

template <class Place>
class CappedEngine {
 public:
  CappedEngine(std::span<const SymbolSpan> messages, const EngineParams& params)
      : msgs_(messages),
        shape_(params),
        L_(params.min_match_len),
        C_(params.cap_len),
        places_of_(messages),
        index_(params.ncap) {
    PALIMP_CHECK(places_of_.total() < std::numeric_limits<Place>::max());
    // Windows that the messages after each one can ask for, for the choice
    // of indexing only what they ask (see index_message).
    later_windows_.assign(msgs_.size() + 1, 0);
    for (u64 m = msgs_.size(); m-- > 0;) {
      const u64 n = msgs_[m].size;
      later_windows_[m] = later_windows_[m + 1] + (L_ > 0 && n >= L_ ? n - L_ + 1 : 0);
    }
    total_windows_ = indexable_windows(msgs_, L_);
  }

  SegmentTable run() {
    for (u64 j = 0; j < msgs_.size(); ++j) {
      if (j > 0) index_message(j - 1);
      with_symbols(msgs_[j], [&](const auto* t) { scan_message(j, t); });
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
  //
  // When what the later messages can still ask for is small next to what
  // this message would file (a long document followed by a short question),
  // only min hashes that occur in a later message are filed from here on.
  // Nothing else can ever be looked up: a literal run ends at, and a lookup
  // is made with, the min hash of a position of the message being scanned.
  // And every pair of such a min hash is filed, in the same order, so each
  // key's ordinals, and which of them are the first, do not change.
  // Kept out of line, as scan_message is, so that profiles show the stages.
  [[gnu::noinline]] void index_message(u64 m) {
    PALIMP_TIME_STAGE(0);
    const SymbolSpan& msg = msgs_[m];
    const u64 n = msg.size;
    if (L_ == 0 || n < L_) return;
    const u64 last = n - L_;  // last position with a min window
    runs_.clear();
    u64 open = 0;  // positions to file
    auto add_run = [&](u64 from, u64 to) {
      to = std::min(to, last + 1);
      if (from < to) {
        runs_.push_back({from, to});
        open += to - from;
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
        const u64 still_open = q > from ? q - from : 0;
        const u64 limit = std::min({reach - 1, still_open, piece.start});
        if (reach - limit <= piece.len) {
          const u64 back = common_suffix(msg, q, src, piece.start, limit);
          if (reach - back <= piece.len) {
            add_run(from, q - back);
            from = std::max(from, end - reach + 1);
          }
        }
      }
      q += piece.len;
    }
    add_run(from, last + 1);
    if (open == 0) return;

    if (!filtered_ && later_windows_[m + 1] <= open / 4) {
      filtered_ = true;
      build_query_set(m + 1);
    }
    if (!filtered_) presize(open);
    with_symbols(msg, [&](const auto* t) {
      using T = std::remove_cvref_t<decltype(*t)>;
      Windows<T> w(t, n, shape_);
      const u64 base = places_of_.first(m);
      const bool prefetch = index_.bytes() > kCachedBytes;
      typename PairIndex<Place>::Filer filer(index_);
      for (const Run& r : runs_) {
        w.seek(r.from);
        if (filtered_) {
          file_run_filtered(w, r, base, filer);
        } else if (prefetch) {
          file_run_prefetched(w, r, base, filer);
        } else {
          file_run(w, r, base, filer);
        }
      }
    });
  }

  // Before the first message is filed, room for what the whole input will
  // most likely hold, so that the tables rarely grow: a small input is sized
  // from all its windows (in text, about a third of them become keys and a
  // third later pairs), a large one from its first message, which is new
  // material throughout (a pair per position, under about half as many
  // keys, the rest later pairs), since later messages mostly repeat earlier
  // ones.
  void presize(u64 open) {
    if (!index_.empty()) return;
    if (total_windows_ <= kSmallInput) {
      index_.reserve(total_windows_ * 3 / 8, total_windows_ * 3 / 8);
    } else {
      index_.reserve(open / 2, open / 2);
    }
  }

  using Filer = typename PairIndex<Place>::Filer;

  template <class T>
  static void file_run(Windows<T>& w, const Run& r, u64 base, Filer& filer) {
    w.walk(r.to, [&](u64 p, u64 min, u64 capped) {
      filer.file(min, capped, base + p);
      return false;
    });
  }

  // Hashes a batch first and prefetches its key slots, so that the probes
  // overlap instead of waiting for memory one by one.
  template <class T>
  static void file_run_prefetched(Windows<T>& w, const Run& r, u64 base, Filer& filer) {
    u64 mins[kBatch], cappeds[kBatch];
    u64 count = 0, first = r.from;
    auto flush = [&] {
      for (u64 i = 0; i < count; ++i) filer.file(mins[i], cappeds[i], base + first + i);
      first += count;
      count = 0;
    };
    w.walk(r.to, [&](u64, u64 min, u64 capped) {
      mins[count] = min;
      cappeds[count] = capped;
      filer.prefetch_key(min);
      if (++count == kBatch) flush();
      return false;
    });
    flush();
  }

  template <class T>
  void file_run_filtered(Windows<T>& w, const Run& r, u64 base, Filer& filer) {
    const auto queries = queries_.view();
    w.walk(r.to, [&](u64 p, u64 min, u64 capped) {
      if (queries.contains(min)) filer.file(min, capped, base + p);
      return false;
    });
  }

  // The min hashes of every window of messages `first` and after.
  void build_query_set(u64 first) {
    queries_.reserve(later_windows_[first]);
    for (u64 j = first; j < msgs_.size(); ++j) {
      const u64 n = msgs_[j].size;
      if (n < L_) continue;
      with_symbols(msgs_[j], [&](const auto* t) {
        u64 h = hash_direct(t, L_);
        for (u64 p = 0;; ++p) {
          queries_.insert(h);
          if (p + L_ == n) break;
          h = h * HASH_BASE - u64{t[p]} * shape_.top_L + t[p + L_];
        }
      });
    }
  }

  // ---- scanning ------------------------------------------------------------

  template <class T>
  [[gnu::noinline]] void scan_message(u64 j, const T* t) {
    PALIMP_TIME_STAGE(1);
    const u64 n = msgs_[j].size;
    const bool searchable = L_ > 0 && !index_.empty();
    Windows<T> w(t, n, shape_);
    const typename PairIndex<Place>::Reader index(index_);
#ifndef NDEBUG
    last_is_reference_ = false;
#endif
    using Key = typename PairIndex<Place>::Key;
    const Key* key = nullptr;
    bool key_known = false;  // `key` belongs to position k
    u64 k = 0;
    while (k < n) {
      if (searchable && L_ <= n - k) {
        w.seek(k);
        if (!key_known) key = index.find_key(w.min());
        if (key != nullptr) {
          const u64 place = index.find(*key, w.capped());
          if (place != PairIndex<Place>::kNone && reference_at(j, k, place)) {
            key_known = false;
            continue;
          }
        }
      }
      // A literal run up to the next position whose min hash is a key,
      // whether or not a match follows there.
      u64 e = n;
      key_known = false;
      if (searchable && L_ < n - k) {  // and so a min window at k + 1
        w.walk(n - L_ + 1, [&](u64 p, u64 min, u64) {
          if (p == k) return false;
          key = index.find_key(min);
          return key != nullptr;
        });
        if (key != nullptr) e = w.pos();
        key_known = key != nullptr;
      }
      add_literal(k, e - k);
      k = e;
    }
  }

  // Emits the reference at position k of message j to the candidate at
  // `place` and moves k past it, when its first L symbols really are equal:
  // the hashes only nominate the candidate, and the length is the true
  // common run.
  bool reference_at(u64 j, u64& k, u64 place) {
    const u64 c = places_of_.message_of(place);
    const u64 s = place - places_of_.first(c);
    const SymbolSpan& cur = msgs_[j];
    const SymbolSpan& src = msgs_[c];
    const u64 len = common_prefix(cur, k, src, s, std::min(cur.size - k, src.size - s));
    if (len < L_) return false;
    add_reference(c, s, len);
    k += len;
    return true;
  }

  // A reference measured by comparison ends where its source stops agreeing
  // or ends, so the next piece can never continue it in the same source:
  // the merging of contiguous references that the rule ends with has
  // nothing to merge, and references go out as they are found.
  void add_reference(u64 source, u64 start, u64 len) {
    assert(!(last_is_reference_ && last_source_ == source && last_end_ == start));
#ifndef NDEBUG
    last_is_reference_ = true;
    last_source_ = source;
    last_end_ = start + len;
#endif
    out_.add_reference(source, start, len);
  }
  void add_literal(u64 start, u64 len) {
#ifndef NDEBUG
    last_is_reference_ = false;
#endif
    out_.add_literal(start, len);
  }
#ifndef NDEBUG
  bool last_is_reference_ = false;  // the last piece of the open message
  u64 last_source_ = 0, last_end_ = 0;
#endif

  std::span<const SymbolSpan> msgs_;
  Shape shape_;
  u64 L_, C_;
  u64 total_windows_ = 0;            // positions that could ever be filed
  std::vector<u64> later_windows_;   // min windows of messages m, m + 1, ...
  PlaceNumbering places_of_;
  PairIndex<Place> index_;
  bool filtered_ = false;  // only min hashes in queries_ are filed
  QuerySet queries_;
  std::vector<Run> runs_;    // of the message being indexed
  SegmentTable out_;
};

}  // namespace

SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params, bool wide_places) {
  u64 total = 0;
  for (const SymbolSpan& m : messages) total = checked_add(total, m.size);
  if (!wide_places && total < std::numeric_limits<u32>::max()) return CappedEngine<u32>(messages, params).run();
  return CappedEngine<u64>(messages, params).run();
}

SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params) {
  return capped_segments(messages, params, false);
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
