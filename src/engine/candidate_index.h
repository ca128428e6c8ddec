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
// HOW COPIES ARE FOUND.  The first kFewCopies references copying from a
// message c are listed with c, and the copies of a place (c, s) among them
// are found by checking each.  Most messages are copied only a few times (a
// version by the next one, a transcript by its continuation), and this short
// list stays in the caches where following a chain of copies through many
// messages needs it.  From the (kFewCopies + 1)-th on, all of c's references
// are kept by the window starts of c they cover instead, in blocks of kBlock
// starts grouped into superblocks of kSuper: a reference is listed under each
// superblock it covers whole, under each block it covers whole outside
// those, and under each start it covers in a block it covers only in part
// (at most 2 * kBlock - 2 of them).  Every list is in the order the
// references were added, which is their copies' (message, position) order,
// and keeps its first MAX_CANDIDATES entries only.  The copies of the place
// (c, s) are then either c's short list, filtered, or the merge of three
// short sorted lists (the superblock's, the block's and the start's), every
// entry of which covers s.
//
// COST.  Adding a message costs O(1) per fresh window and O(len / kSuper +
// kSuper / kBlock + kBlock) per reference of len symbols.  Handing out the
// places of a hash costs O(MAX_CANDIDATES log MAX_CANDIDATES), whatever the
// input: no list that grows with the input is ever scanned.  Memory: a
// 12-byte slot (16 with wide places) and a control byte per distinct hash at
// a load of at most 7/8, 4 (8) bytes per further fresh place of a hash, and
// per reference as many list entries as it costs steps to add.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "engine/short_lists.h"
#include "interrupt.h"
#include "engine/places.h"
#include "segment_table.h"
#include "symbol_span.h"

namespace palimp {

inline constexpr u64 MAX_CANDIDATES = 64;

// A place among the first places of a hash, and how it derives from an
// earlier one; fields are V (u32 or u64) wide, the index's storage width.
template <class V>
struct Candidate {
  static constexpr V kRoot = static_cast<V>(-1);
  V message;
  V pos;
  V copied;  // derived place: how many symbols from pos equal its parent's
  V parent;  // index of the parent among the candidates; kRoot if fresh
};

// V (u32 or u64) is the width in which places, reference numbers and
// candidates are stored: u32 serves inputs of up to 2^28 symbols and messages
// (fits_narrow), u64 any other.
template <class V>
class CandidateIndex {
 public:
  static constexpr u64 kBlock = 64;     // window starts per block of the copy lists
  static constexpr u64 kSuper = 4096;   // window starts per superblock
  static constexpr u32 kFewCopies = 8;  // references per message listed with the message

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
  CandidateIndex(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k, WorkMeter& meter);

  // Adds message m, cut into `pieces` (in order; they tile it, and every
  // reference has len >= k and names an already added message).  Requires
  // every message before m to have been added, and m not.  Counts its work
  // on `meter`, whose interrupt may end it (the index is then unusable).
  void add_message(u64 m, std::span<const Piece> pieces, WorkMeter& meter);

  // No window has been added yet.
  bool empty() const { return fresh_.empty(); }
  // Whether some window added so far hashes to `hash`.  One probe.
  bool contains(u64 hash) const { return fresh_.find(hash) != nullptr; }
  // The earliest place whose window hashes to `hash` (always fresh).
  // Requires contains(hash).
  Candidate<V> first_place(u64 hash) const;
  // The first MAX_CANDIDATES places whose window hashes to `hash`, in
  // (message, position) order; empty when there are none.  The span lives
  // until the next call.
  std::span<const Candidate<V>> places(u64 hash);

 private:
  // A reference of an added message, as its copies need it: it covers the
  // window starts [first, last] of its source; the copy of start s lies at
  // position pos_base + s of `message`, place number key_base + s - 1, and
  // equals the source for end - s symbols.  The bases wrap around V.
  struct Copy {
    V message, first, last, pos_base, end, key_base;
  };
  // The copies of one source message: while it has few, one short list of
  // them; from the (kFewCopies + 1)-th on, lists by block instead.
  struct Source {
    ShortList<V> few;
    V blocks = kNoBlocks;  // its first entry in blocks_
    V supers = 0;          // its first entry in supers_ (with blocks)
  };
  // A sorted run of places merged into the answer of places(): the fresh
  // places of the hash, or the copies of one candidate.
  struct Run {
    // Fresh places; or copy numbers: the few copies of the source (checked
    // for covering source_pos), or the merge of the superblock's, the
    // block's and the start's lists.
    ShortListView<V> ids;
    u32 next;
    bool check;
    V owner;          // candidate whose copies the run yields; kRoot for the fresh places
    V source_pos;     // that candidate's position
    Candidate<V> head;  // the place the run yields next
  };

  static constexpr V kNoBlocks = static_cast<V>(-1);

  void add_fresh_runs(u64 m, std::span<const Piece> pieces, WorkMeter& meter);
  void add_copy(u64 m, u64 at, const Piece& ref, WorkMeter& meter);
  u64 estimate_keys(u64 m, std::span<const Piece> pieces, u64 fresh, WorkMeter& meter) const;
  void add_to_blocks(u64 c, u64 id);
  // Moves a run to its next place; returns its number plus one, or 0 when
  // the run has no more places.
  u64 advance_roots(Run& run) const;
  u64 advance_copies(Run& run) const;
  // Opens the run of the copies of candidate `owner`; as advance().
  u64 open_copies(V owner, const Candidate<V>& c, Run& run);
  // Fills out_ with the first places of the hash whose fresh places are
  // `fresh`; returns how many.
  u64 enumerate(const ShortList<V>& fresh);
  void grow_scratch(u64 out, u64 runs, u64 heap);
  void keep(u64 hash);

  std::span<const SymbolSpan> msgs_;
  const PlaceNumbering& places_;
  u64 k_;
  ShortListPool<V> pool_{MAX_CANDIDATES};
  ShortListMap<V> fresh_;     // window hash -> its first fresh places
  std::vector<Copy> copies_;     // in the order added
  std::vector<Source> sources_;  // per message, once any is copied
  // The copies covering every start of a block, or of a superblock; bit b
  // of partial_blocks_ is set when some start of block b has a list of its
  // own in partial_.  Block lists are looked up once per place handed out:
  // they are kept to one word each, so that they stay in the caches.
  std::vector<ShortList<V>> blocks_;
  std::vector<ShortList<V>> supers_;
  std::vector<u64> partial_blocks_;
  ShortListMap<V> partial_;  // place number of a window start -> copies covering it
  // Kept full lists: kept_[hash] is a list of one value, the number of its
  // MAX_CANDIDATES places in kept_places_, whose chunks never move.
  static constexpr u64 kKeptPerChunk = 64;
  ShortListMap<V> kept_;
  std::vector<std::unique_ptr<Candidate<V>[]>> kept_places_;
  u64 kept_count_ = 0;
  u64 keep_budget_;  // lists
  u64 small_reserve_ = 0;  // keys the fresh table is sized for at once
  // What the messages added so far say of those still to come: the windows
  // not yet added, and the keys that messages 1.. added and how many of
  // those messages there were (message 0 is all new whatever follows).
  u64 windows_left_ = 0;
  u64 later_added_ = 0;
  u64 later_keys_ = 0;
  // With filtered_, only windows whose hash is a key of wanted_ are filed.
  bool filtered_ = false;
  ShortListMap<V> wanted_;
  // Scratch of places(): scratch_ entries each, allocated when first needed.
  u64 scratch_ = 0;
  std::unique_ptr<Candidate<V>[]> out_;
  std::unique_ptr<Run[]> runs_;
  std::unique_ptr<u64[]> heap_;  // (place number + 1) << 7 | run, of each open run's head; a min-heap
  std::unique_ptr<V[]> merged_;  // copy lists merged for runs during one enumeration
  u64 merged_size_ = 0;
};

extern template class CandidateIndex<u32>;
extern template class CandidateIndex<u64>;

}  // namespace palimp
