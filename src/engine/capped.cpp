#include "engine/capped.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <limits>
#include <type_traits>

#include "engine/capped_index.h"
#include "common_prefix.h"
#include "engine/places.h"
#include "hashing.h"

namespace palimp {

// Profiling builds (bench/engine_profile.cpp) define PALIMP_STAGE_CLOCK to
// the name of a function that receives the nanoseconds of every pass over a
// message (stage 0); other builds compile nothing for it.
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

// The per-position lambdas of the scan's loops: left to itself the compiler
// calls some of them out of line, once per position.
#define PALIMP_INLINE __attribute__((always_inline))

constexpr u64 kBatch = 16;  // positions hashed ahead of their table probes
constexpr u64 kPrefetchDistance = 16;  // positions ahead that a literal run prefetches
constexpr u64 kSeam = 16;   // longest literal between references kept waiting
// Tables of more bytes than this outgrow the caches: only then does
// prefetching pay.
constexpr u64 kCachedBytes = u64{4} << 20;

// Inputs of at most this many windows are sized at once and their tables
// stay in the caches; larger ones prefetch.
constexpr u64 kCachedWindows = u64{1} << 16;

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

// The window lengths and the powers of the base that rolling them needs.
struct Shape {
  explicit Shape(const EngineParams& params)
      : k(params.min_match_len),
        C(params.cap_len),
        top_k(pow_u64(HASH_BASE, k)),
        top_C(pow_u64(HASH_BASE, C)),
        below_C(C > 0 ? pow_u64(HASH_BASE, C - 1) : 0),
        inv_base(inverse_u64(HASH_BASE)) {}
  u64 k, C;
  u64 top_k, top_C;  // base^k, base^C
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
// A position p has a min window when k <= n - p, and its capped window holds
// min(C, n - p) symbols: C of them while C < n - p ("full"), the rest of the
// message from there on ("tail").  A tail window loses its first symbol at
// each step, whose weight is base^(n - p - 1).
template <class T>
class Windows {
 public:
  // Counts the positions walked on `meter`, whose interrupt may end the walk.
  Windows(const T* t, u64 n, const Shape& shape, WorkMeter& meter)
      : t_(t), n_(n), s_(shape), meter_(meter), full_end_(shape.C < n ? n - shape.C : 0) {}

  u64 pos() const { return pos_; }
  u64 min() const { return min_; }
  u64 capped() const { return capped_; }

  // Moves to p, which must have a min window.  Positions before the current
  // one are hashed afresh.  A step costs about as much as hashing eight
  // symbols afresh, so a jump of d rolls only when the windows at p hold at
  // least 8d symbols; either way the cost is O(d).
  void seek(u64 p) {
    if (valid_ && p >= pos_ && (p - pos_) * 8 <= s_.k + std::min(s_.C, n_ - p)) {
      if (p > pos_) walk(p + 1, [](u64, u64, u64) { return false; });
      return;
    }
    pos_ = p;
    valid_ = true;
    min_ = hash_direct(t_ + p, s_.k);
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
    const u64 k = s_.k, C = s_.C, top_k = s_.top_k, top_C = s_.top_C, full_end = full_end_;
    u64 p = pos_, min = min_, capped = capped_, tail_weight = tail_weight_;
    for (;;) {
      if (stop(p, min, capped) || p + 1 == to) break;
      if ((p & (work_units::kCountEvery - 1)) == 0) meter_.add(work_units::kCountEvery * work_units::kPosition);
      const u64 out = t[p];
      min = roll_step(min, out, t[p + k], top_k);
      if (p < full_end) {
        capped = roll_step(capped, out, t[p + C], top_C);
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
  WorkMeter& meter_;
  u64 full_end_;  // positions below this have full capped windows
  bool valid_ = false;
  u64 pos_ = 0;
  u64 min_ = 0, capped_ = 0;
  u64 tail_weight_ = 0;  // base^(n - pos - 1) while the capped window is the tail
};

// The min hash alone, for positions asked for in ascending order: rolled
// from the last one when that is near, hashed afresh otherwise.
template <class T>
class MinWindow {
 public:
  MinWindow(const T* t, const Shape& shape) : t_(t), s_(shape) {}
  // Requires a min window at p.
  u64 at(u64 p) {
    if (valid_ && p >= pos_ && p - pos_ <= s_.k) {
      for (; pos_ < p; ++pos_) min_ = roll_step(min_, t_[pos_], t_[pos_ + s_.k], s_.top_k);
    } else {
      min_ = hash_direct(t_ + p, s_.k);
      pos_ = p;
      valid_ = true;
    }
    return min_;
  }

 private:
  const T* t_;
  const Shape& s_;
  bool valid_ = false;
  u64 pos_ = 0, min_ = 0;
};

template <class Place>
class CappedEngine {
  using Index = PairIndex<Place>;
  using Key = typename Index::Key;

 public:
  CappedEngine(std::span<const SymbolSpan> messages, const EngineParams& params, const Interrupt& interrupt)
      : meter_(interrupt),
        msgs_(messages),
        shape_(params),
        k_(params.min_match_len),
        C_(params.cap_len),
        places_of_(messages),
        index_(params.ncap) {
    PALIMP_CHECK(places_of_.total() < std::numeric_limits<Place>::max());
    index_.count_growth_on(meter_);
    queries_.count_growth_on(meter_);
    // Min windows of the messages from each one on, for the choice of
    // filing only what later messages can ask for (see prepare_filing).
    later_windows_.assign(msgs_.size() + 1, 0);
    for (u64 m = msgs_.size(); m-- > 0;) later_windows_[m] = later_windows_[m + 1] + windows(m);
    total_windows_ = indexable_windows(msgs_, k_);
  }

  SegmentTable run() {
    for (u64 j = 0; j < msgs_.size(); ++j) {
      with_symbols(msgs_[j], [&](const auto* t) { process(j, t); });
      out_.end_message();
    }
    return std::move(out_);
  }

 private:
  u64 windows(u64 m) const {
    const u64 n = msgs_[m].size;
    return k_ > 0 && n >= k_ ? n - k_ + 1 : 0;
  }

  // Segments message j and files its pairs, in one pass.
  //
  // The rule files message j only after j is segmented, so that j never
  // finds its own material.  Here each position is filed as the scan
  // passes it, and lookups for j ignore what j filed: a pair counts only
  // when its place lies before j's first place, and a key only when its
  // first pair does.  Pairs are still filed in (message, position) order, so
  // every key's ordinals and first pairs are what the rule makes them.  What
  // this buys: the scan has hashed and probed each position already, and a
  // failing lookup files the pair it did not find with the same probe.
  //
  // Positions inside a reference are skipped when both their windows lie
  // inside it, or inside its extension to the left (see after_reference):
  // such a position has the pair of the source position it copies, which
  // was filed when the source was.  Filing it anyway would change nothing
  // but the time spent.
  template <class T>
  [[gnu::noinline]] void process(u64 j, const T* t) {
    PALIMP_TIME_STAGE(0);
    last_is_reference_ = false;
    const u64 n = msgs_[j].size;
    const bool file = j + 1 < msgs_.size() && windows(j) > 0;  // the last message is never filed
    if (windows(j) == 0 || (!file && index_.empty())) {
      if (n > 0) add_literal(0, n);
      return;
    }
    const bool searchable = !index_.empty();  // else no key of an earlier message exists
    if (file) prepare_filing(j);
    const u64 visible = places_of_.first(j);  // j's own places are from here on
    const u64 last = n - k_;                  // last position with a min window
    typename Index::Cursor ix(index_);
    const auto queries = queries_.view();
    const bool filtered = filtered_;
    auto filed = [&](u64 min) PALIMP_INLINE { return file && (!filtered || queries.contains(min)); };
    Windows<T> w(t, n, shape_, meter_);
    if (!searchable) {
      // No earlier message has a key: one literal, every position filed.
      add_literal(0, n);
      w.seek(0);
      if (filtered) {
        w.walk(last + 1, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
          if (queries.contains(min)) file_one(ix, min, capped, visible + q);
          return false;
        });
      } else if (total_windows_ > kCachedWindows) {
        file_prefetched(w, ix, last + 1, visible);
      } else {
        w.walk(last + 1, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
          file_one(ix, min, capped, visible + q);
          return false;
        });
      }
      return;
    }
    // Tables larger than the caches: the literal runs prefetch the key slot
    // of the position kPrefetchDistance further on.
    const bool prefetch = index_.bytes() > kCachedBytes;
    MinWindow<T> ahead(t, shape_);
    Key* key = nullptr;
    bool key_known = false;  // `key` is the visible key of position p
    u64 p = 0;
    // Positions [from, pend_end) of the references just emitted still wait
    // to be filed: whether the next piece lets them be skipped is not known
    // yet (see after_reference).
    u64 from = 0, pend_end = 0;
    seam_ = 0;
    auto file_pending = [&](u64 to) {
      to = std::min(to, pend_end);
      if (from >= to) return;
      w.seek(from);
      w.walk(to, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
        if (filed(min)) file_one(ix, min, capped, visible + q);
        return false;
      });
      from = to;
    };
    while (p <= last) {
      w.seek(p);
      {
        const u64 min = w.min(), capped = w.capped();
        const bool f = filed(min);
        const bool pending = from < pend_end;
        bool added = false;
        u64 place = Index::kNone;
        if (pending) {
          // Right after a reference: p's pair is not filed before the
          // pending positions, which come first, so the lookup files nothing.
          key = ix.find(min);
          if (key != nullptr) place = ix.find_pair(*key, capped, visible, false, 0);
        } else {
          if (!key_known) key = f ? ix.key(min, capped, visible + p, added) : ix.find(min);
          if (key != nullptr && !added) place = ix.find_pair(*key, capped, visible, f, visible + p);
        }
        if (place != Index::kNone) {
          const u64 start = p;
          if (reference_at(j, p, place)) {
            if (file) after_reference(j, start, p, from, pend_end, file_pending);
            seam_ = p;
            key_known = false;
            continue;
          }
        }
        if (pending) {
          // A short literal right after a reference, such as the marker
          // that opens each turn of a transcript, may lie inside the left
          // extension of the next reference too: look for the next key a
          // little further without filing anything, and if there is one,
          // the literal joins the pending positions.
          u64 stop = p;
          const u64 reach_to = std::min(last, seam_ + kSeam);
          if (p < reach_to) {
            w.walk(reach_to + 1, [&](u64 q, u64 min_q, u64) PALIMP_INLINE {
              if (q == p) return false;
              const Key* kp = ix.find(min_q);
              if (kp == nullptr || kp->place0 >= visible) return false;
              stop = q;
              return true;
            });
          }
          if (stop > p) {
            add_literal(p, stop - p);
            pend_end = p = stop;
            key_known = false;
            continue;
          }
          file_pending(pend_end);
          w.seek(p);
          if (f) file_one(ix, min, capped, visible + p);
        }
      }
      // A literal run up to the next position whose min hash is a key of an
      // earlier message, whether or not a match follows there; the
      // positions passed on the way are filed.
      u64 e = n;
      key_known = false;
      if (p < last) {
        w.walk(last + 1, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
          if (q == p) return false;
          if (prefetch && kPrefetchDistance <= last - q) ix.prefetch_key(ahead.at(q + kPrefetchDistance));
          const bool f = filed(min);
          bool added = false;
          Key* kp = f ? ix.key(min, capped, visible + q, added) : ix.find(min);
          if (kp == nullptr || added) return false;
          if (kp->place0 < visible) {
            key = kp;
            key_known = true;
            return true;
          }
          if (f) ix.file_later(*kp, capped, visible + q);
          return false;
        });
        if (key_known) e = w.pos();
      }
      add_literal(p, e - p);
      p = e;
    }
    file_pending(pend_end);
    if (p < n) add_literal(p, n - p);  // after a reference, the last symbols, too few for a window
  }

  [[gnu::always_inline]] static void file_one(typename Index::Cursor& ix, u64 min, u64 capped, u64 place) {
    bool added;
    Key* key = ix.key(min, capped, place, added);
    if (!added) ix.file_later(*key, capped, place);
  }

  // Files the positions from w's up to `to`, hashing a batch first and
  // prefetching its key slots, so that the probes of a table too large for
  // the caches overlap instead of waiting for memory one by one.
  template <class T>
  static void file_prefetched(Windows<T>& w, typename Index::Cursor& ix, u64 to, u64 base) {
    u64 mins[kBatch], cappeds[kBatch];
    u64 count = 0, first = w.pos();
    auto flush = [&] {
      for (u64 i = 0; i < count; ++i) file_one(ix, mins[i], cappeds[i], base + first + i);
      first += count;
      count = 0;
    };
    w.walk(to, [&](u64, u64 min, u64 capped) PALIMP_INLINE {
      mins[count] = min;
      cappeds[count] = capped;
      ix.prefetch_key(min);
      if (++count == kBatch) flush();
      return false;
    });
    flush();
  }

  // After the reference [start, end) of message j: files the pending
  // positions before it that it does not cover, and leaves its own last
  // positions pending.
  //
  // A span of j that equals a span of an earlier message symbol for symbol
  // gives each position inside it the pair of the matching position there,
  // as long as both windows lie inside the span and the capped windows have
  // the same length on both sides; that pair was filed (or skipped for the
  // same reason) when the earlier message was.  A reference is such a span,
  // and so is its extension to the left by the symbols that j and the
  // source also share right before it: a message often copies two adjacent
  // stretches from different sources that stood side by side in the later
  // one (each turn of a transcript from the message that added it), and the
  // extension covers the windows straddling the seam, which the reference
  // before left pending.  Away from the message's end the windows of a span
  // position p fit when p + max(k, C) does not pass the span's end (the
  // capped window is then C long on both sides).  A reference that ends the
  // message and copies the end of its source keeps equal lengths up to the
  // end, so p + k suffices there.
  template <class FilePending>
  void after_reference(u64 j, u64 start, u64 end, u64& from, u64& pend_end, FilePending& file_pending) {
    const SymbolSpan& msg = msgs_[j];
    const Piece& ref = last_reference_;
    const SymbolSpan& src = msgs_[ref.source];
    const u64 len = end - start;
    const bool copies_tail = end == msg.size && ref.start + ref.len == src.size;
    const u64 reach = copies_tail ? k_ : std::max(k_, C_);
    if (from >= pend_end) from = start;  // nothing pending: the positions before are filed
    // Only pending positions can gain from the extension, and only those
    // within reach - 1 of start: this bounds the comparison by the work it
    // saves.  When even the longest extension leaves the span too short,
    // nothing is compared, and the whole reference stays pending.
    const u64 limit = std::min({reach - 1, start - from, ref.start});
    if (reach - limit <= len) {
      const u64 back = common_suffix(msg, start, src, ref.start, limit);
      if (reach - back <= len) {
        file_pending(start - back);
        from = std::max(from, end - reach + 1);
      }
    }
    pend_end = std::min(end, msg.size - k_ + 1);
  }

  // Before message j is filed: from here on only what later messages can
  // ask for is filed, when that is little next to j; and the first message
  // filed sizes the tables.
  //
  // When the messages after j hold few min windows next to what j would file
  // (a long document followed by a short question), only min hashes that
  // occur in them are filed from j on.  Nothing else can ever be looked up:
  // a literal run ends at, and a lookup is made with, the min hash of a
  // position of the message being scanned.  And every pair of such a min
  // hash is filed, in the same order, so each key's ordinals, and which of
  // them are the first, do not change.
  void prepare_filing(u64 j) {
    if (!filtered_ && later_windows_[j + 1] <= windows(j) / 4) {
      filtered_ = true;
      build_query_set(j + 1);
    }
    if (!filtered_ && index_.empty()) presize(windows(j));
  }

  // Room for what the whole input will most likely hold, so that the tables
  // rarely grow: a small input is sized from all its windows (in text,
  // about a third of them become keys and a third later pairs), a large one
  // from its first message, which is new material throughout (a pair per
  // position, under about half as many keys, the rest later pairs), since
  // later messages mostly repeat earlier ones.
  void presize(u64 first_windows) {
    if (total_windows_ <= kCachedWindows) {
      index_.reserve(total_windows_ * 3 / 8, total_windows_ * 3 / 8);
    } else {
      index_.reserve(first_windows / 2, first_windows / 2);
    }
  }

  // The min hashes of every window of messages `first` and after.
  void build_query_set(u64 first) {
    queries_.reserve(later_windows_[first]);
    for (u64 j = first; j < msgs_.size(); ++j) {
      const u64 n = msgs_[j].size;
      if (windows(j) == 0) continue;
      with_symbols(msgs_[j], [&](const auto* t) {
        u64 h = hash_direct(t, k_);
        for (u64 p = 0;; ++p) {
          queries_.insert(h);
          if (p + k_ == n) break;
          h = roll_step(h, t[p], t[p + k_], shape_.top_k);
        }
      });
    }
  }

  // Emits the reference at position p of message j to the candidate at
  // `place` and moves p past it, when its first k symbols really are equal:
  // the hashes only nominate the candidate, and the length is the true
  // common run.
  bool reference_at(u64 j, u64& p, u64 place) {
    const u64 c = places_of_.message_of(place);
    const u64 s = place - places_of_.first(c);
    const SymbolSpan& cur = msgs_[j];
    const SymbolSpan& src = msgs_[c];
    const u64 len = common_prefix(cur, p, src, s, std::min(cur.size - p, src.size - s));
    meter_.add(len / work_units::kSymbolsPerUnit);  // the symbols compared
    if (len < k_) return false;
    add_reference(c, s, len);
    p += len;
    return true;
  }

  // A reference measured by comparison ends where its source stops agreeing
  // or ends, so the next piece can never continue it in the same source:
  // the merging of contiguous references that the rule ends with has
  // nothing to merge, and references go out as they are found.
  void add_reference(u64 source, u64 start, u64 len) {
    assert(!(last_is_reference_ && last_reference_.source == source &&
             last_reference_.start + last_reference_.len == start));
    last_is_reference_ = true;
    last_reference_ = {source, start, len};
    out_.add_reference(source, start, len);
  }
  void add_literal(u64 start, u64 len) {
    last_is_reference_ = false;
    out_.add_literal(start, len);
  }

  WorkMeter meter_;  // first: the constructor's other members may use it
  std::span<const SymbolSpan> msgs_;
  Shape shape_;
  u64 k_, C_;
  u64 total_windows_ = 0;           // positions that could ever be filed
  std::vector<u64> later_windows_;  // min windows of messages m, m + 1, ...
  PlaceNumbering places_of_;
  Index index_;
  bool filtered_ = false;  // only min hashes in queries_ are filed
  QuerySet queries_;
  u64 seam_ = 0;                    // end of the message's last reference
  bool last_is_reference_ = false;  // the last piece of the message is a reference
  Piece last_reference_{};          // the message's last reference
  SegmentTable out_;
};

}  // namespace

SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params, bool wide_places,
                             const Interrupt& interrupt) {
  u64 total = 0;
  for (const SymbolSpan& m : messages) total = checked_add(total, m.size);
  if (!wide_places && total < std::numeric_limits<u32>::max()) {
    return CappedEngine<u32>(messages, params, interrupt).run();
  }
  return CappedEngine<u64>(messages, params, interrupt).run();
}

SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params,
                             const Interrupt& interrupt) {
  return capped_segments(messages, params, false, interrupt);
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
