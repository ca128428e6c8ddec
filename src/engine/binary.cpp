#include "engine/binary.h"

#include <algorithm>
#include <optional>

#include "common_prefix.h"
#include "engine/places.h"
#include "engine/window_hashes.h"
#include "hashing.h"

namespace palimp {
namespace {

template <class V>
class ExactEngine {
 public:
  ExactEngine(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k, const Interrupt& interrupt,
              Filing filing = Filing::kWhileScanningWhenSmall)
      : msgs_(messages), k_(k), roll_(k), meter_(interrupt), index_(messages, places, k, meter_, filing) {}

  SegmentTable run() {
    for (u64 i = 0; i < msgs_.size(); ++i) {
      if (i > 0) index_.add_message(i - 1, out_.message(i - 1), meter_);
      // The last message is never filed.
      const bool file = index_.files_while_scanning() && i + 1 < msgs_.size();
      if (file) index_.begin_message(i);
      scan_message(i, file);
      out_.end_message();
    }
    return std::move(out_);
  }

 private:
  struct Match {
    u64 message, start, len;
  };

  bool fits(u64 n, u64 p) const { return k_ > 0 && k_ <= n - p; }  // with p < n

  // The best of `places` for position p of message i: the longest common run
  // of at least k symbols, the earliest place on ties.
  // Out of line: called once per hit, and profiles show it apart from the scan.
  [[gnu::noinline]] std::optional<Match> best_of(u64 i, u64 p, std::span<const Candidate<V>> places) const {
    const SymbolSpan& cur = msgs_[i];
    const u64 rest = cur.size - p;
    // Fresh places are compared from their first symbol; ask for all of them
    // at once so that their cache misses overlap.
    for (const Candidate<V>& e : places) {
      if (e.parent() == Candidate<V>::kRoot) {
        const SymbolSpan& src = msgs_[e.message];
        __builtin_prefetch(static_cast<const u8*>(src.data) + u64{e.pos} * src.width);
      }
    }
    u64 lcps[MAX_CANDIDATES];
    u64 best_len = k_ - 1;  // a match needs k symbols (k >= 1 here)
    size_t best = places.size();
    for (size_t t = 0; t < places.size(); ++t) {
      const Candidate<V>& e = places[t];
      u64 lcp;
      const u32 parent = e.parent();
      if (parent != Candidate<V>::kRoot && lcps[parent] < e.copied()) {
        // The first `copied` symbols equal the parent's, and the parent's
        // run stops within them: so does this one, at the same length.
        lcp = lcps[parent];
      } else {
        const SymbolSpan& src = msgs_[e.message];
        const u64 limit = std::min(rest, src.size - e.pos);
        if (parent == Candidate<V>::kRoot) {
          lcp = common_prefix(cur, p, src, e.pos, limit);
        } else {
          // The run reaches past the copied symbols (or the count of them
          // was cut, and it is measured from the cut on); most stop at once.
          const u64 copied = std::min<u64>(e.copied(), limit);
          if (copied == limit || cur.at(p + copied) != src.at(e.pos + copied)) {
            lcp = copied;
          } else {
            lcp = copied + 1 + common_prefix(cur, p + copied + 1, src, e.pos + copied + 1, limit - copied - 1);
          }
        }
      }
      lcps[t] = lcp;
      if (lcp > best_len) {  // strictly longer: ties keep the earliest
        best_len = lcp;
        best = t;
      }
    }
    if (best == places.size()) return std::nullopt;
    return Match{places[best].message, places[best].pos, best_len};
  }

  // The match at position p of message i, whose window hashes to h (with
  // fresh places `fresh`): the best of the first MAX_CANDIDATES places with
  // hash h, or nullopt when none of them holds the window's symbols.
  std::optional<Match> choose(u64 i, u64 p, u64 h, const ShortList<V>& fresh) {
    const auto places = index_.places(h, fresh);
    const auto best = best_of(i, p, places);
    // About 16 ns a place, and the symbols compared, which are about the
    // match length.
    meter_.add(work_units::kCandidate * places.size() + (best ? best->len / work_units::kSymbolsPerUnit : 0));
    return best;
  }

  // Whether the window at p (hash h, a key of the index with fresh places
  // `fresh`) is a hit: some examined place holds its symbols.  Usually
  // settled by the first place.
  bool is_hit(u64 i, u64 p, u64 h, const ShortList<V>& fresh) {
    const Candidate<V> first = index_.first_place(fresh);
    if (common_prefix(msgs_[i], p, msgs_[first.message], first.pos, k_) == k_) return true;
    return choose(i, p, h, fresh).has_value();
  }

  // Segments message i; with `file`, files its fresh windows as well (the
  // index files while scanning): each window of a literal run as it is
  // looked up, and those that straddle the end of a reference as it is
  // emitted, so in position order.
  void scan_message(u64 i, bool file) {
    const SymbolSpan& cur = msgs_[i];
    const u64 n = cur.size;
    const bool searchable = k_ > 0 && !index_.empty();
    if (!searchable && file && fits(n, 0)) index_.file_windows(0, n - k_ + 1, meter_);  // all new
    u64 p = 0;
    while (p < n) {
      if (searchable && fits(n, p)) {
        const u64 h = hash_symbols(cur, p, k_);
        if (const ShortList<V>* fresh = file ? index_.find_or_file(h, p) : index_.find(h)) {
          if (auto m = choose(i, p, h, *fresh)) {
            out_.add_reference(m->message, m->start, m->len);
            // The windows starting in its last k - 1 symbols reach past it
            // (those that fit the message; len >= k, and n >= k here).
            const u64 from = p + m->len - k_ + 1, to = std::min(p + m->len, n - k_ + 1);
            if (file && from < to) index_.file_windows(from, to, meter_);
            p += m->len;
            continue;
          }
          if (file) index_.file(h, p);  // no place holds its symbols: a literal
        }
      }
      const u64 e = !searchable ? n : file ? next_hit<true>(i, p + 1) : next_hit<false>(i, p + 1);
      out_.add_literal(p, e - p);
      p = e;
    }
  }

  // The first position e >= from of message i whose window is a hit, or n;
  // with kFile, files the windows before e.  One loop for each, so that the
  // lookups of large inputs, which file after the scan, stay as lean.
  template <bool kFile>
  [[gnu::noinline]] u64 next_hit(u64 i, u64 from) {
    const SymbolSpan& cur = msgs_[i];
    const u64 n = cur.size;
    if (from >= n || !fits(n, from)) return n;
    return with_symbols(cur, [&](const auto* t) -> u64 {
      const u64 end = n - k_ + 1;  // past the last window start
      const u64 e = for_each_window_hash(t, from, end, roll_, meter_, work_units::kLookup, [&](u64 j, u64 h) {
        const ShortList<V>* fresh = kFile ? index_.find_or_file(h, j) : index_.find(h);
        if (fresh == nullptr) return true;
        if (is_hit(i, j, h, *fresh)) return false;
        if constexpr (kFile) index_.file(h, j);
        return true;
      });
      return e == end ? n : e;
    });
  }

  std::span<const SymbolSpan> msgs_;
  u64 k_;
  RollingWindow roll_;
  WorkMeter meter_;  // before index_, whose construction counts work on it
  CandidateIndex<V> index_;
  SegmentTable out_;
};

}  // namespace

SegmentTable exact_segments(std::span<const SymbolSpan> messages, u64 min_match_len, const Interrupt& interrupt) {
  const PlaceNumbering places(messages);
  if (CandidateIndex<u32>::fits_narrow(messages.size(), places)) {
    return ExactEngine<u32>(messages, places, min_match_len, interrupt).run();
  }
  return ExactEngine<u64>(messages, places, min_match_len, interrupt).run();
}

SegmentTable exact_segments_wide(std::span<const SymbolSpan> messages, u64 min_match_len) {
  const PlaceNumbering places(messages);
  return ExactEngine<u64>(messages, places, min_match_len, Interrupt{}, Filing::kAfterScan).run();
}

}  // namespace palimp
