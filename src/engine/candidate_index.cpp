#include "engine/candidate_index.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "engine/window_hashes.h"
#include "hashing.h"

namespace palimp {
namespace {

// Fresh windows filed per message from which the number of distinct keys is
// estimated before the table is sized; smaller messages reserve room for
// every window.
constexpr u64 kEstimateFrom = u64{1} << 20;
// Tables from this many slots on no longer fit the caches: their probes are
// issued a batch ahead.
constexpr u64 kPrefetchFrom = u64{1} << 17;
constexpr u64 kHashAhead = 32;  // windows hashed ahead of the one being filed
// Inputs of at most this many windows are sized at once.
constexpr u64 kPresizeWindows = u64{1} << 16;
// Indexing is restricted to the hashes of later windows for inputs of this
// many windows or more whose later windows number at most 1/16 of them and
// at most kFilterMax.
constexpr u64 kFilterFrom = u64{1} << 20;
constexpr u64 kFilterMax = u64{1} << 20;
// The merge of places() keys its heap by place << kRunBits | run, so places
// must stay below kPlaceLimit = 2^57 (checked when the index is made).
constexpr u64 kRunBits = 7;  // runs per enumeration: at most MAX_CANDIDATES + 1 <= 2^7
constexpr u64 kRunMask = (u64{1} << kRunBits) - 1;
constexpr u64 kPlaceLimit = u64{1} << (64 - kRunBits);
static_assert(MAX_CANDIDATES + 1 <= (u64{1} << kRunBits));

// Calls f(from, to) for each run [from, to) of fresh window starts of a
// message of n >= k symbols cut into `pieces`: the starts outside
// [at, at + len - k] of every reference at `at`.
template <class F>
void for_each_fresh_run(std::span<const Piece> pieces, u64 n, u64 k, F&& f) {
  u64 j = 0;   // first start not yet known to be a copy or handed out
  u64 at = 0;  // start of the current piece
  for (const Piece& p : pieces) {
    if (!p.is_literal()) {
      assert(p.len >= k);
      if (j < at) f(j, at);
      j = std::max(j, at + p.len - k + 1);
    }
    at += p.len;
  }
  assert(at == n);
  if (j < n - k + 1) f(j, n - k + 1);
}

}  // namespace

template <class V>
CandidateIndex<V>::CandidateIndex(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k,
                                  WorkMeter& meter, Filing filing)
    : msgs_(messages), places_(places), k_(k), roll_(k), copies_(messages, places, std::max<u64>(k, 1), meter) {
  for (ShortListMap<V>* map : {&fresh_, &kept_, &wanted_}) map->count_growth_on(meter);
  PALIMP_CHECK(messages.size() <= ShortList<V>::kMaxValue && places.total() <= ShortList<V>::kMaxValue);
  PALIMP_CHECK(places.total() <= kPlaceLimit);
  // Kept lists take about one byte per input symbol at most, so the index's
  // memory stays bounded by its input.
  keep_budget_ = std::max<u64>(kKeptPerChunk, places.total() / (MAX_CANDIDATES * sizeof(Candidate<V>)));
  // Small inputs are sized at once for half their windows, about what
  // successive messages add fresh; growing step by step from nothing would
  // cost more than the work itself.  (Nothing is allocated before a message
  // of k symbols or more is added.)
  const u64 windows = indexable_windows(messages, k);
  if (windows <= kPresizeWindows) small_reserve_ = windows / 2;
  while_scanning_ = filing == Filing::kWhileScanningWhenSmall && k > 0 && windows <= kPresizeWindows;
  windows_left_ = windows;
  // Only windows of messages 1.. are ever looked up.  When those are few
  // next to the windows to index (a long document, then a short question
  // about it), the index files only windows whose hash one of them has: no
  // other window can ever be asked for.
  u64 looked_up = 0;
  for (u64 m = 1; m < messages.size(); ++m) {
    if (k > 0 && messages[m].size >= k) looked_up += messages[m].size - k + 1;
  }
  if (windows >= kFilterFrom && looked_up <= std::min(windows / 16, kFilterMax)) {
    wanted_.reserve(looked_up);
    for (u64 m = 1; m < messages.size(); ++m) {
      const SymbolSpan& msg = messages[m];
      if (msg.size < k) continue;
      with_symbols(msg, [&](const auto* t) {
        for_each_window_hash(t, 0, msg.size - k + 1, roll_, meter, work_units::kProbe, [&](u64, u64 h) {
          ShortList<V>& mark = wanted_.find_or_insert(h);
          if (mark.empty()) mark.word = 1;
        });
      });
    }
    filtered_ = true;
  }
}

template <class V>
void CandidateIndex<V>::add_message(u64 m, std::span<const Piece> pieces, WorkMeter& meter) {
  assert(while_scanning_ == (visible_end_ == places_.first(m)));
  visible_end_ = kAllVisible;  // m's own places included
  if (k_ == 0 || msgs_[m].size < k_) return;
  if (!while_scanning_) add_fresh_runs(m, pieces, meter);
  u64 at = 0;
  for (const Piece& p : pieces) {
    if (!p.is_literal()) copies_.add(m, at, p, meter);
    at += p.len;
  }
}

template <class V>
void CandidateIndex<V>::add_fresh_runs(u64 m, std::span<const Piece> pieces, WorkMeter& meter) {
  const SymbolSpan& msg = msgs_[m];
  const u64 windows = msg.size - k_ + 1;
  windows_left_ -= std::min(windows, windows_left_);  // the last message (never added by the engine) has none left
  u64 fresh = 0;
  for_each_fresh_run(pieces, msg.size, k_, [&](u64 from, u64 to) { fresh += to - from; });
  if (fresh == 0) {
    if (m > 0) ++later_added_;  // it adds no keys
    return;
  }
  // Room for every new key, so the table does not grow while filing.  A big
  // message sizes it for an estimate of its distinct windows instead: text
  // repeats short windows often, and a table sized for every window would
  // stay half empty.
  u64 room = fresh;
  if (filtered_) {
    room = std::min(fresh, wanted_.size());  // every key filed is a wanted one
  } else if (fresh >= kEstimateFrom && fresh_.size() + fresh > fresh_.limit()) {
    room = estimate_keys(m, pieces, fresh, meter);
  }
  if (!filtered_ && later_added_ > 0 && fresh_.size() + room > fresh_.limit()) {
    // The table must grow: make it large enough for the messages still to
    // come as well, supposing each adds as many keys as messages 1.. did on
    // average.  Unrelated messages then size the table once for
    // good, instead of doubling it (and briefly holding both copies) again
    // and again; a transcript that grows by a turn a message, or versions
    // that differ by a few edits, predict about what they will add.  Never
    // more than one key per window still to come: when the prediction is
    // wrong (a long first turn, then short ones), the room left unused is at
    // most what input of that size that never repeats would fill.
    const u64 messages_left = msgs_.size() - 1 - std::min<u64>(m + 1, msgs_.size() - 1);  // the last is never indexed
    const u64 predicted = static_cast<u64>(std::min<unsigned __int128>(
        windows_left_, static_cast<unsigned __int128>(later_keys_) * messages_left / later_added_));
    room += predicted;
  }
  fresh_.reserve(std::max(fresh_.size() + room, small_reserve_));
  const u64 keys_before = fresh_.size();

  const u64 base = places_.first(m);
  const bool prefetch = fresh_.capacity() >= kPrefetchFrom;
  with_symbols(msg, [&](const auto* t) {
    for_each_fresh_run(pieces, msg.size, k_, [&](u64 from, u64 to) {
      auto file = [&](u64 j, u64 hash) {
        fresh_.append(hash, static_cast<V>(base + j), pool_);
      };
      if (filtered_) {
        for_each_window_hash(t, from, to, roll_, meter, work_units::kProbe, [&](u64 j, u64 h) {
          if (wanted_.find(h) != nullptr) file(j, h);
        });
      } else if (!prefetch) {
        for_each_window_hash(t, from, to, roll_, meter, work_units::kWindowFiled, file);
      } else {
        // Hash kHashAhead windows ahead of the one being filed and ask for
        // their slots, so that the probes of a big table overlap instead of
        // waiting for memory one by one.
        u64 ring[kHashAhead];
        for_each_window_hash(t, from, to, roll_, meter, work_units::kWindowFiled, [&](u64 j, u64 h) {
          if (j >= from + kHashAhead) file(j - kHashAhead, ring[j % kHashAhead]);  // before its slot is reused
          ring[j % kHashAhead] = h;
          fresh_.prefetch(h);
        });
        for (u64 j = to > from + kHashAhead ? to - kHashAhead : from; j < to; ++j) file(j, ring[j % kHashAhead]);
      }
    });
  });
  // Messages 1.. count towards the prediction above once filed.
  if (m > 0) {
    ++later_added_;
    later_keys_ += fresh_.size() - keys_before;
  }
}

template <class V>
void CandidateIndex<V>::file_windows(u64 from, u64 to, WorkMeter& meter) {
  assert(visible_end_ != kAllVisible);
  const SymbolSpan& msg = msgs_[begun_];
  assert(from < to && to - 1 + k_ <= msg.size);
  with_symbols(msg, [&](const auto* t) {
    for_each_window_hash(t, from, to, roll_, meter, work_units::kWindowFiled, [&](u64 j, u64 h) { file(h, j); });
  });
}

// An estimate, a little high, of the distinct hashes among the fresh windows
// of message m (`fresh` of them): 64 times the distinct hashes in the 1/64 of
// hash space that a fixed mix selects, which is exact in expectation and off
// by about 8 / sqrt(distinct) relatively.
template <class V>
u64 CandidateIndex<V>::estimate_keys(u64 m, std::span<const Piece> pieces, u64 fresh, WorkMeter& meter) const {
  const SymbolSpan& msg = msgs_[m];
  std::vector<u64> sample;
  sample.reserve(fresh / 48 + 64);
  with_symbols(msg, [&](const auto* t) {
    for_each_fresh_run(pieces, msg.size, k_, [&](u64 from, u64 to) {
      for_each_window_hash(t, from, to, roll_, meter, work_units::kProbe, [&](u64, u64 h) {
        if ((h * 0xD6E8FEB86659FD93ull) >> 58 == 0) sample.push_back(h);
      });
    });
  });
  std::sort(sample.begin(), sample.end());
  const u64 distinct = static_cast<u64>(std::unique(sample.begin(), sample.end()) - sample.begin());
  const u64 margin = 4 * static_cast<u64>(std::sqrt(static_cast<double>(distinct))) + 16;
  return std::min(fresh, 64 * (distinct + margin));
}

template <class V>
Candidate<V> CandidateIndex<V>::first_place(const ShortList<V>& fresh) const {
  const u64 place = pool_.view(fresh)[0];
  const u64 m = places_.message_of(place);
  return Candidate<V>::fresh(m, place - places_.first(m));
}

template <class V>
[[gnu::always_inline]] inline bool CandidateIndex<V>::advance(Run& run, u32 owner, u64& place) const {
  const u64 s = run.pos();
  const typename CopyIndex<V>::Copy* copy = copies_.next(run);
  if (copy == nullptr) return false;
  run.head = Candidate<V>::copy(copy->message, copy->pos_of(s), copy->equal_from(s), owner);
  place = copy->place_of(s);
  return true;
}

namespace {

// The heap key of a run's head: its place, then the run.  Places are below
// kPlaceLimit (checked when the index is made), so the key does not wrap.
u64 heap_key(u64 place, u64 run) {
  assert(place < kPlaceLimit && run <= kRunMask);
  return place << kRunBits | run;
}

// A binary min-heap of distinct u64 in h[0, n).
void heap_push(u64* h, u32& n, u64 v) {
  u32 i = n++;
  while (i > 0 && h[(i - 1) / 2] > v) {
    h[i] = h[(i - 1) / 2];
    i = (i - 1) / 2;
  }
  h[i] = v;
}

// Replaces the minimum by v and restores the heap.
void heap_replace_top(u64* h, u32 n, u64 v) {
  u32 i = 0;
  for (;;) {
    u32 child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && h[child + 1] < h[child]) ++child;
    if (v < h[child]) break;
    h[i] = h[child];
    i = child;
  }
  h[i] = v;
}

}  // namespace

// Merges the fresh places of the hash and the copies of every place handed
// out, in place order, until MAX_CANDIDATES are out.  Each place handed out
// opens one run (its copies), so there are at most MAX_CANDIDATES + 1 runs;
// run 0 is the fresh places.
template <class V>
u64 CandidateIndex<V>::enumerate(const ShortList<V>& fresh) {
  Candidate<V>* out = out_;
  Run* runs = runs_;
  u64* heap = heap_;
  ShortListView<V> roots = pool_.view(fresh);
  // Places of the message being scanned, filed as it is, end the list and
  // are not visible yet.
  assert(roots[0] < visible_end_);
  if (visible_end_ != kAllVisible) {
    while (roots[roots.size - 1] >= visible_end_) --roots.size;
  }
  u32 next_root = 1;
  u32 heap_size = 0;
  u32 open = 1;
  heap_push(heap, heap_size, heap_key(roots[0], 0));
  u64 count = 0;
  [[maybe_unused]] u64 previous = 0;
  // Room for one more place (used = count) or run (used = open).
  auto room_for = [&](u64 used) {
    if (used < scratch_) return;
    grow_scratch(count, open, heap_size);
    out = out_;
    runs = runs_;
    heap = heap_;
  };
  while (heap_size > 0 && count < MAX_CANDIDATES) {
    // Every run open, run 0 among them, has at most one head in the heap;
    // runs opened are at most the places handed out plus run 0.
    assert(open <= count + 1 && heap_size <= open);
    room_for(count);
    const u64 top = heap[0];
    const u64 r = top & kRunMask;
    assert(count == 0 || (top >> kRunBits) > previous);  // strictly increasing places
    previous = top >> kRunBits;
    const V self = static_cast<V>(count);
    u64 next_key = UINT64_MAX;
    if (r == 0) {
      const u64 place = top >> kRunBits;
      const u64 m = places_.message_of(place);
      out[count++] = Candidate<V>::fresh(m, place - places_.first(m));
      if (next_root < roots.size) next_key = heap_key(roots[next_root++], 0);
    } else {
      out[count++] = runs[r].head;
      if (u64 place; advance(runs[r], runs[r].head.parent(), place)) next_key = heap_key(place, r);
    }
    if (next_key != UINT64_MAX) {
      heap_replace_top(heap, heap_size, next_key);
    } else {
      --heap_size;
      heap_replace_top(heap, heap_size, heap[heap_size]);  // the last one takes the top's place
    }
    if (count == MAX_CANDIDATES) break;  // its copies come too late
    room_for(open);  // open <= count < MAX_CANDIDATES
    Run& run = runs[open];
    if (copies_.open(out[self].message, out[self].pos, run)) {
      if (u64 place; advance(run, self, place)) {
        heap_push(heap, heap_size, heap_key(place, open));
        ++open;
      }
    }
  }
  return count;
}

template <class V>
void CandidateIndex<V>::grow_scratch(u64 places, u64 runs, u64 heap) {
  const u64 room = std::min<u64>(2 * scratch_, MAX_CANDIDATES);
  auto out = std::make_unique_for_overwrite<Candidate<V>[]>(room);
  auto more_runs = std::make_unique_for_overwrite<Run[]>(room);
  auto more_heap = std::make_unique_for_overwrite<u64[]>(room);
  std::copy(out_, out_ + places, out.get());
  std::copy(runs_, runs_ + runs, more_runs.get());
  std::copy(heap_, heap_ + heap, more_heap.get());
  out_ = out.get();
  runs_ = more_runs.get();
  heap_ = more_heap.get();
  grown_out_ = std::move(out);
  grown_runs_ = std::move(more_runs);
  grown_heap_ = std::move(more_heap);
  scratch_ = room;
}

template <class V>
void CandidateIndex<V>::keep(u64 hash) {
  if (kept_count_ >= keep_budget_) return;
  if (kept_count_ % kKeptPerChunk == 0) {
    kept_places_.push_back(std::make_unique_for_overwrite<Candidate<V>[]>(kKeptPerChunk * MAX_CANDIDATES));
  }
  std::copy(out_, out_ + MAX_CANDIDATES, kept_places_.back().get() + (kept_count_ % kKeptPerChunk) * MAX_CANDIDATES);
  kept_.append(hash, static_cast<V>(kept_count_), pool_);
  ++kept_count_;
}

template <class V>
std::span<const Candidate<V>> CandidateIndex<V>::places(u64 hash, const ShortList<V>& fresh) {
  if (const ShortList<V>* kept = kept_.find(hash)) {
    const u64 at = pool_.view(*kept)[0];
    return {kept_places_[at / kKeptPerChunk].get() + (at % kKeptPerChunk) * MAX_CANDIDATES, MAX_CANDIDATES};
  }
  const u64 count = enumerate(fresh);
  // A hash with MAX_CANDIDATES places never gains an earlier one.
  if (count == MAX_CANDIDATES) keep(hash);
  return {out_, count};
}

template class CandidateIndex<u32>;
template class CandidateIndex<u64>;

}  // namespace palimp
