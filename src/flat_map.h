// Open-addressing hash map from a 64-bit key to a small value, stored in one
// flat array of slots.
//
// The engines key their indexes by window hashes, which arrive already as
// 64-bit numbers; a general-purpose map would hash them again, allocate a node
// per key and scatter the lists.  Here a probe is one multiplication and, in
// the common case, one cache line.  The polynomial window hashes have poorly
// mixed low bits (base 257 is 1 modulo 256), so the slot comes from the high
// bits of a multiplicative mix.  Nothing is ever iterated: results depend only
// on which keys are present, never on slot order.
//
// V must be default-constructible, and a default-constructed V must report
// empty(); a slot holding an empty value is free.
#pragma once

#include <bit>
#include <cassert>
#include <vector>

#include "big_buffer.h"
#include "check.h"

namespace palimp {

template <class V>
class FlatMap64 {
 public:
  explicit FlatMap64(u64 expected_keys = 16) { rebuild(capacity_for(expected_keys)); }

  // The value stored under `key`, or nullptr.  Pointers stay valid until the
  // next insertion.
  V* find(u64 key) {
    assert(size_ <= mask_);  // a free slot ends every probe
    for (u64 i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.value.empty()) return nullptr;
      if (s.key == key) return &s.value;
    }
  }
  const V* find(u64 key) const { return const_cast<FlatMap64*>(this)->find(key); }

  // The value under `key`, default-constructed first when absent; the caller
  // must leave it non-empty.
  V& find_or_insert(u64 key) {
    if ((size_ + 1) * 10 > (mask_ + 1) * 7) rebuild((mask_ + 1) * 2);
    for (u64 i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.value.empty()) {
        s.key = key;
        ++size_;
        assert(size_ * 10 <= (mask_ + 1) * 7);  // at most 7/10 full
        return s.value;
      }
      if (s.key == key) return s.value;
    }
  }

  void prefetch(u64 key) const { __builtin_prefetch(&slots_[slot_of(key)]); }
  u64 size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Slot {
    u64 key = 0;
    V value{};
  };

  static u64 capacity_for(u64 keys) {
    const u64 want = keys < 16 ? 16 : keys + keys / 2;
    return want >= (u64{1} << 62) ? (u64{1} << 62) : std::bit_ceil(want);
  }
  u64 slot_of(u64 key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }

  void rebuild(u64 capacity) {
    assert(std::has_single_bit(capacity) && capacity > size_);
    std::vector<Slot, BigAllocator<Slot>> old;
    old.swap(slots_);
    slots_.resize(capacity);
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    for (Slot& s : old) {
      if (s.value.empty()) continue;
      u64 i = slot_of(s.key);
      while (!slots_[i].value.empty()) i = (i + 1) & mask_;
      slots_[i] = std::move(s);
    }
  }

  std::vector<Slot, BigAllocator<Slot>> slots_;
  u64 mask_ = 0;
  u32 shift_ = 64;
  u64 size_ = 0;
};

}  // namespace palimp
