// The hash table of both engines' indexes: open addressing over groups of
// sixteen slots, each slot with a control byte.
//
// WHY A TABLE OF OUR OWN.  The indexes file one entry per window of the
// input, and most of their searches miss (a window of a new message that no
// earlier message has).  Three things decide their speed and memory, and a
// general-purpose map gives none of them:
// - a miss must cost one comparison whatever the load.  Here a search
//   compares a group's sixteen control bytes with the key's tag at once and
//   stops at the first group with a free slot, so tables can fill to 7/8.
//   With slots probed one by one, the probe loop's exit mispredicted more as
//   tables filled: on short conversations such tables had to stay about a
//   quarter full to stay fast;
// - slots are the caller's own packed struct (12 bytes for a 64-bit key and
//   a 32-bit list word, 24 for a key with its first pair), with no per-entry
//   allocation, so a key costs about 15 bytes in all;
// - a table is sized in advance for exactly the entries a message will add
//   (any group count, not only powers of two), so filing never rehashes.
//
// CONTRACT.  Entries are only added, never removed, and a table is never
// iterated where its order could reach the output: what a search finds
// depends only on which entries are present.  A new entry takes the first
// free slot of its search.  Slot must be trivially copyable; free slots are
// left uninitialised.
//
// PLACEMENT.  The caller gives each entry a 64-bit key; the table mixes it
// as (key ^ key >> 29) * mul, takes the group from the high bits of the mix
// scaled to the group count and the tag from its middle bits.  Keys that are
// polynomial window hashes have poorly mixed low bits, which the
// multiplication carries into the high ones.  Whoever writes the input
// chooses the window hashes, and with a fixed mix could pile every key onto
// a few groups and make each search walk them all; so every table draws its
// own odd mul (hash_seed) when it is first made, which nobody outside the
// process can know or choose.  Two distinct keys then share the high bits
// of their mix about as often as random values would (multiplicative
// hashing by a random odd number is universal), and an added constant would
// not change that, only cost a register in every hot loop.
//
// The layout is a View, a small value that hot loops copy into locals: the
// compiler then keeps it in registers, which it cannot do for fields that a
// store into a slot might alias.  A loop that adds entries hands its View
// back (adopt) before anything else reads the table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <utility>

#include "big_buffer.h"
#include "check.h"
#include "interrupt.h"

namespace palimp {

// A fresh 64-bit value at every call, unpredictable from outside the
// process: a process-wide random seed, drawn once, stepped by a counter and
// mixed.  Costs a few instructions.
u64 hash_seed();

namespace group_probe {

inline constexpr u64 kWidth = 16;  // slots per group
inline constexpr u8 kFree = 0x80;  // control byte of a free slot; tags are 7 bits

inline u8 tag_of(u64 mixed) { return static_cast<u8>((mixed >> 25) & 0x7F); }

// Of the sixteen control bytes at c: which hold `tag`, which are free (bit i
// for byte i).  Free bytes never equal a tag.
struct Masks {
  u32 match, free;
};
inline Masks masks(const u8* c, u8 tag) {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
  const __m128i eq = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(tag)));
  return {static_cast<u32>(_mm_movemask_epi8(eq)), static_cast<u32>(_mm_movemask_epi8(bytes))};
#else
  Masks m{0, 0};
  for (u32 i = 0; i < kWidth; ++i) {
    m.match |= static_cast<u32>(c[i] == tag) << i;
    m.free |= static_cast<u32>(c[i] >> 7) << i;
  }
  return m;
#endif
}

}  // namespace group_probe

template <class Slot>
class GroupTable {
  static constexpr u64 kGroup = group_probe::kWidth;
  static constexpr u64 kGroupBytes = kGroup * (sizeof(Slot) + 1);
  static constexpr u8 kFree = group_probe::kFree;

 public:
  struct View {
    Slot* slots = nullptr;  // groups * 16 of them, then their control bytes
    u8* ctrl = nullptr;
    u64 groups = 0;
    u64 size = 0;
    u64 limit = 0;  // entries allowed before the table must grow
    u64 mul = 1;    // odd; the table's own mix

    bool full() const { return size >= limit; }
    u64 mix(u64 key) const { return (key ^ (key >> 29)) * mul; }

    // The entry with eq(entry), searched from the group of `mixed`
    // (= mix(key)); nullptr when there is none.
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
    template <class Eq>
    [[gnu::always_inline]] Slot* find(u64 mixed, Eq&& eq) {
      return const_cast<Slot*>(std::as_const(*this).find(mixed, eq));
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

    // The high bits of the mix scaled to the group count: any count works.
    u64 group_of(u64 mixed) const {
      return static_cast<u64>((static_cast<unsigned __int128>(mixed) * groups) >> 64);
    }
  };

  GroupTable() = default;  // allocates nothing until the first entry or reserve
  GroupTable(GroupTable&& o) noexcept : v_(std::exchange(o.v_, View{})), meter_(o.meter_) {}
  GroupTable& operator=(GroupTable&& o) noexcept {
    if (this != &o) {
      release();
      v_ = std::exchange(o.v_, View{});
      meter_ = o.meter_;
    }
    return *this;
  }
  GroupTable(const GroupTable&) = delete;
  GroupTable& operator=(const GroupTable&) = delete;
  ~GroupTable() { release(); }

  // Growing the table counts its entries, filed again, on `meter` (which
  // must outlive every growth); its interrupt may then end a growth, and
  // the table stays as it was.
  void count_growth_on(WorkMeter& meter) { meter_ = &meter; }

  u64 size() const { return v_.size; }
  bool empty() const { return v_.size == 0; }
  u64 capacity() const { return v_.groups * kGroup; }  // slots
  u64 limit() const { return v_.limit; }               // entries it takes before it grows
  u64 bytes() const { return v_.groups * kGroupBytes; }
  const View& view() const { return v_; }
  void adopt(const View& v) { v_ = v; }

  // Groups that hold `entries` at a load of at most 7/8, and the entries
  // that `groups` groups take before they grow.
  static u64 groups_for(u64 entries) { return (entries + entries / 7) / kGroup + 1; }
  static u64 limit_of(u64 groups) { return groups * kGroup - groups * kGroup / 8; }

  // Room for `entries` in all, so that adding up to that many does not
  // grow the table.  It grows at least twofold, so that callers reserving
  // a little more message after message rebuild it only O(log n) times.
  // key_of(slot) gives an entry's key.
  template <class KeyOf>
  void reserve(u64 entries, KeyOf&& key_of) {
    if (entries > v_.limit) rebuild(std::max(v_.groups * 2, groups_for(entries)), key_of);
  }

  // The table of `v` (a copy of this one's view with entries added), grown
  // to twice the size; returns the new view.
  template <class KeyOf>
  [[gnu::noinline]] View grow(const View& v, KeyOf&& key_of) {
    v_ = v;
    rebuild(std::max<u64>(1, v_.groups * 2), key_of);
    return v_;
  }

  // One entry, for callers outside hot loops: as View::find_or_claim, for
  // the key `key`, growing the table first when it is full.
  template <class Eq, class KeyOf>
  Slot* find_or_claim(u64 key, Eq&& eq, bool& claimed, KeyOf&& key_of) {
    if (v_.full()) grow(v_, key_of);
    return v_.find_or_claim(v_.mix(key), eq, claimed);
  }

 private:
  template <class KeyOf>
  void rebuild(u64 groups, KeyOf&& key_of) {
    PALIMP_CHECK(groups <= (u64{1} << 56) / kGroupBytes);
    u8* block = static_cast<u8*>(allocate_big(groups * kGroupBytes));
    struct Guard {  // frees the new block when an interrupt ends the growth
      u8* block;
      u64 bytes;
      ~Guard() {
        if (block != nullptr) release_big(block, bytes);
      }
    } guard{block, groups * kGroupBytes};
    View fresh;
    fresh.slots = reinterpret_cast<Slot*>(block);
    fresh.ctrl = block + groups * kGroup * sizeof(Slot);
    fresh.groups = groups;
    fresh.limit = limit_of(groups);
    if (v_.groups == 0) {  // the mix is drawn once, when the table is first made
      fresh.mul = hash_seed() | 1;
    } else {
      fresh.mul = v_.mul;
    }
    std::memset(fresh.ctrl, kFree, groups * kGroup);
    for (u64 i = 0; i < v_.groups * kGroup; ++i) {
      if (meter_ != nullptr && ((i + 1) & (work_units::kCountEvery - 1)) == 0) {
        meter_->add(work_units::kCountEvery * work_units::kWindowFiled);
      }
      if (v_.ctrl[i] != kFree) *fresh.claim(fresh.mix(key_of(v_.slots[i]))) = v_.slots[i];
    }
    guard.block = nullptr;
    fresh.size = v_.size;
    release();
    v_ = fresh;
  }
  void release() noexcept {
    if (v_.slots != nullptr) release_big(v_.slots, bytes());
    v_ = View{};
  }

  View v_;
  WorkMeter* meter_ = nullptr;
};

}  // namespace palimp
