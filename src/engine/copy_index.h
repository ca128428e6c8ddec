// The copies that references make: for a window start s of an added message
// c, the references of later messages that copied the window of c at s, the
// first MAX_CANDIDATES of them in the order they were filed.
//
// WHAT IT HOLDS.  One record per reference: a reference at position `at` of
// message m that copies the symbols [start, start + len) of its source c
// holds a copy of every window of k symbols of c that starts in [start,
// start + len - k], the starts it covers.  The window of c at s reappears at
// at + (s - start) of m and agrees with c for start + len - s symbols.
// References are filed in (message, position) order, so the references that
// cover one start, in filing order, make copies in (message, position) order
// too.
//
// HOW THEY ARE FOUND.  The first kFewCopies references copying from a source
// are listed with it, and the copies of a start among them are found by
// checking each.  Most messages are copied only a few times (a version by the
// next one, a transcript by its continuation), and this short list stays in
// the caches where following a chain of copies through many messages needs
// it.  From the (kFewCopies + 1)-th on, all of the source's references are
// kept by the window starts they cover instead, in blocks of kBlock starts
// grouped into superblocks of kSuper: a reference is listed under each
// superblock it covers whole, under each block it covers whole outside those,
// and under each start it covers in a block it covers only in part (at most
// 2 * kBlock - 2 of them).  The copies of start s are then the few list,
// filtered, or the merge of three short sorted lists (the superblock's, the
// block's and the start's), every entry of which covers s.
//
// INVARIANTS.
// - Every list is in filing order and keeps its first MAX_CANDIDATES entries
//   only: a later one follows MAX_CANDIDATES earlier copies of the same
//   start, so no enumeration of the first MAX_CANDIDATES places can reach it.
// - The lists of one start are disjoint: a reference is listed at the
//   largest unit holding s that it covers whole, or at s itself.
// - Nothing is removed; the few list of a source is emptied once, when its
//   references move to blocks.
//
// COST.  Filing a reference of len symbols costs O(1) while its source has
// few, else O(len / kSuper + kSuper / kBlock + kBlock) list appends.  Opening
// the copies of a start reads a few words; a run yields each copy in O(1),
// merging at most three lists as it goes (checking at most kFewCopies
// records in all for a few list).  Memory: a record of six V
// per reference, and a V per list entry it is given.
#pragma once

#include <cassert>
#include <memory>
#include <span>
#include <vector>

#include "engine/places.h"
#include "engine/short_lists.h"
#include "interrupt.h"
#include "segment_table.h"
#include "symbol_span.h"

namespace palimp {

// Places of a hash handed out per lookup; no list of the indexes holds more.
inline constexpr u64 MAX_CANDIDATES = 64;

// V (u32 or u64) is the width of positions, place numbers and reference
// numbers; every one of them must fit V.
template <class V>
class CopyIndex {
 public:
  static constexpr u64 kBlock = 64;        // window starts per block
  static constexpr u64 kSuper = 4096;      // window starts per superblock
  static constexpr u32 kFewCopies = 8;     // references per source listed with the source
  static constexpr u64 kFirstCopies = 16;  // copy records reserved at the first

  // A reference as its copies need it.  Positions are stored as they are;
  // every sum below stays within the message it names.
  struct Copy {
    V message;   // the message holding the reference
    V first;     // the first window start of the source it covers
    V last;      // the last: start + len - k
    V at;        // where the copy of `first` lies in `message`
    V place_at;  // the place number of that position
    V end;       // start + len: where the copied symbols end in the source
    bool covers(u64 s) const { return first <= s && s <= last; }
    // Where the copy of source start s lies, as a position and as a place
    // number, and for how many symbols from there it equals the source.
    // Require covers(s).
    u64 pos_of(u64 s) const { return u64{at} + (s - first); }
    u64 place_of(u64 s) const { return u64{place_at} + (s - first); }
    u64 equal_from(u64 s) const { return u64{end} - s; }
  };

  // The copies of one start, in filing order: up to three sorted lists of
  // reference numbers, merged as they are read, so that opening a run costs
  // the same however many copies it yields and holds no scratch.
  class Run {
   public:
    u64 pos() const { return pos_; }  // the start whose copies it yields

   private:
    friend class CopyIndex;
    // List l (the non-empty ones first): data_[l][0, size_[l]), each less
    // bit l of flags_ (a list of one value is read from its own word, where
    // it is stored plus one).  Kept small: enumerations keep a run per
    // place they hand out, and what derives from a run may use the padding
    // after pos_.
    // Nothing is initialised until open() sets it: enumerations keep their
    // first runs inside the index, made afresh with every call.
    static constexpr u8 kCheck = 1 << 3;  // in flags_: list 0 may hold references that do not cover pos_
    const V* data_[3];
    u8 size_[3];
    u8 next_[3];
    u8 flags_;
    u8 count_;  // non-empty lists
    V pos_;
    void set(u32 l, const ShortListView<V>& list) {
      assert(list.size <= MAX_CANDIDATES && list.bias <= 1);
      data_[l] = list.data;
      size_[l] = static_cast<u8>(list.size);
      next_[l] = 0;
      flags_ = static_cast<u8>(flags_ | (list.bias << l));
    }
    u64 head(u32 l) const { return u64{data_[l][next_[l]]} - ((flags_ >> l) & 1); }
  };
  static_assert(MAX_CANDIDATES <= 255);

  // Copies of windows of `k` >= 1 symbols of `messages`, numbered by
  // `places`; all of them must outlive the index, and every place and
  // message number must fit V.  Growing its tables counts as work on
  // `meter`, which must outlive it too.
  CopyIndex(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k, WorkMeter& meter);
  // It may point into itself.
  CopyIndex(const CopyIndex&) = delete;
  CopyIndex& operator=(const CopyIndex&) = delete;

  // Files the reference `ref` (ref.len >= k, into an already added message
  // ref.source < m) that lies at position `at` of message m.  References
  // come in (message, position) order.  Counts its work on `meter`.
  void add(u64 m, u64 at, const Piece& ref, WorkMeter& meter);

  // Opens `run` on the copies of the window start pos of message c, the
  // first MAX_CANDIDATES of them; returns false when there are none.
  bool open(u64 c, u64 pos, Run& run) const;
  // The next copy of the run's start, or nullptr when it has no more.
  // Every copy it returns covers that start.
  [[gnu::always_inline]] const Copy* next(Run& run) const {
    if (run.count_ > 1) [[unlikely]] return next_merged(run);
    while (run.next_[0] < run.size_[0]) {
      const Copy& copy = copies_[run.head(0)];
      ++run.next_[0];
      if ((run.flags_ & Run::kCheck) && !copy.covers(run.pos_)) continue;
      assert(copy.covers(run.pos_));
      return &copy;
    }
    return nullptr;
  }

 private:
  // The references copying from one source: while it has few, one short list
  // of them; from the (kFewCopies + 1)-th on, lists by block instead.
  struct Source {
    ShortList<V> few;
    V blocks = kNoBlocks;  // its first entry in blocks_
    V supers = 0;          // its first entry in supers_ (with blocks)
  };
  static constexpr V kNoBlocks = static_cast<V>(-1);

  void add_to_blocks(u64 c, u64 id);
  // next() of a run of several lists: the least reference number at their
  // heads (the lists are disjoint), for the first MAX_CANDIDATES.
  const Copy* next_merged(Run& run) const {
    u32 best = 3, yielded = 0;
    u64 id = 0;
    for (u32 l = 0; l < run.count_; ++l) {
      yielded += run.next_[l];
      if (run.next_[l] < run.size_[l] && (best == 3 || run.head(l) < id)) {
        best = l;
        id = run.head(l);
      }
    }
    if (best == 3 || yielded >= MAX_CANDIDATES) return nullptr;
    ++run.next_[best];
    assert(copies_[id].covers(run.pos_));
    return &copies_[id];
  }

  std::span<const SymbolSpan> msgs_;
  const PlaceNumbering& places_;
  u64 k_;
  ShortListPool<V> pool_{MAX_CANDIDATES};
  std::vector<Copy> copies_;     // by reference number, in filing order
  // Per message, once any is copied: kept in the index itself for a
  // conversation of a few messages.
  static constexpr u64 kInlineSources = 16;
  Source* sources_ = nullptr;
  Source inline_sources_[kInlineSources];
  std::unique_ptr<Source[]> many_sources_;
  // The references covering every start of a block, or of a superblock; bit b
  // of partial_blocks_ is set when some start of block b has a list of its
  // own in partial_.  Block lists are looked up once per place handed out:
  // they are kept to one word each, so that they stay in the caches.
  std::vector<ShortList<V>> blocks_;
  std::vector<ShortList<V>> supers_;
  std::vector<u64> partial_blocks_;
  ShortListMap<V> partial_;  // place number of a window start -> references covering it
};

// In the header, so that it inlines into the merge that calls it once per
// place handed out.
template <class V>
inline bool CopyIndex<V>::open(u64 c, u64 pos, Run& run) const {
  if (sources_ == nullptr) return false;
  const Source& source = sources_[c];
  run.count_ = 0;
  run.flags_ = 0;
  if (source.blocks == kNoBlocks) {
    if (source.few.empty()) return false;
    run.set(run.count_++, pool_.view(source.few));
    run.flags_ |= Run::kCheck;
  } else {
    // The superblock's, the block's and the start's references, each in
    // filing order; usually all but one are empty.
    const u64 block = source.blocks + pos / kBlock;
    const ShortListView<V> lists[2] = {pool_.view(supers_[source.supers + pos / kSuper]),
                                       pool_.view(blocks_[block])};
    for (u32 l = 0; l < 2; ++l) {
      if (lists[l].size > 0) run.set(run.count_++, lists[l]);
    }
    if (partial_blocks_[block / 64] >> (block % 64) & 1) {
      if (const ShortList<V>* own = partial_.find(places_.first(c) + pos)) run.set(run.count_++, pool_.view(*own));
    }
    if (run.count_ == 0) return false;
  }
  run.pos_ = static_cast<V>(pos);
  return true;
}

extern template class CopyIndex<u32>;
extern template class CopyIndex<u64>;

}  // namespace palimp
