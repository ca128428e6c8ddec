#include "engine/capped.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <chrono>
#include <cstring>
#include <limits>
#include <type_traits>

#include "engine/capped_index.h"
#include "common_prefix.h"
#include "engine/places.h"
#include "inline_array.h"
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
// most `limit`.  Requires limit <= ai and limit <= bi.  O(result); spans of
// one width compare eight bytes at a time.
u64 common_suffix(const SymbolSpan& a, u64 ai, const SymbolSpan& b, u64 bi, u64 limit) {
  assert(limit <= ai && limit <= bi);
  if (a.width == b.width) {
    const u64 w = a.width;
    const u8* pa = static_cast<const u8*>(a.data) + ai * w;
    const u8* pb = static_cast<const u8*>(b.data) + bi * w;
    u64 bytes = 0;
    const u64 n = limit * w;
    for (; n - bytes >= 8; bytes += 8) {
      u64 x, y;
      std::memcpy(&x, pa - bytes - 8, 8);
      std::memcpy(&y, pb - bytes - 8, 8);
      if (const u64 d = x ^ y) return (bytes + static_cast<u64>(std::countl_zero(d)) / 8) / w;
    }
    while (bytes < n && *(pa - bytes - 1) == *(pb - bytes - 1)) ++bytes;
    return bytes / w;
  }
  u64 l = 0;
  while (l < limit && a.at(ai - 1 - l) == b.at(bi - 1 - l)) ++l;
  return l;
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
    // Two loops, so that neither asks at every step which kind of capped
    // window it rolls: full ones (p < full_end), then the tail.
    bool done = false;
    while (p < full_end) {
      if (stop(p, min, capped) || p + 1 == to) {
        done = true;
        break;
      }
      if ((p & (work_units::kCountEvery - 1)) == 0) meter_.add(work_units::kCountEvery * work_units::kPosition);
      const u64 out = t[p];
      min = roll_step(min, out, t[p + k], top_k);
      capped = roll_step(capped, out, t[p + C], top_C);
      if (++p == full_end) tail_weight = s_.below_C;  // the window at full_end is the tail
    }
    while (!done) {
      if (stop(p, min, capped) || p + 1 == to) break;
      if ((p & (work_units::kCountEvery - 1)) == 0) meter_.add(work_units::kCountEvery * work_units::kPosition);
      const u64 out = t[p];
      min = roll_step(min, out, t[p + k], top_k);
      capped -= out * tail_weight;
      tail_weight *= s_.inv_base;
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

// Positions of a message that have been passed but not yet filed: those of
// the references just emitted, whose windows may still turn out to lie
// inside the next reference's left extension.  Empty when from >= end.
struct Pending {
  u64 from = 0, end = 0;
  bool empty() const { return from >= end; }
};

// What to do after a reference: file the pending positions below file_to,
// then wait with `next`.
struct ReferencePlan {
  u64 file_to;
  Pending next;
};

// The plan after the reference `ref` (copied from `src`) that occupies
// [start, start + ref.len) of `msg`, with `pending` waiting before it.
// Requires 1 <= k <= msg.size (the message has a min window) and pending
// positions below start.
//
// A span of msg that equals a span of an earlier message symbol for symbol
// gives each position inside it the pair of the matching position there, as
// long as both windows lie inside the span and the capped windows have the
// same length on both sides; that pair was filed (or skipped for the same
// reason) when the earlier message was.  A reference is such a span, and so
// is its extension to the left by the symbols that msg and the source also
// share right before it: a message often copies two adjacent stretches from
// different sources that stood side by side in the later one (each turn of a
// transcript from the message that added it), and the extension covers the
// windows straddling the seam, which the reference before left pending.
// Away from the message's end the windows of a span position p fit when
// p + reach, reach = max(k, C), does not pass the span's end (the capped
// window is then C long on both sides).  A reference that ends the message
// and copies the end of its source keeps equal lengths up to the end, so
// reach = k suffices there.  The reference's own last reach - 1 positions
// stay pending.
ReferencePlan plan_after_reference(const SymbolSpan& msg, const SymbolSpan& src, const Piece& ref, u64 start,
                                   Pending pending, u64 k, u64 C) {
  assert(k >= 1 && k <= msg.size);
  assert(pending.empty() || pending.end <= start);
  assert(ref.len <= msg.size - start && ref.len <= src.size - ref.start);
  const u64 end = start + ref.len;  // within msg
  const bool copies_tail = end == msg.size && ref.start + ref.len == src.size;
  const u64 reach = copies_tail ? k : std::max(k, C);  // >= k >= 1
  // With nothing pending, the positions before start are all filed.
  const u64 from = pending.empty() ? start : pending.from;  // <= start
  // The whole reference waits, unless the extension covers it.  A window
  // needs a min window: the last position with one is msg.size - k.
  ReferencePlan plan{from, {from, std::min(end, msg.size - k + 1)}};
  // Only pending positions can gain from the extension, and only those
  // within reach - 1 of start (reach >= 1): this bounds the comparison by
  // the work it saves; the source has ref.start symbols before the copy.
  const u64 limit = std::min({reach - 1, start - from, ref.start});
  // When even the longest extension leaves the span too short, nothing is
  // compared (limit < reach).
  if (reach - limit > ref.len) return plan;
  const u64 back = common_suffix(msg, start, src, ref.start, limit);  // <= limit <= start
  if (reach - back > ref.len) return plan;
  // The positions [start - back, end - reach + 1) have both windows inside
  // the extended span; end - reach + 1 > start - back, as ref.len >=
  // reach - back.
  plan.file_to = start - back;
  plan.next.from = end - reach + 1;
  return plan;
}

template <class Place>
class CappedEngine {
  using Index = PairIndex<Place>;
  using Lookup = typename Index::Lookup;
  template <class T>
  class MessageScan;

 public:
  CappedEngine(std::span<const SymbolSpan> messages, const EngineParams& params, const Interrupt& interrupt)
      : meter_(interrupt),
        msgs_(messages),
        shape_(params),
        k_(params.min_match_len),
        C_(params.cap_len),
        places_of_(messages),
        later_windows_(messages.size() + 1),
        index_(params.ncap) {
    PALIMP_CHECK(places_of_.total() < std::numeric_limits<Place>::max());
    index_.count_growth_on(meter_);
    queries_.count_growth_on(meter_);
    // Min windows of the messages from each one on, for the choice of
    // filing only what later messages can ask for (see prepare_filing).
    later_windows_[msgs_.size()] = 0;
    for (u64 m = msgs_.size(); m-- > 0;) later_windows_[m] = later_windows_[m + 1] + windows(m);
    // The last message is never filed.
    total_windows_ = msgs_.empty() ? 0 : later_windows_[0] - windows(msgs_.size() - 1);
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
  // Segments message j and files its pairs, in one pass (see MessageScan).
  template <class T>
  [[gnu::noinline]] void process(u64 j, const T* t);

  // Files every pair of message j, which no earlier key can match.
  template <class T>
  void file_message(u64 j, const T* t) {
    const u64 n = msgs_[j].size, visible = places_of_.first(j);
    typename Index::Cursor ix(index_);
    Windows<T> w(t, n, shape_, meter_);
    w.seek(0);
    if (filtered_) {
      const auto queries = queries_.view();
      w.walk(n - k_ + 1, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
        if (queries.contains(min)) ix.file(min, capped, visible + q);
        return false;
      });
    } else if (total_windows_ > kCachedWindows) {
      file_prefetched(w, ix, n - k_ + 1, visible);
    } else {
      w.walk(n - k_ + 1, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
        ix.file(min, capped, visible + q);
        return false;
      });
    }
  }

  // Files the positions from w's up to `to`, hashing a batch first and
  // prefetching its key slots, so that the probes of a table too large for the
  // caches overlap instead of waiting for memory one by one.
  template <class T>
  static void file_prefetched(Windows<T>& w, typename Index::Cursor& ix, u64 to, u64 base) {
    u64 mins[kBatch], cappeds[kBatch];
    u64 count = 0, first = w.pos();
    auto flush = [&] {
      for (u64 i = 0; i < count; ++i) ix.file(mins[i], cappeds[i], base + first + i);
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

  // Before message j is filed: from here on only what later messages can
  // ask for is filed, when that is little next to j; and the first message
  // filed sizes the table.
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
    if (filtered_) {
      index_.grow_to(0, 0);  // what follows files far less than the bound says
    } else if (index_.empty()) {
      presize(j);
    } else if (total_windows_ > kCachedWindows) {
      estimate_growth(j);
    }
  }

  // Room for what the whole input will most likely hold, so that the tables
  // rarely grow: a small input is sized from the pairs it can file at all
  // (pair_bound, on transcripts the pairs it files), of which in text about
  // half are keys and half later pairs (a little more room for each, so
  // that few conversations grow a table).  A large one is sized for its
  // first message, which is new material throughout, and grows from there
  // by estimate_growth: there the bound costs a comparison of every message
  // with the one before (a tenth of the time on document versions), and it
  // can be far above what is filed.
  void presize(u64 j) {
    if (total_windows_ > kCachedWindows) {
      // Room for a key at every position, as in text that never repeats,
      // and for later pairs at a sixteenth of them: a message repeats few
      // of its own windows (a document whose first version holds a quarter
      // of them is rare, and random text repeats under a thirtieth), and
      // room for a quarter cost text that never repeats 2.4 bytes a
      // symbol.  The first message files at most a pair a position, so
      // either table that fills grows to room for that at once.
      index_.reserve(windows(j), windows(j) / 16);
      index_.grow_to(0, windows(j));
      first_filed_ = j;
      return;
    }
    const u64 bound = pair_bound(j);
    index_.reserve(bound * 5 / 8, bound * 9 / 16);
    // A literal run ends at each key position, so the pieces grow with the
    // new material too: on transcripts about one for every four pairs, at
    // most one for every three, and with a piece more per message, never
    // more than 5/16 of a pair each.  (A first chunk too small stays, next
    // to one twice its size.)
    out_.expect(bound * 5 / 16 + msgs_.size());
  }

  // At most the number of pairs that messages j, j + 1, ... (but the last)
  // can file.  A position of message m whose windows lie, both of them, in
  // the common prefix of m and m - 1 has the pair of the same position of
  // m - 1, and one whose windows lie in their common suffix has the pair of
  // the position as far from the end of m - 1 (its capped window has the
  // same length there).  Message m - 1 has filed every pair it has, or its
  // key was full, or its min hash was not to be filed: such a position
  // files nothing.  On transcripts, where each message repeats the one
  // before and adds a turn, this is the number of pairs filed.  O(symbols
  // compared).
  u64 pair_bound(u64 j) const {
    u64 bound = windows(j);
    const u64 reach = std::max(k_, C_);
    for (u64 m = j + 1; m + 1 < msgs_.size(); ++m) {
      const SymbolSpan& a = msgs_[m - 1];
      const SymbolSpan& b = msgs_[m];
      const u64 w = windows(m);
      const u64 both = std::min(a.size, b.size);
      const u64 prefix = common_prefix(a, 0, b, 0, both);
      const u64 suffix = common_suffix(a, a.size, b, b.size, both - prefix);
      // Positions p <= prefix - reach, and p >= b.size - suffix with p <=
      // b.size - k: disjoint, as b.size - suffix >= prefix.
      const u64 covered = (prefix >= reach ? prefix - reach + 1 : 0) + (suffix >= k_ ? suffix - k_ + 1 : 0);
      bound += w - std::min(w, covered);
    }
    return bound;
  }

  // Before message j > first_filed_ of a large input is filed: how far the
  // tables grow when they must.  What each table took from the messages
  // filed since the first (which files a pair per position and tells
  // nothing) is taken to go on, with a quarter more: per message, as in
  // transcripts, where each message adds a turn however much it repeats, or
  // per window, as in text that never repeats, whichever predicts less.  A
  // few messages tell too little (on the synthetic transcripts the first
  // two after the first file a fifth less than the rest): until an eighth of
  // the messages to come lie behind, and at least two, the tables double.
  void estimate_growth(u64 j) {
    const u64 keys = index_.keys(), later = index_.pairs() - keys;
    if (j == first_filed_ + 1) {
      keys_by_first_ = keys;
      later_by_first_ = later;
    }
    // Messages j .. size - 2 are still to be filed (the last never is).
    const u64 msgs_since = j - first_filed_ - 1, msgs_ahead = msgs_.size() - 1 - j;
    const u64 last = windows(msgs_.size() - 1);
    const u64 windows_since = later_windows_[first_filed_ + 1] - later_windows_[j];
    const u64 windows_ahead = later_windows_[j] - last;
    if (msgs_since < 2 || msgs_since < msgs_ahead / 8 || windows_since == 0) {
      index_.grow_to(0, 0);
      return;
    }
    const auto estimate = [&](u64 now, u64 since) {
      using wide = unsigned __int128;
      const wide by_messages = static_cast<wide>(msgs_ahead) * since / msgs_since;
      const wide by_windows = static_cast<wide>(windows_ahead) * since / windows_since;
      const wide more = std::min(by_messages, by_windows) * 5 / 4;
      // now <= total_windows_: the cut keeps the sum from wrapping.
      return more >= total_windows_ - now ? total_windows_ : now + static_cast<u64>(more);
    };
    index_.grow_to(estimate(keys, keys - keys_by_first_), estimate(later, later - later_by_first_));
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

  WorkMeter meter_;  // first: the constructor's other members may use it
  std::span<const SymbolSpan> msgs_;
  Shape shape_;
  u64 k_, C_;
  PlaceNumbering places_of_;
  InlineArray<u64, 17> later_windows_;  // min windows of messages m, m + 1, ...
  u64 total_windows_ = 0;               // positions that could ever be filed
  u64 first_filed_ = 0;     // the first message filed, of a large input
  u64 keys_by_first_ = 0, later_by_first_ = 0;  // keys and later pairs filed up to it
  Index index_;
  bool filtered_ = false;  // only min hashes in queries_ are filed
  QuerySet queries_;
  SegmentTable out_;
};

// The scan of one message j against the pairs of messages 0..j-1, filing
// j's own pairs as it passes them.
//
// The rule files message j only after j is segmented, so that j never finds
// its own material.  Here each position is filed as the scan passes it, and
// lookups for j ignore what j filed: a pair counts only when its place lies
// before j's first place, and a key only when its first pair does.  Pairs
// are still filed in (message, position) order, so every key's ordinals and
// first pairs are what the rule makes them.  What this buys: the scan has
// hashed and probed each position already, and a failing lookup files the
// pair it did not find with the same walk.
//
// Positions inside a reference are skipped when both their windows lie
// inside it, or inside its extension to the left (plan_after_reference):
// such a position has the pair of the source position it copies, which was
// filed when the source was.  Filing it anyway would change nothing but the
// time spent.  While it is not yet known whether the next piece extends to
// the left over them, the last positions of a reference wait (`pending_`);
// everything before pending_.from is filed or skipped, and the scan stands
// at p_ >= pending_.end.
template <class Place>
template <class T>
class CappedEngine<Place>::MessageScan {
 public:
  MessageScan(CappedEngine& e, typename Index::Cursor& ix, u64 j, const T* t, bool file)
      : e_(e),
        ix_(ix),
        msg_(e.msgs_[j]),
        n_(msg_.size),
        last_(n_ - e.k_),
        visible_(e.places_of_.first(j)),
        file_(file),
        filtered_(e.filtered_),
        queries_(e.queries_.view()),
        // Tables larger than the caches: the literal runs prefetch the key slot
        // of the position kPrefetchDistance further on.
        prefetch_(e.index_.bytes() > kCachedBytes),
        w_(t, n_, e.shape_, e.meter_),
        ahead_(t, e.shape_) {}

  // Seek, look up, then a reference or a literal, until the message ends.
  void run() {
    while (p_ <= last_) {
      w_.seek(p_);
      const u64 min = w_.min(), capped = w_.capped();
      const bool pending = !pending_.empty();
      const Lookup found = look_up(min, capped, pending);
      if (found.place != Index::kNone && reference(found.place)) continue;
      if (pending) {
        if (literal_joins_pending()) continue;
        // p itself waited behind the pending positions, which come first
        // in place order.
        file_pending(pending_.end);
        w_.seek(p_);
        if (filed(min)) ix_.file(min, capped, visible_ + p_);
      }
      literal_run();
    }
    file_pending(pending_.end);
    if (p_ < n_) add_literal(p_, n_ - p_);  // after a reference, the last symbols, too few for a window
  }

 private:
  bool filed(u64 min) const { return file_ && (!filtered_ || queries_.contains(min)); }

  // The lookup at p, which also files p's pair unless positions before p
  // still wait.  A literal run that ended at p has made it already.
  Lookup look_up(u64 min, u64 capped, bool pending) {
    if (ended_at_key_) {
      ended_at_key_ = false;
      return ended_lookup_;
    }
    if (pending || !filed(min)) return ix_.template look_up<false>(min, capped, visible_, 0);
    return ix_.template look_up<true>(min, capped, visible_, visible_ + p_);
  }

  // Emits the reference at p to the candidate at `place` and moves p past
  // it, when its first k symbols really are equal: the hashes only nominate
  // the candidate, and the length is the true common run.  Then applies the
  // plan for the positions it leaves waiting.
  bool reference(u64 place) {
    const u64 c = e_.places_of_.message_of(place);
    const u64 s = place - e_.places_of_.first(c);
    const SymbolSpan& src = e_.msgs_[c];
    const u64 len = common_prefix(msg_, p_, src, s, std::min(n_ - p_, src.size - s));
    e_.meter_.add(len / work_units::kSymbolsPerUnit);  // the symbols compared
    if (len < e_.k_) return false;
    // A reference measured by comparison ends where its source stops
    // agreeing or ends, so the next piece can never continue it in the same
    // source: the merging of contiguous references that the rule ends with
    // has nothing to merge, and references go out as they are found.
    assert(!(last_is_reference_ && last_reference_.source == c && last_reference_.start + last_reference_.len == s));
    last_is_reference_ = true;
    last_reference_ = {c, s, len};
    e_.out_.add_reference(c, s, len);
    const u64 start = p_;
    p_ += len;
    seam_ = p_;
    if (file_) {
      const ReferencePlan plan = plan_after_reference(msg_, src, last_reference_, start, pending_, e_.k_, e_.C_);
      file_pending(plan.file_to);
      pending_ = plan.next;
    }
    return true;
  }

  // A short literal right after a reference, such as the marker that opens
  // each turn of a transcript, may lie inside the left extension of the next
  // reference too: the next key a little further on, found without filing
  // anything, ends the literal there, and its positions join the pending
  // ones.  Returns whether it did.
  bool literal_joins_pending() {
    u64 stop = p_;
    const u64 reach_to = std::min(last_, seam_ + kSeam);
    if (p_ < reach_to) {
      w_.walk(reach_to + 1, [&](u64 q, u64 min, u64) PALIMP_INLINE {
        if (q == p_ || !ix_.is_key(min, visible_)) return false;
        stop = q;
        return true;
      });
    }
    if (stop == p_) return false;
    add_literal(p_, stop - p_);
    pending_.end = p_ = stop;
    return true;
  }

  // A literal run from p up to the next position whose min hash is a key of
  // an earlier message, whether or not a match follows there; the positions
  // on the way are filed, that one included, and its lookup is kept for the
  // next round.
  void literal_run() {
    u64 e = n_;
    if (p_ < last_) {
      w_.walk(last_ + 1, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
        if (q == p_) return false;
        if (prefetch_ && kPrefetchDistance <= last_ - q) ix_.prefetch_key(ahead_.at(q + kPrefetchDistance));
        const Lookup l = filed(min) ? ix_.template look_up<true>(min, capped, visible_, visible_ + q)
                                    : ix_.template look_up<false>(min, capped, visible_, 0);
        if (!l.key) return false;
        ended_at_key_ = true;
        ended_lookup_ = l;
        return true;
      });
      if (ended_at_key_) e = w_.pos();
    }
    add_literal(p_, e - p_);
    p_ = e;
  }

  // Files the pending positions below `to`.
  void file_pending(u64 to) {
    to = std::min(to, pending_.end);
    if (pending_.from >= to) return;
    w_.seek(pending_.from);
    w_.walk(to, [&](u64 q, u64 min, u64 capped) PALIMP_INLINE {
      if (filed(min)) ix_.file(min, capped, visible_ + q);
      return false;
    });
    pending_.from = to;
  }

  void add_literal(u64 start, u64 len) {
    last_is_reference_ = false;
    e_.out_.add_literal(start, len);
  }

  CappedEngine& e_;
  typename Index::Cursor& ix_;
  const SymbolSpan& msg_;
  const u64 n_;
  const u64 last_;     // last position with a min window
  const u64 visible_;  // the message's first place: lookups see places below it
  const bool file_;    // the message's pairs are filed
  const bool filtered_;
  const QuerySet::View queries_;
  const bool prefetch_;
  Windows<T> w_;
  MinWindow<T> ahead_;
  u64 p_ = 0;                    // the scan position
  Pending pending_;              // passed positions not yet filed
  u64 seam_ = 0;                 // end of the message's last reference
  bool ended_at_key_ = false;    // the last literal run ended at p_, whose lookup is ended_lookup_
  Lookup ended_lookup_{};
  bool last_is_reference_ = false;  // the last piece emitted is last_reference_
  Piece last_reference_{};
};

template <class Place>
template <class T>
void CappedEngine<Place>::process(u64 j, const T* t) {
  PALIMP_TIME_STAGE(0);
  const u64 n = msgs_[j].size;
  const bool file = j + 1 < msgs_.size() && windows(j) > 0;  // the last message is never filed
  if (windows(j) == 0 || (!file && index_.empty())) {
    if (n > 0) out_.add_literal(0, n);
    return;
  }
  const bool searchable = !index_.empty();  // else no key of an earlier message exists
  if (file) prepare_filing(j);
  if (!searchable) {
    out_.add_literal(0, n);
    file_message(j, t);
    return;
  }
  typename Index::Cursor ix(index_);
  MessageScan<T>(*this, ix, j, t, file).run();
}

}  // namespace

SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params, bool wide_places,
                             const Interrupt& interrupt) {
  u64 total = 0;
  for (const SymbolSpan& m : messages) total = checked_add(total, m.size);
  // Narrow places make small entries: a conversation of a few thousand
  // symbols keeps its table at 20 bytes a pair.
  if (!wide_places && total < std::numeric_limits<u16>::max()) {
    return CappedEngine<u16>(messages, params, interrupt).run();
  }
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
