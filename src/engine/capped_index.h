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
// Place is the width of stored places: u32 when every place fits (16-byte
// pair slots, 24-byte key slots), u64 otherwise.
#pragma once

#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "big_buffer.h"
#include "check.h"
#include "engine/short_lists.h"

namespace palimp::capped_detail {

// Window hashes have poorly mixed low bits (base 257 is 1 modulo 256); these
// multiplications carry every bit into the high ones, which pick the group,
// and into the middle ones, which give the tag.  Whoever writes the input
// chooses the window hashes, so the multipliers that place them are drawn
// once per process at random (see hash_seed): with fixed ones, a crafted
// input could pile its keys onto a few groups.  Tables are never iterated,
// so the segments do not depend on the draw.
inline const u64 kKeyMultiplier = hash_seed() | 1;
inline const u64 kPairMultiplier = hash_seed() | 1;
inline u64 mix_key(u64 min) { return (min ^ (min >> 31)) * kKeyMultiplier; }
inline u64 mix_pair(u64 key, u64 capped) {
  u64 x = key * 0x9E3779B97F4A7C15ull + capped;
  x ^= x >> 32;
  return x * kPairMultiplier;
}

// Open addressing over groups of sixteen slots, with one control byte per
// slot: 0x80 for a free slot, else a 7-bit tag of the entry's mixed hash.
// A search compares the sixteen control bytes of a group with the tag at
// once, so a miss costs about one group whatever the load, and the load may
// reach 7/8.  Entries are only added, never removed: a
// search can stop at the first group with a free slot, and a new entry
// takes the first free slot of the search.  The group of an entry is picked
// from the high bits of its mixed hash scaled to the group count, which
// spreads any count, not only powers of two.
//
// The layout is a View, a small value that hot loops copy into locals: the
// compiler then keeps it in registers, which it cannot do for fields that a
// store into a slot might alias.  A loop that adds entries hands its View
// back (adopt) before anything else reads the table.
//
// Slot must be trivially copyable; free slots are left uninitialised.
template <class Slot>
class GroupTable {
  static constexpr u64 kGroup = group_probe::kWidth;
  static constexpr u64 kGroupBytes = kGroup * (sizeof(Slot) + 1);
  static constexpr u8 kFree = group_probe::kFree;

 public:
  struct View {
    Slot* slots = nullptr;
    u8* ctrl = nullptr;
    u64 groups = 0;
    u64 size = 0;
    u64 limit = 0;  // entries allowed before the table must grow

    bool full() const { return size >= limit; }

    // The entry with eq(entry), searched from the group of `mixed`; nullptr
    // when there is none.
    template <class Eq>
    [[gnu::always_inline]] const Slot* find(u64 mixed, Eq&& eq) const {
      if (groups == 0) return nullptr;
      const u8 tag = group_probe::tag_of(mixed);
      for (u64 g = group_of(mixed);; g = g + 1 == groups ? 0 : g + 1) {
        const group_probe::Masks mk = group_probe::masks(ctrl + g * kGroup, tag);
        for (u32 m = mk.match; m != 0; m &= m - 1) {
          const Slot& s = slots[g * kGroup + std::countr_zero(m)];
          if (eq(s)) return &s;
        }
        if (mk.free != 0) return nullptr;
      }
    }

    // The entry with eq(entry), or else the slot that a new entry of
    // `mixed` takes, with `claimed` set; the caller must fill that slot.
    // Requires !full().
    template <class Eq>
    [[gnu::always_inline]] Slot* find_or_claim(u64 mixed, Eq&& eq, bool& claimed) {
      const u8 tag = group_probe::tag_of(mixed);
      for (u64 g = group_of(mixed);; g = g + 1 == groups ? 0 : g + 1) {
        const group_probe::Masks mk = group_probe::masks(ctrl + g * kGroup, tag);
        for (u32 m = mk.match; m != 0; m &= m - 1) {
          Slot& s = slots[g * kGroup + std::countr_zero(m)];
          if (eq(s)) {
            claimed = false;
            return &s;
          }
        }
        if (mk.free != 0) {
          const u64 i = g * kGroup + std::countr_zero(mk.free);
          ctrl[i] = tag;
          ++size;
          claimed = true;
          return &slots[i];
        }
      }
    }

    // The slot that a new entry of `mixed` takes, known to be absent.
    // Requires !full().
    [[gnu::always_inline]] Slot* claim(u64 mixed) {
      const u8 tag = group_probe::tag_of(mixed);
      for (u64 g = group_of(mixed);; g = g + 1 == groups ? 0 : g + 1) {
        if (const u32 free = group_probe::masks(ctrl + g * kGroup, tag).free) {
          const u64 i = g * kGroup + std::countr_zero(free);
          ctrl[i] = tag;
          ++size;
          return &slots[i];
        }
      }
    }

    void prefetch(u64 mixed) const {
      if (groups == 0) return;
      const u64 g = group_of(mixed);
      __builtin_prefetch(ctrl + g * kGroup);
      __builtin_prefetch(slots + g * kGroup);
    }

    u64 group_of(u64 mixed) const {
      return static_cast<u64>((static_cast<unsigned __int128>(mixed) * groups) >> 64);
    }
  };

  GroupTable() = default;
  GroupTable(const GroupTable&) = delete;
  GroupTable& operator=(const GroupTable&) = delete;
  ~GroupTable() { release(); }

  u64 size() const { return v_.size; }
  u64 bytes() const { return v_.groups * kGroupBytes; }
  const View& view() const { return v_; }
  void adopt(const View& v) { v_ = v; }

  // Room for `entries` in all without growing.  mix(slot) gives an
  // entry's mixed hash.
  template <class Mix>
  void reserve(u64 entries, Mix&& mix) {
    const u64 groups = (entries + entries / 7) / kGroup + 1;  // load 7/8
    if (groups > v_.groups) rebuild(groups, mix);
  }

  // The table of `v` (a copy of this one's view with entries added), grown
  // to twice the size; returns the new view.
  template <class Mix>
  [[gnu::noinline]] View grow(const View& v, Mix&& mix) {
    v_ = v;
    rebuild(std::max<u64>(2, v_.groups * 2), mix);
    return v_;
  }

  // One entry, for callers outside hot loops.
  template <class Eq, class Mix>
  Slot* find_or_claim(u64 mixed, Eq&& eq, bool& claimed, Mix&& mix) {
    if (v_.full()) v_ = grow(v_, mix);
    return v_.find_or_claim(mixed, eq, claimed);
  }

 private:
  template <class Mix>
  void rebuild(u64 groups, Mix&& mix) {
    PALIMP_CHECK(groups <= (u64{1} << 56) / kGroupBytes);
    // One block: the slots, then their control bytes.
    u8* block = static_cast<u8*>(allocate_big(groups * kGroupBytes));
    View fresh;
    fresh.slots = reinterpret_cast<Slot*>(block);
    fresh.ctrl = block + groups * kGroup * sizeof(Slot);
    fresh.groups = groups;
    fresh.limit = groups * kGroup / 8 * 7;  // load 7/8
    std::memset(fresh.ctrl, kFree, groups * kGroup);
    for (u64 i = 0; i < v_.groups * kGroup; ++i) {
      if (v_.ctrl[i] != kFree) *fresh.claim(mix(v_.slots[i])) = v_.slots[i];
    }
    release();
    v_ = fresh;
  }
  void release() {
    release_big(v_.slots, v_.groups * kGroupBytes);
    v_ = View{};
  }

  View v_;
};

template <class Place>
class PairIndex {
 public:
  // A key: its min hash, its first pair, and how many pairs it stores.
  struct Key {
    u64 min;
    u64 capped0;   // capped hash of the first pair
    Place place0;  // place of the first pair; identifies the key
    Place count;   // pairs stored, 1..N
  };
  // A later pair of a key (ordinal 1..N-1).
  struct Pair {
    u64 capped;
    Place key;  // place0 of its key
    Place place;
  };
  static constexpr u64 kNone = std::numeric_limits<u64>::max();

  // n = ncap.  Places must fit in Place (the caller checks).
  explicit PairIndex(u64 n) : n_(n) {}

  // Room for `keys` keys and `pairs` later pairs in all.
  void reserve(u64 keys, u64 pairs) {
    keys_.reserve(keys, key_mix);
    if (n_ > 1) pairs_.reserve(pairs, pair_mix);
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
      return const_cast<Key*>(keys_.find(mix_key(min), [&](const Key& s) { return s.min == min; }));
    }

    // The key of `min`; when there is none, a new key whose first pair is
    // (capped, place), with `added` set.  Valid until the next key().
    [[gnu::always_inline]] Key* key(u64 min, u64 capped, u64 place, bool& added) {
      if (keys_.full()) [[unlikely]] keys_ = ix_.keys_.grow(keys_, key_mix);
      Key* k = keys_.find_or_claim(mix_key(min), [&](const Key& s) { return s.min == min; }, added);
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
        const Pair* p = pairs_.find(mix_pair(k.place0, capped),
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

    void prefetch_key(u64 min) const { keys_.prefetch(mix_key(min)); }

   private:
    // A later pair's slot: a free one known to be new, or the search's.
    [[gnu::always_inline]] Pair* claim(const Key& k, u64 capped) {
      if (pairs_.full()) [[unlikely]] pairs_ = ix_.pairs_.grow(pairs_, pair_mix);
      return pairs_.claim(mix_pair(k.place0, capped));
    }
    [[gnu::always_inline]] Pair* find_or_claim(const Key& k, u64 capped, bool& claimed) {
      if (pairs_.full()) [[unlikely]] pairs_ = ix_.pairs_.grow(pairs_, pair_mix);
      const Place key = k.place0;
      return pairs_.find_or_claim(
          mix_pair(key, capped), [&](const Pair& s) { return s.capped == capped && s.key == key; }, claimed);
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
    u64 operator()(const Key& k) const { return mix_key(k.min); }
  } key_mix{};
  static constexpr struct {
    u64 operator()(const Pair& p) const { return mix_pair(p.key, p.capped); }
  } pair_mix{};

  u64 n_;
  GroupTable<Key> keys_;
  GroupTable<Pair> pairs_;
};

// A set of min hashes: those that the messages still to be scanned contain.
// Asked about every position of a long message, almost always in vain, so a
// bitmap of about 64 bits per member answers most misses with one bit.
class QuerySet {
  static constexpr struct {
    u64 operator()(u64 min) const { return mix_key(min); }
  } mix{};

 public:
  // Room for `hashes` members; call before inserting.
  void reserve(u64 hashes) {
    slots_.reserve(hashes * 2, mix);  // a load below 1/2: misses end in the first group
    shift_ = 64 - std::min<u32>(40, std::max<u32>(10, static_cast<u32>(std::bit_width(hashes)) + 6));
    bits_.assign((u64{1} << (64 - shift_)) / 64, 0);
  }
  void insert(u64 min) {
    bool claimed;
    const u64 mixed = mix_key(min);
    *slots_.find_or_claim(mixed, [&](u64 x) { return x == min; }, claimed, mix) = min;
    const u64 b = mixed >> shift_;
    bits_[b / 64] |= u64{1} << (b % 64);
  }

  struct View {
    GroupTable<u64>::View slots;
    const u64* bits;
    u32 shift;
    [[gnu::always_inline]] bool contains(u64 min) const {
      const u64 mixed = mix_key(min);
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
