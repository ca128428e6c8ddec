#include "engine/candidate_index.h"

#include <algorithm>
#include <cassert>
#include <cmath>

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
// Work is counted once per kCountEvery windows (see work_units).
using work_units::kCountEvery;
constexpr u64 kCountMask = kCountEvery - 1;
// Inputs of at most this many windows are sized at once.
constexpr u64 kPresizeWindows = u64{1} << 16;
// Indexing is restricted to the hashes of later windows for inputs of this
// many windows or more whose later windows number at most 1/16 of them and
// at most kFilterMax.
constexpr u64 kFilterFrom = u64{1} << 20;
constexpr u64 kFilterMax = u64{1} << 20;
// The merge of places() keys its heap by (place + 1) << kRunBits | run, so
// places must stay below 2^(64 - kRunBits) (checked when the index is made).
constexpr u64 kRunBits = 7;  // runs per enumeration: at most MAX_CANDIDATES + 1 <= 2^7
constexpr u64 kRunMask = (u64{1} << kRunBits) - 1;
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

// Calls f(j, hash of window j) for every window of k = roll.len() symbols
// starting at j in [from, to) of the message whose symbols are t, rolling the
// hash along, and counts `units` of work per window on `meter`.  Requires
// from < to and to - 1 + k <= the message's size.
template <class T, class F>
void for_each_window_hash(const T* t, u64 from, u64 to, const RollingWindow& roll, WorkMeter& meter, u64 units,
                          F&& f) {
  const u64 k = roll.len();
  u64 h = hash_direct(t + from, k);
  for (u64 j = from;; ++j) {
    f(j, h);
    if (j + 1 == to) break;
    h = roll.roll(h, t[j], t[j + k]);
    if ((j & kCountMask) == 0) meter.add(kCountEvery * units);
  }
}

}  // namespace

template <class V>
CandidateIndex<V>::CandidateIndex(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k,
                                  WorkMeter& meter)
    : msgs_(messages), places_(places), k_(k) {
  for (ShortListMap<V>* map : {&fresh_, &partial_, &kept_, &wanted_}) map->count_growth_on(meter);
  PALIMP_CHECK(messages.size() <= ShortList<V>::kMaxValue && places.total() <= ShortList<V>::kMaxValue);
  PALIMP_CHECK(places.total() < (u64{1} << (64 - kRunBits)) - 1);
  // Kept lists take about one byte per input symbol at most, so the index's
  // memory stays bounded by its input.
  keep_budget_ = std::max<u64>(kKeptPerChunk, places.total() / (MAX_CANDIDATES * sizeof(Candidate<V>)));
  // Small inputs are sized at once for half their windows, about what
  // successive messages add fresh; growing step by step from nothing would
  // cost more than the work itself.  (Nothing is allocated before a message
  // of k symbols or more is added.)
  const u64 windows = indexable_windows(messages, k);
  if (windows <= kPresizeWindows) small_reserve_ = windows / 2;
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
    RollingWindow roll(k);
    for (u64 m = 1; m < messages.size(); ++m) {
      const SymbolSpan& msg = messages[m];
      if (msg.size < k) continue;
      with_symbols(msg, [&](const auto* t) {
        for_each_window_hash(t, 0, msg.size - k + 1, roll, meter, work_units::kProbe, [&](u64, u64 h) {
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
  if (k_ == 0 || msgs_[m].size < k_) return;
  add_fresh_runs(m, pieces, meter);
  u64 at = 0;
  for (const Piece& p : pieces) {
    if (!p.is_literal()) add_copy(m, at, p, meter);
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
  RollingWindow roll(k_);
  with_symbols(msg, [&](const auto* t) {
    for_each_fresh_run(pieces, msg.size, k_, [&](u64 from, u64 to) {
      auto file = [&](u64 j, u64 hash) {
        pool_.append(fresh_.find_or_insert(hash), static_cast<V>(base + j));
      };
      if (filtered_) {
        for_each_window_hash(t, from, to, roll, meter, work_units::kProbe, [&](u64 j, u64 h) {
          if (wanted_.find(h) != nullptr) file(j, h);
        });
      } else if (!prefetch) {
        for_each_window_hash(t, from, to, roll, meter, work_units::kWindowFiled, file);
      } else {
        // Hash kHashAhead windows ahead of the one being filed and ask for
        // their slots, so that the probes of a big table overlap instead of
        // waiting for memory one by one.
        u64 ring[kHashAhead];
        for_each_window_hash(t, from, to, roll, meter, work_units::kWindowFiled, [&](u64 j, u64 h) {
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

// An estimate, a little high, of the distinct hashes among the fresh windows
// of message m (`fresh` of them): 64 times the distinct hashes in the 1/64 of
// hash space that a fixed mix selects, which is exact in expectation and off
// by about 8 / sqrt(distinct) relatively.
template <class V>
u64 CandidateIndex<V>::estimate_keys(u64 m, std::span<const Piece> pieces, u64 fresh, WorkMeter& meter) const {
  const SymbolSpan& msg = msgs_[m];
  std::vector<u64> sample;
  sample.reserve(fresh / 48 + 64);
  RollingWindow roll(k_);
  with_symbols(msg, [&](const auto* t) {
    for_each_fresh_run(pieces, msg.size, k_, [&](u64 from, u64 to) {
      for_each_window_hash(t, from, to, roll, meter, work_units::kProbe, [&](u64, u64 h) {
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
void CandidateIndex<V>::add_copy(u64 m, u64 at, const Piece& ref, WorkMeter& meter) {
  const u64 c = ref.source;
  // Listing a copy takes a step per superblock, and at most 4 * kSuper /
  // kBlock more.
  meter.add((ref.len / kSuper + 1) * work_units::kWindowFiled);
  const u64 id = copies_.size();
  PALIMP_CHECK(id <= ShortList<V>::kMaxValue);
  copies_.push_back({static_cast<V>(m), static_cast<V>(ref.start), static_cast<V>(ref.start + ref.len - k_),
                     static_cast<V>(at - ref.start), static_cast<V>(ref.start + ref.len),
                     static_cast<V>(places_.first(m) + at + 1 - ref.start)});
  if (sources_.empty()) sources_.resize(msgs_.size());
  Source& source = sources_[c];
  if (source.blocks == kNoBlocks) {
    if (pool_.size(source.few) < kFewCopies) {
      pool_.append(source.few, static_cast<V>(id));
      return;
    }
    // Too many to check one by one: from now on c's copies are kept by
    // block, the few ones first (their order is the order added).
    const u64 windows = msgs_[c].size - k_ + 1;  // its size >= ref.len >= k
    PALIMP_CHECK(blocks_.size() < kNoBlocks);
    source.blocks = static_cast<V>(blocks_.size());
    blocks_.resize(blocks_.size() + (windows - 1) / kBlock + 1);
    partial_blocks_.resize(blocks_.size() / 64 + 1);
    source.supers = static_cast<V>(supers_.size());
    supers_.resize(supers_.size() + (windows - 1) / kSuper + 1);
    const ShortListView<V> few = pool_.view(source.few);
    for (u32 i = 0; i < few.size; ++i) add_to_blocks(c, few[i]);
    pool_.clear(source.few);
  }
  add_to_blocks(c, id);
}

// Lists copy `id` of source c under the superblocks it covers whole, under
// the blocks it covers whole outside those, and under each start it covers
// in a block it covers in part.
template <class V>
void CandidateIndex<V>::add_to_blocks(u64 c, u64 id) {
  const Copy& copy = copies_[id];
  const u64 windows = msgs_[c].size - k_ + 1;
  ShortList<V>* supers = &supers_[sources_[c].supers];
  ShortList<V>* blocks = &blocks_[sources_[c].blocks];
  const u64 first = copy.first;
  const u64 last = copy.last;
  assert(first <= last && last < windows);
  // Whether [lo, lo + size) (cut at the last start) lies within the copy.
  auto covers = [&](u64 lo, u64 size) { return first <= lo && std::min(windows - 1, lo + size - 1) <= last; };
  auto add = [&](ShortList<V>& whole) { pool_.append(whole, static_cast<V>(id)); };
  for (u64 sb = first / kSuper; sb <= last / kSuper; ++sb) {
    if (covers(sb * kSuper, kSuper)) {
      add(supers[sb]);
      continue;
    }
    const u64 from = std::max(first, sb * kSuper);
    const u64 to = std::min(last, sb * kSuper + kSuper - 1);
    for (u64 b = from / kBlock; b <= to / kBlock; ++b) {
      if (covers(b * kBlock, kBlock)) {
        add(blocks[b]);
        continue;
      }
      const u64 global = sources_[c].blocks + b;
      partial_blocks_[global / 64] |= u64{1} << (global % 64);
      const u64 base = places_.first(c);
      const u64 hi = std::min(to, b * kBlock + kBlock - 1);
      for (u64 s = std::max(from, b * kBlock); s <= hi; ++s) {
        pool_.append(partial_.find_or_insert(base + s), static_cast<V>(id));
      }
    }
  }
}

template <class V>
Candidate<V> CandidateIndex<V>::first_place(u64 hash) const {
  const ShortList<V>* fresh = fresh_.find(hash);
  PALIMP_CHECK(fresh != nullptr);
  const u64 place = pool_.view(*fresh)[0];
  const u64 m = places_.message_of(place);
  return {static_cast<V>(m), static_cast<V>(place - places_.first(m)), 0, Candidate<V>::kRoot};
}

template <class V>
u64 CandidateIndex<V>::advance_roots(Run& run) const {
  if (run.next == run.ids.size) return 0;
  const u64 place = run.ids[run.next++];
  const u64 m = places_.message_of(place);
  run.head = {static_cast<V>(m), static_cast<V>(place - places_.first(m)), 0, Candidate<V>::kRoot};
  return place + 1;
}

template <class V>
inline u64 CandidateIndex<V>::advance_copies(Run& run) const {
  const V s = run.source_pos;
  while (run.next < run.ids.size) {
    const Copy& copy = copies_[run.ids[run.next++]];
    if (run.check && !(copy.first <= s && s <= copy.last)) continue;
    assert(copy.first <= s && s <= copy.last);
    run.head = {copy.message, static_cast<V>(copy.pos_base + s), static_cast<V>(copy.end - s), run.owner};
    return u64{static_cast<V>(copy.key_base + s)};
  }
  return 0;
}

template <class V>
inline u64 CandidateIndex<V>::open_copies(V owner, const Candidate<V>& c, Run& run) {
  if (sources_.empty()) return 0;
  const Source& source = sources_[c.message];
  if (source.blocks == kNoBlocks) {
    if (source.few.empty()) return 0;
    run.ids = pool_.view(source.few);
    run.check = true;
  } else {
    // The superblock's, the block's and the start's copies, each in the
    // order added; usually all but one are empty.
    const u64 block = source.blocks + c.pos / kBlock;
    ShortListView<V> lists[3] = {pool_.view(supers_[source.supers + c.pos / kSuper]), pool_.view(blocks_[block]), {}};
    if (partial_blocks_[block / 64] >> (block % 64) & 1) {
      if (const ShortList<V>* own = partial_.find(places_.first(c.message) + c.pos)) lists[2] = pool_.view(*own);
    }
    const u32 nonempty = (lists[0].size > 0) + (lists[1].size > 0) + (lists[2].size > 0);
    if (nonempty == 0) return 0;
    if (nonempty == 1) {
      run.ids = lists[0].size > 0 ? lists[0] : lists[1].size > 0 ? lists[1] : lists[2];
    } else {
      // Merge them into scratch that lasts for this enumeration, sized for
      // the most any enumeration can need so that it never moves.
      if (!merged_) merged_ = std::make_unique_for_overwrite<V[]>((MAX_CANDIDATES + 1) * 3 * MAX_CANDIDATES);
      V* out = merged_.get() + merged_size_;
      u32 n = 0;
      u32 next[3] = {0, 0, 0};
      u64 head[3];
      for (u32 l = 0; l < 3; ++l) head[l] = lists[l].size > 0 ? u64{lists[l][0]} : UINT64_MAX;
      for (;;) {
        const u32 l = head[0] <= std::min(head[1], head[2]) ? 0 : head[1] <= head[2] ? 1 : 2;
        if (head[l] == UINT64_MAX) break;
        out[n++] = static_cast<V>(head[l]);
        head[l] = ++next[l] < lists[l].size ? u64{lists[l][next[l]]} : UINT64_MAX;
      }
      run.ids = {out, n, 0};
      merged_size_ += n;
    }
    run.check = false;
  }
  run.owner = owner;
  run.source_pos = c.pos;
  run.next = 0;
  return advance_copies(run);
}

namespace {


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
// opens one run (its copies), so there are at most MAX_CANDIDATES + 1 runs.
template <class V>
u64 CandidateIndex<V>::enumerate(const ShortList<V>& fresh) {
  if (scratch_ == 0) grow_scratch(0, 0, 0);
  Candidate<V>* out = out_.get();
  Run* runs = runs_.get();
  u64* heap = heap_.get();
  u32 heap_size = 0;
  u32 open = 1;
  merged_size_ = 0;
  runs[0].ids = pool_.view(fresh);
  runs[0].next = 0;
  runs[0].owner = Candidate<V>::kRoot;
  heap_push(heap, heap_size, advance_roots(runs[0]) << kRunBits);
  u64 count = 0;
  [[maybe_unused]] u64 previous = 0;
  while (heap_size > 0 && count < MAX_CANDIDATES) {
    if (open == scratch_ || count == scratch_) {
      grow_scratch(count, open, heap_size);
      out = out_.get();
      runs = runs_.get();
      heap = heap_.get();
    }
    const u64 top = heap[0];
    Run& run = runs[top & kRunMask];
    assert(count == 0 || (top >> kRunBits) > previous);  // strictly increasing places
    previous = top >> kRunBits;
    const V self = static_cast<V>(count);
    out[count++] = run.head;
    if (const u64 next = (top & kRunMask) == 0 ? advance_roots(run) : advance_copies(run)) {
      heap_replace_top(heap, heap_size, next << kRunBits | (top & kRunMask));
    } else {
      --heap_size;
      heap_replace_top(heap, heap_size, heap[heap_size]);  // the last one takes the top's place
    }
    if (const u64 first = open_copies(self, out[count - 1], runs[open])) heap_push(heap, heap_size, first << kRunBits | open++);
  }
  return count;
}

// Most lists are short: the scratch of places() starts small and doubles as
// an enumeration needs it, up to room for MAX_CANDIDATES places and one run
// more.  Keeps the first `out`, `runs` and `heap` entries.
template <class V>
void CandidateIndex<V>::grow_scratch(u64 out, u64 runs, u64 heap) {
  const u64 room = scratch_ == 0 ? 8 : std::min<u64>(2 * scratch_, MAX_CANDIDATES + 1);
  auto fresh_out = std::make_unique_for_overwrite<Candidate<V>[]>(room);
  auto fresh_runs = std::make_unique_for_overwrite<Run[]>(room);
  auto fresh_heap = std::make_unique_for_overwrite<u64[]>(room);
  std::copy(out_.get(), out_.get() + out, fresh_out.get());
  std::copy(runs_.get(), runs_.get() + runs, fresh_runs.get());
  std::copy(heap_.get(), heap_.get() + heap, fresh_heap.get());
  out_ = std::move(fresh_out);
  runs_ = std::move(fresh_runs);
  heap_ = std::move(fresh_heap);
  scratch_ = room;
}

template <class V>
void CandidateIndex<V>::keep(u64 hash) {
  if (kept_count_ >= keep_budget_) return;
  if (kept_count_ % kKeptPerChunk == 0) {
    kept_places_.push_back(std::make_unique_for_overwrite<Candidate<V>[]>(kKeptPerChunk * MAX_CANDIDATES));
  }
  std::copy(out_.get(), out_.get() + MAX_CANDIDATES, kept_places_.back().get() + (kept_count_ % kKeptPerChunk) * MAX_CANDIDATES);
  pool_.append(kept_.find_or_insert(hash), static_cast<V>(kept_count_));
  ++kept_count_;
}

template <class V>
std::span<const Candidate<V>> CandidateIndex<V>::places(u64 hash) {
  const ShortList<V>* fresh = fresh_.find(hash);
  if (fresh == nullptr) return {};
  if (const ShortList<V>* kept = kept_.find(hash)) {
    const u64 at = pool_.view(*kept)[0];
    return {kept_places_[at / kKeptPerChunk].get() + (at % kKeptPerChunk) * MAX_CANDIDATES, MAX_CANDIDATES};
  }
  const u64 count = enumerate(*fresh);
  // A hash with MAX_CANDIDATES places never gains an earlier one.
  if (count == MAX_CANDIDATES) keep(hash);
  return {out_.get(), count};
}

template class CandidateIndex<u32>;
template class CandidateIndex<u64>;

}  // namespace palimp
