// The exact engine's candidate index: for a window hash, the places (message,
// position) of the indexed messages whose window of k symbols has that hash,
// the first MAX_CANDIDATES of them in (message, position) order.
//
// WHAT IT HOLDS.  Messages are added whole, in increasing order, each with
// the pieces the engine cut it into.  A window of an added message m is
// either
// - fresh: not wholly inside one of m's references (it lies in a literal run
//   or straddles a piece boundary).  Fresh windows are hashed and filed under
//   their hash; or
// - a copy: wholly inside a reference of m to message c.  A reference names
//   exactly equal symbols, so the window equals the window of c it was copied
//   from, its parent, and has the same hash.  Copies are never hashed: the
//   index keeps the reference instead, and derives the copies of a place when
//   it is asked for the places of a hash.
// Following copies back from parent to parent always ends at a fresh window
// of the same hash, so the places of a hash form a forest whose roots are its
// fresh places; every child lies in a later message than its parent.
//
// INVARIANTS.
// - Places come out in strictly increasing (message, position) order: the
//   order in which the windows were added.  So "the first MAX_CANDIDATES" and
//   "ties go to the earliest place" mean what they say.  Debug builds assert
//   the order of every place handed out.
// - Only the first MAX_CANDIDATES places of a hash can ever be handed out, and
//   the index keeps nothing that could only matter beyond them: a hash keeps
//   its first MAX_CANDIDATES fresh places, and a place keeps the first
//   MAX_CANDIDATES references copying it (a later copy follows MAX_CANDIDATES
//   earlier places of the same hash, its earlier siblings).
// - Nothing is removed or reordered, so a hash's first places never change
//   once it has MAX_CANDIDATES of them.  Such full lists are kept once
//   derived, within a budget of about one byte per input symbol, and read
//   back on later lookups instead of being derived again.
// - Windows are looked up only by the hashes of windows of later messages.
//   When those are few next to the input, only windows whose hash some later
//   window has are filed; the places of every hash ever looked up are the
//   same either way.
//
// FILING WHILE SCANNING.  A fresh window of a literal run is looked up by
// the engine's scan (it misses, or its places hold no match) and filed by
// add_message afterwards: two probes and two hashings for one window.  A
// small input (files_while_scanning) files it with the probe of its lookup
// instead: the engine begins message m, files the windows of its literal
// runs as it looks them up and those that straddle the end of a reference
// as it emits it, in position order, and add_message(m) then adds only the
// copies.  Until then the places of m are filed but not yet visible: lookups
// see only places before m's first (all of a list's earlier places come
// first, so the visible ones are a prefix), and what they find is what the
// two passes would have found.
//
// HOW COPIES ARE FOUND.  The copy index (engine/copy_index.h) keeps the
// references and hands out the copies of one place as a sorted run.  The
// places of a hash are the merge of its fresh places and, for every place
// handed out, the run of its copies; each run is in (message, position)
// order, and every copy follows the place it copies.
//
// COST.  Adding a message costs O(1) per fresh window and what the copy index
// costs per reference.  Handing out the places of a hash costs
// O(MAX_CANDIDATES log MAX_CANDIDATES), whatever the input: no list that
// grows with the input is ever scanned.  Memory: a 12-byte slot (16 with wide
// places) and a control byte per distinct hash at a load of at most 7/8, 4
// (8) bytes per further fresh place of a hash, what the copy index keeps, and
// the kept lists.
#pragma once

#include <algorithm>
#include <cassert>
#include <memory>
#include <span>
#include <vector>

#include "engine/copy_index.h"
#include "engine/places.h"
#include "engine/short_lists.h"
#include "hashing.h"
#include "interrupt.h"
#include "segment_table.h"
#include "symbol_span.h"

namespace palimp {

// A place among the first places of a hash, and how it derives from an
// earlier one; three words of V (u32 or u64), the index's storage width, so
// that a full list of a narrow index takes 768 bytes.
template <class V>
struct Candidate {
  static constexpr u32 kRoot = 0xFF;  // parent() of a fresh place
  static constexpr u64 kMaxCopied = static_cast<V>(-1) >> 8;
  V message;
  V pos;
  V link;  // copied() << 8 | parent()

  static Candidate fresh(u64 m, u64 pos) { return {static_cast<V>(m), static_cast<V>(pos), kRoot}; }
  // The copy at (m, pos) of candidate `parent`, equal to it for `copied`
  // symbols, of which it keeps at most kMaxCopied.
  static Candidate copy(u64 m, u64 pos, u64 copied, u32 parent) {
    assert(parent < kRoot);
    return {static_cast<V>(m), static_cast<V>(pos), static_cast<V>(std::min(copied, kMaxCopied) << 8 | parent)};
  }
  // The parent's index among the candidates, or kRoot for a fresh place.
  u32 parent() const { return static_cast<u32>(link & 0xFF); }
  // A derived place: for at least this many symbols from pos it equals its
  // parent (the true count, cut at kMaxCopied).
  u64 copied() const { return u64{link} >> 8; }
};
static_assert(MAX_CANDIDATES < Candidate<u32>::kRoot);

// V (u32 or u64) is the width in which places, reference numbers and
// candidates are stored: u32 serves inputs of up to 2^28 symbols and messages
// (fits_narrow), u64 any other.
// When an index files fresh windows: while the engine scans a message
// (small inputs), or after, in add_message (every input: the way large ones
// always go, for testing it on small ones).
enum class Filing { kWhileScanningWhenSmall, kAfterScan };

template <class V>
class CandidateIndex {
 public:
  // Whether `messages` messages with these places fit the narrow index.  A
  // narrow pool holds 2^31 values; the lists take at most two per place
  // (fresh places, and copy entries, which a reference adds fewer of than
  // it has symbols), in blocks at most half full, with as much again freed.
  static constexpr u64 kNarrowMax = u64{1} << 28;
  static bool fits_narrow(u64 messages, const PlaceNumbering& places) {
    return messages <= kNarrowMax && places.total() <= kNarrowMax;
  }

  // Indexes windows of `k` symbols of `messages` (none when k is 0), read in
  // place; both must outlive the index.  Requires every place and message
  // number to fit V (fits_narrow for u32).  Counts the work of its setup,
  // and of every growth of its tables, on `meter`, whose interrupt may end
  // it; `meter` must outlive the index.
  CandidateIndex(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k, WorkMeter& meter,
                 Filing filing = Filing::kWhileScanningWhenSmall);
  // The scratch of places() may point into the index itself.
  CandidateIndex(const CandidateIndex&) = delete;
  CandidateIndex& operator=(const CandidateIndex&) = delete;

  // Adds message m, cut into `pieces` (in order; they tile it, and every
  // reference has len >= k and names an already added message).  Requires
  // every message before m to have been added, and m not; with
  // files_while_scanning, m begun and its fresh windows filed.  Counts its
  // work on `meter`, whose interrupt may end it (the index is then unusable).
  void add_message(u64 m, std::span<const Piece> pieces, WorkMeter& meter);

  // Whether the engine files fresh windows as it scans (see above): inputs
  // of at most 2^16 windows.
  bool files_while_scanning() const { return while_scanning_; }
  // Message m (added next) is scanned now, and its fresh windows are filed
  // by the calls below, in position order.  Requires files_while_scanning.
  void begin_message(u64 m) {
    assert(while_scanning_ && visible_end_ == kAllVisible);
    visible_end_ = places_.first(m);
    begun_ = m;
    // Sized once, by the first message with a window, for about what
    // successive messages add fresh; it grows when full, like any table.
    if (fresh_.limit() < small_reserve_ && msgs_[m].size >= k_) fresh_.reserve(small_reserve_);
  }
  // As find(hash), and when that finds nothing, files window j of the
  // message begun under `hash`.  Inline: the scan calls it for every window.
  [[gnu::always_inline]] const ShortList<V>* find_or_file(u64 hash, u64 j) {
    assert(visible_end_ != kAllVisible);
    bool added;
    ShortList<V>* fresh = fresh_.find_or_add(hash, begun_place(j), added);
    if (added) return nullptr;
    if (visible(*fresh)) return fresh;
    pool_.append(*fresh, begun_place(j));  // places of the message begun only
    return nullptr;
  }
  // Files window j of the message begun under `hash`.
  void file(u64 hash, u64 j) { fresh_.append(hash, begun_place(j), pool_); }
  // Hashes and files the windows starting at [from, to) of the message
  // begun; requires from < to <= its windows.
  void file_windows(u64 from, u64 to, WorkMeter& meter);

  // No window has been added yet (at the start of a message: the places of
  // the one begun are added as it is scanned).
  bool empty() const { return fresh_.empty(); }
  // The visible fresh places of `hash`, or nullptr when no window of an
  // added message hashes to it.  One probe; what it finds is valid until
  // the next window is filed.
  const ShortList<V>* find(u64 hash) const {
    const ShortList<V>* fresh = fresh_.find(hash);
    if (fresh == nullptr || visible_end_ == kAllVisible) return fresh;  // no read of the list's block
    return visible(*fresh) ? fresh : nullptr;
  }
  // The earliest place whose window hashes to the hash whose fresh places
  // find() gave (always fresh).
  Candidate<V> first_place(const ShortList<V>& fresh) const;
  // The first MAX_CANDIDATES places whose window hashes to `hash`, whose
  // fresh places find(hash) gave, in (message, position) order.  The span
  // lives until the next call.
  std::span<const Candidate<V>> places(u64 hash, const ShortList<V>& fresh);

 private:
  // A sorted run of places merged into the answer of places(): the copies of
  // one candidate, their owner, whose next place is `head`.  The head sits
  // in the copy run's tail padding, so a run takes 48 bytes.
  struct Run : CopyIndex<V>::Run {
    Candidate<V> head;
  };
  static_assert(sizeof(V) != 4 || sizeof(Run) == 48);

  // Whether a list has a visible place: its first, the earliest, is.
  bool visible(const ShortList<V>& fresh) const { return pool_.view(fresh)[0] < visible_end_; }
  // The place of position j of the message begun.
  V begun_place(u64 j) const { return static_cast<V>(visible_end_ + j); }

  void add_fresh_runs(u64 m, std::span<const Piece> pieces, WorkMeter& meter);
  u64 estimate_keys(u64 m, std::span<const Piece> pieces, u64 fresh, WorkMeter& meter) const;
  // Moves the run of the copies of candidate `owner` to its next place and
  // sets `place` to its place number; returns false when it has no more.
  bool advance(Run& run, u32 owner, u64& place) const;
  // Fills out_ with the first places of the hash whose fresh places are
  // `fresh`; returns how many.
  u64 enumerate(const ShortList<V>& fresh);
  void keep(u64 hash);
  // Room in the scratch of places() for twice as many places (at most
  // MAX_CANDIDATES), keeping the first `places` places, `runs` runs and
  // `heap` heap entries.
  void grow_scratch(u64 places, u64 runs, u64 heap);

  std::span<const SymbolSpan> msgs_;
  const PlaceNumbering& places_;
  u64 k_;
  RollingWindow roll_;  // over k_ symbols
  ShortListPool<V> pool_{MAX_CANDIDATES};
  ShortListMap<V> fresh_;  // window hash -> its first fresh places
  CopyIndex<V> copies_;
  // Kept full lists: kept_[hash] is a list of one value, the number of its
  // MAX_CANDIDATES places in kept_places_, whose chunks never move.
  static constexpr u64 kKeptPerChunk = 64;
  ShortListMap<V> kept_;
  std::vector<std::unique_ptr<Candidate<V>[]>> kept_places_;
  u64 kept_count_ = 0;
  u64 keep_budget_;  // lists
  u64 small_reserve_ = 0;  // keys the fresh table is sized for at once
  bool while_scanning_ = false;
  // Places from here on belong to the message begun and are not visible
  // yet: the first place of that message, or kAllVisible.
  static constexpr u64 kAllVisible = UINT64_MAX;
  u64 visible_end_ = kAllVisible;
  u64 begun_ = 0;  // the message begun
  // What the messages added so far say of those still to come: the windows
  // not yet added, and the keys that messages 1.. added and how many of
  // those messages there were (message 0 is all new whatever follows).
  u64 windows_left_ = 0;
  u64 later_added_ = 0;
  u64 later_keys_ = 0;
  // With filtered_, only windows whose hash is a key of wanted_ are filed.
  bool filtered_ = false;
  ShortListMap<V> wanted_;
  // Scratch of places(): the places handed out, a run per place (whose
  // copies it yields) and run 0 of the fresh places, and a min-heap of the
  // open runs' heads keyed by place << kRunBits | run, room for scratch_ of
  // each.  Most hashes have a few places, and an input of a few hundred
  // symbols would spend more on scratch for MAX_CANDIDATES than on the rest
  // of the index: the first kInlineScratch of each live in the index itself
  // (no allocation for a short conversation), and the scratch doubles on
  // the heap from there.
  static constexpr u64 kInlineScratch = 16;
  u64 scratch_ = kInlineScratch;
  Candidate<V>* out_ = inline_out_;
  Run* runs_ = inline_runs_;
  u64* heap_ = inline_heap_;
  Candidate<V> inline_out_[kInlineScratch];
  Run inline_runs_[kInlineScratch];
  u64 inline_heap_[kInlineScratch];
  std::unique_ptr<Candidate<V>[]> grown_out_;
  std::unique_ptr<Run[]> grown_runs_;
  std::unique_ptr<u64[]> grown_heap_;
};

extern template class CandidateIndex<u32>;
extern template class CandidateIndex<u64>;

}  // namespace palimp
