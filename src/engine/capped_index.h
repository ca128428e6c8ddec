// The capped engine's index of pairs (min hash, capped hash), grouped by min
// hash, and the set of min hashes that later messages can ask for.
//
// WHAT IT ANSWERS.  A pair is filed at a place; places are the engine's
// numbering of (message, position), and pairs are filed in ascending place
// order.  A min hash with at least one pair is a key.  The pairs of one key
// are numbered 0, 1, ... in filing order (their ordinal); a pair can be a
// candidate only when its ordinal is below N = ncap.  The index answers
// "is this min hash a key" and "the place of this pair, if it is filed with
// an ordinal below N", each with one probe in the common case, and a lookup
// can file the pair it asks for with the same probe.
//
// INVARIANTS.
// - A pair is stored once, at the place that filed it first; filing it again
//   changes nothing.
// - A key's first pair lives in the key's own slot (capped0, place0), so a
//   key with one pair costs one slot and one probe; its later pairs live in
//   the pair table, tied to the key by place0.
// - A key stores at most N pairs.  Once it holds N, a new pair under it
//   could never be a candidate and leaves no trace, and neither does filing
//   it twice: nothing about the key can change any more.  So `count` is
//   exact below N and stays at N after.
// - Nothing is ever removed or moved between keys; slots move only when a
//   table grows.  Lookups compare full 64-bit hashes, never fewer bits, so
//   what is found is exactly what the rule says; no table is iterated where
//   it could affect the output.
//
// Place is the width of stored places: u16 or u32 when every place fits
// (12- or 16-byte pair slots, 20- or 24-byte key slots), u64 otherwise.
#pragma once

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "check.h"
#include "engine/group_table.h"

namespace palimp::capped_detail {

// A later pair is filed under its key's place0 and its capped hash; this
// folds the two into the one 64-bit key that the pair table mixes.
inline u64 pair_key(u64 key_place, u64 capped) { return key_place * 0x9E3779B97F4A7C15ull + capped; }

template <class Place>
class PairIndex {
 public:
  // A key: its min hash, its first pair, and how many pairs it stores.
  // Packed, so that narrow places make narrow slots.
  struct [[gnu::packed]] Key {
    u64 min;
    u64 capped0;   // capped hash of the first pair
    Place place0;  // place of the first pair; identifies the key
    Place count;   // pairs stored, 1..N
  };
  // A later pair of a key (ordinal 1..N-1).
  struct [[gnu::packed]] Pair {
    u64 capped;
    Place key;  // place0 of its key
    Place place;
  };
  static constexpr u64 kNone = std::numeric_limits<u64>::max();

  // What a lookup of a pair finds.
  struct Lookup {
    bool key;   // its min hash is a key filed below the visible place
    u64 place;  // the candidate: the pair's place when filed below it with an ordinal below N, else kNone
  };

  // n = ncap.  Places must fit in Place (the caller checks).
  explicit PairIndex(u64 n) : n_(n) {}

  // Growing either table counts as work on `meter` (see GroupTable).
  void count_growth_on(WorkMeter& meter) {
    keys_.count_growth_on(meter);
    pairs_.count_growth_on(meter);
  }

  // Room for `keys` keys and `pairs` later pairs in all.
  void reserve(u64 keys, u64 pairs) {
    keys_.reserve(keys, key_of);
    if (n_ > 1) pairs_.reserve(pairs, pair_of);
  }
  // When a table is full, it grows to room for at least `keys` keys or
  // `pairs` later pairs in all (and at least twice its size): the owner's
  // estimate of what the input will file.  0 just doubles.
  void grow_to(u64 keys, u64 pairs) {
    grow_keys_to_ = keys;
    grow_pairs_to_ = pairs;
  }

  bool empty() const { return keys_.size() == 0; }
  u64 keys() const { return keys_.size(); }
  u64 pairs() const { return keys_.size() + pairs_.size(); }
  u64 bytes() const { return keys_.bytes() + pairs_.bytes(); }

  // Filing and lookups, with the tables' layout in the caller's locals;
  // nothing else may use the index while a Cursor is alive.  Pairs must be
  // filed in ascending place order.  Lookups are made for a message whose
  // own pairs may already be filed: `visible` is the message's first place,
  // and only pairs of earlier messages (places below it) are found.
  class Cursor {
   public:
    explicit Cursor(PairIndex& index) : ix_(index), keys_(index.keys_.view()), pairs_(index.pairs_.view()) {}
    ~Cursor() {
      ix_.keys_.adopt(keys_);
      ix_.pairs_.adopt(pairs_);
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // The key of `min`, or nullptr.  Valid until the next key().
    [[gnu::always_inline]] Key* find(u64 min) const {
      return const_cast<Key*>(keys_.find(keys_.mix(min), [&](const Key& s) { return s.min == min; }));
    }

    // The key of `min`; when there is none, a new key whose first pair is
    // (capped, place), with `added` set.  Valid until the next key().
    [[gnu::always_inline]] Key* key(u64 min, u64 capped, u64 place, bool& added) {
      if (keys_.full()) [[unlikely]] keys_ = ix_.grown(ix_.keys_, keys_, ix_.grow_keys_to_, key_of);
      Key* k = keys_.find_or_claim(keys_.mix(min), [&](const Key& s) { return s.min == min; }, added);
      if (added) *k = Key{min, capped, static_cast<Place>(place), 1};
      return k;
    }

    // Files (capped, place) as a later pair of k, unless it is stored or k
    // holds N pairs.
    [[gnu::always_inline]] void file_later(Key& k, u64 capped, u64 place) {
      if (k.capped0 == capped || k.count >= ix_.n_) return;
      if (k.count == 1) {
        fill(k, *claim(k, capped), capped, place);
        return;
      }
      bool claimed;
      Pair* p = find_or_claim(k, capped, claimed);
      if (claimed) fill(k, *p, capped, place);
    }

    // The place of the pair (k.min, capped) when it was filed below
    // `visible` with an ordinal below N; kNone otherwise.  With `file`, the
    // pair is also filed at `place` (as file_later does) when it is not
    // stored: one probe serves both.
    [[gnu::always_inline]] u64 find_pair(Key& k, u64 capped, u64 visible, bool file, u64 place) {
      if (k.capped0 == capped) return ix_.n_ > 0 && k.place0 < visible ? k.place0 : kNone;
      if (k.count >= ix_.n_ || !file) {
        if (k.count <= 1) return kNone;  // no later pairs
        const Pair* p = pairs_.find(pairs_.mix(pair_key(k.place0, capped)),
                                    [&](const Pair& s) { return s.capped == capped && s.key == k.place0; });
        return p != nullptr && p->place < visible ? p->place : kNone;
      }
      if (k.count == 1) {
        fill(k, *claim(k, capped), capped, place);
        return kNone;
      }
      bool claimed;
      Pair* p = find_or_claim(k, capped, claimed);
      if (claimed) {
        fill(k, *p, capped, place);
        return kNone;
      }
      return p->place < visible ? p->place : kNone;
    }

    void prefetch_key(u64 min) const { keys_.prefetch(keys_.mix(min)); }

    // The scan's questions, each answered with one key probe and, only for
    // a key with later pairs, one pair probe.

    // Whether `min` is a key filed below `visible`.
    [[gnu::always_inline]] bool is_key(u64 min, u64 visible) const {
      const Key* k = find(min);
      return k != nullptr && k->place0 < visible;
    }

    // Looks the pair (min, capped) up; with kFile, files it at `place` when
    // it is new, with the same probes.  A pair filed now is not below
    // `visible`.
    template <bool kFile>
    [[gnu::always_inline]] Lookup look_up(u64 min, u64 capped, u64 visible, u64 place) {
      if constexpr (kFile) {
        bool added;
        Key* k = key(min, capped, place, added);
        if (added) return {false, kNone};
        return {k->place0 < visible, find_pair(*k, capped, visible, true, place)};
      } else {
        Key* k = find(min);
        if (k == nullptr) return {false, kNone};
        return {k->place0 < visible, find_pair(*k, capped, visible, false, 0)};
      }
    }

    // Files (min, capped) at `place` unless it is stored or its key holds N
    // pairs.
    [[gnu::always_inline]] void file(u64 min, u64 capped, u64 place) {
      bool added;
      Key* k = key(min, capped, place, added);
      if (!added) file_later(*k, capped, place);
    }

   private:
    // A later pair's slot: a free one known to be new, or the search's.
    [[gnu::always_inline]] Pair* claim(const Key& k, u64 capped) {
      if (pairs_.full()) [[unlikely]] pairs_ = ix_.grown(ix_.pairs_, pairs_, ix_.grow_pairs_to_, pair_of);
      return pairs_.claim(pairs_.mix(pair_key(k.place0, capped)));
    }
    [[gnu::always_inline]] Pair* find_or_claim(const Key& k, u64 capped, bool& claimed) {
      if (pairs_.full()) [[unlikely]] pairs_ = ix_.grown(ix_.pairs_, pairs_, ix_.grow_pairs_to_, pair_of);
      const Place key = k.place0;
      return pairs_.find_or_claim(
          pairs_.mix(pair_key(key, capped)), [&](const Pair& s) { return s.capped == capped && s.key == key; }, claimed);
    }
    static void fill(Key& k, Pair& p, u64 capped, u64 place) {
      p = Pair{capped, k.place0, static_cast<Place>(place)};
      ++k.count;
    }

    PairIndex& ix_;
    typename GroupTable<Key>::View keys_;
    typename GroupTable<Pair>::View pairs_;
  };

 private:
  // A later pair is placed by its key's place0 and its capped hash, which
  // it holds, so either table can grow on its own.
  static constexpr struct {
    u64 operator()(const Key& k) const { return k.min; }
  } key_of{};
  static constexpr struct {
    u64 operator()(const Pair& p) const { return pair_key(p.key, p.capped); }
  } pair_of{};

  // `table`, whose entries `v` holds, grown: to room for `to` entries when
  // that is more than it holds, else twice its size.
  template <class Slot, class KeyOf>
  [[gnu::noinline]] static typename GroupTable<Slot>::View grown(GroupTable<Slot>& table,
                                                                 const typename GroupTable<Slot>::View& v, u64 to,
                                                                 KeyOf key_of) {
    if (to <= v.limit) return table.grow(v, key_of);
    table.adopt(v);
    table.reserve(to, key_of);
    return table.view();
  }

  u64 n_;
  u64 grow_keys_to_ = 0, grow_pairs_to_ = 0;
  GroupTable<Key> keys_;
  GroupTable<Pair> pairs_;
};

// A set of min hashes: those that the messages still to be scanned contain.
// Asked about every position of a long message, almost always in vain, so a
// bitmap of about 64 bits per member answers most misses with one bit.
class QuerySet {
  static constexpr struct {
    u64 operator()(u64 min) const { return min; }
  } key_of{};

 public:
  void count_growth_on(WorkMeter& meter) { slots_.count_growth_on(meter); }

  // Room for `hashes` members; call before inserting.
  void reserve(u64 hashes) {
    slots_.reserve(hashes * 2, key_of);  // a load below 1/2: misses end in the first group
    shift_ = 64 - std::min<u32>(40, std::max<u32>(10, static_cast<u32>(std::bit_width(hashes)) + 6));
    bits_.assign((u64{1} << (64 - shift_)) / 64, 0);
  }
  void insert(u64 min) {
    bool claimed;
    *slots_.find_or_claim(min, [&](u64 x) { return x == min; }, claimed, key_of) = min;
    const u64 b = slots_.view().mix(min) >> shift_;
    bits_[b / 64] |= u64{1} << (b % 64);
  }

  struct View {
    GroupTable<u64>::View slots;
    const u64* bits;
    u32 shift;
    [[gnu::always_inline]] bool contains(u64 min) const {
      const u64 mixed = slots.mix(min);
      const u64 b = mixed >> shift;
      if (((bits[b / 64] >> (b % 64)) & 1) == 0) return false;
      return slots.find(mixed, [&](u64 x) { return x == min; }) != nullptr;
    }
  };
  View view() const { return {slots_.view(), bits_.data(), shift_}; }

 private:
  GroupTable<u64> slots_;
  std::vector<u64> bits_;
  u32 shift_ = 63;
};

}  // namespace palimp::capped_detail
