// Short append-only lists of unsigned values, and a hash map from a 64-bit
// key to such a list: the storage of the exact engine's candidate index.
//
// Every list the index keeps holds at most MAX_CANDIDATES values, most hold
// one, and a list only ever grows at its end.  A general-purpose map of
// vectors would spend a heap block, a pointer and a size on each; here a list
// of one value lives in a single word, a longer one in a block of a shared
// pool, and the map's slots are 12 bytes (with a control byte each).
//
// V is u32 or u64, the width of the values; it also bounds the pool's size.
#pragma once

#include <bit>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "check.h"
#include "engine/group_table.h"

namespace palimp {

// A list in one word of V: 0 is the empty list; a value v alone is stored as
// v + 1; a longer list as kPooled | (offset of its block in the pool).
template <class V>
struct ShortList {
  static constexpr V kPooled = V{1} << (8 * sizeof(V) - 1);
  static constexpr V kMaxValue = kPooled - 2;  // largest value a list can hold
  V word = 0;
  bool empty() const { return word == 0; }
};

// A read-only view of one list, valid while the list neither moves nor
// grows.  Value i is data[i] - bias: a list of one value is read from its
// own word, where the value is stored plus one.
template <class V>
struct ShortListView {
  const V* data = nullptr;
  u32 size = 0;
  V bias = 0;
  V operator[](u32 i) const { return data[i] - bias; }
};

// The blocks of all lists longer than one value.  A block of capacity c holds
// the list's length and then up to c values; a list that outgrows its block
// moves to one twice as large and leaves the old one for reuse.  Storage
// comes in chunks that never move, small at first (most inputs are small)
// and up to 2^16 values each; a block's offset is its chunk number times 2^16
// plus its place in the chunk.  Chunk 0, the smallest, lives in the pool
// itself, so a short conversation's lists allocate nothing.
template <class V>
class ShortListPool {
 public:
  explicit ShortListPool(u32 max_size) : max_size_(max_size) { PALIMP_CHECK(max_size <= capacity(kClasses - 1)); }

  // Appends v (<= kMaxValue) unless the list holds max_size values already;
  // returns whether it did.
  bool append(ShortList<V>& list, V v) {
    if (list.word == 0) {  // most lists hold one value
      list = single(v);
      return true;
    }
    return append_to_block(list, v);
  }
  // The list of v (<= kMaxValue) alone, which needs no block.
  static ShortList<V> single(V v) { return ShortList<V>{static_cast<V>(v + 1)}; }

  // Empties the list, releasing its block.
  void clear(ShortList<V>& list) {
    if (list.word & ShortList<V>::kPooled) {
      const u64 at = list.word & ~ShortList<V>::kPooled;
      release(class_of(block(at)[0]), at);
    }
    list.word = 0;
  }

  ShortListView<V> view(const ShortList<V>& list) const {
    if (list.word == 0) return {};
    if (!(list.word & ShortList<V>::kPooled)) return {&list.word, 1, 1};
    const V* b = block(list.word & ~ShortList<V>::kPooled);
    return {b + 1, static_cast<u32>(b[0]), 0};
  }

  u64 size(ShortList<V> list) const {
    if (list.word == 0) return 0;
    if (!(list.word & ShortList<V>::kPooled)) return 1;
    return block(list.word & ~ShortList<V>::kPooled)[0];
  }

 private:
  [[gnu::noinline]] bool append_to_block(ShortList<V>& list, V v) {
    if (!(list.word & ShortList<V>::kPooled)) {
      if (max_size_ < 2) return false;
      const u64 at = allocate(0);
      V* b = block(at);
      b[0] = 2;
      b[1] = list.word - 1;
      b[2] = v;
      list.word = static_cast<V>(ShortList<V>::kPooled | at);
      return true;
    }
    const u64 at = list.word & ~ShortList<V>::kPooled;
    V* b = block(at);
    const u64 size = b[0];
    if (size >= max_size_) return false;
    const u32 cls = class_of(size);
    if (size < capacity(cls)) {
      b[1 + size] = v;
      b[0] = static_cast<V>(size + 1);
      return true;
    }
    const u64 moved = allocate(cls + 1);
    V* nb = block(moved);  // chunks never move, so b stays valid
    std::copy(b, b + 1 + size, nb);
    nb[1 + size] = v;
    nb[0] = static_cast<V>(size + 1);
    release(cls, at);
    list.word = static_cast<V>(ShortList<V>::kPooled | moved);
    return true;
  }

  static constexpr u32 kChunkBits = 16;
  static constexpr u64 kFirstChunk = 64;  // values in the first chunk; each next one doubles
  static constexpr u32 kClasses = 6;       // capacities 3, 7, ..., 127 (2^(c+2) - 1)

  static u64 capacity(u32 cls) { return (u64{4} << cls) - 1; }
  static u32 class_of(u64 size) {  // smallest class holding `size` values
    return size <= 3 ? 0 : static_cast<u32>(std::bit_width(size)) - 2;
  }

  const V* chunk(u64 c) const { return c == 0 ? first_chunk_ : chunks_[c - 1].get(); }
  V* block(u64 at) { return const_cast<V*>(std::as_const(*this).block(at)); }
  const V* block(u64 at) const { return chunk(at >> kChunkBits) + (at & ((u64{1} << kChunkBits) - 1)); }

  // Offset of a free block of class `cls`; its contents are unspecified.
  u64 allocate(u32 cls) {
    PALIMP_CHECK(cls < kClasses);
    if (free_[cls] != kNone) {
      const u64 at = free_[cls];
      free_[cls] = block(at)[0];
      return at;
    }
    const u64 need = capacity(cls) + 1;
    if (used_ + need > chunk_size_) {
      // The tail of the last chunk (less than one block) is left unused.
      chunk_size_ = std::max(need, std::min(2 * chunk_size_, u64{1} << kChunkBits));
      chunks_.push_back(std::make_unique_for_overwrite<V[]>(chunk_size_));
      used_ = 0;
      PALIMP_CHECK(chunks_.size() < (ShortList<V>::kPooled >> kChunkBits));
    }
    const u64 at = chunks_.size() << kChunkBits | used_;  // chunks_ holds chunks 1..
    used_ += need;
    return at;
  }

  void release(u32 cls, u64 at) {
    block(at)[0] = static_cast<V>(free_[cls]);
    free_[cls] = at;
  }

  static constexpr u64 kNone = ShortList<V>::kPooled;  // no valid offset reaches it
  u32 max_size_;
  V first_chunk_[kFirstChunk];                // chunk 0
  std::vector<std::unique_ptr<V[]>> chunks_;  // chunks 1, 2, ...
  u64 chunk_size_ = kFirstChunk;  // values in the last chunk
  u64 used_ = 0;                  // values used in the last chunk
  u64 free_[kClasses] = {kNone, kNone, kNone, kNone, kNone, kNone};
};

// Map from a 64-bit key to a ShortList, on the engines' group table: 12-byte
// slots (a key and a u32 list word) and a control byte each, at a load of at
// most 7/8, so a key costs about 15 bytes.  Keys are only added.
template <class V>
class ShortListMap {
  // Four-byte aligned: 12 bytes for u32 lists.
  struct Slot {
    u32 key_lo, key_hi;
    ShortList<V> list;
    u64 key() const { return u64{key_hi} << 32 | key_lo; }
  };
  static constexpr struct {
    u64 operator()(const Slot& s) const { return s.key(); }
  } key_of{};

 public:
  // Growing the table counts as work on `meter` (see GroupTable).
  void count_growth_on(WorkMeter& meter) { t_.count_growth_on(meter); }

  // Makes room for `keys` keys in all, so inserting up to that many will not
  // grow the table.  Most lookups of the exact engine miss (a window of new
  // material), and a miss ends sooner the emptier the table: tables small
  // enough for the caches get a power-of-two group count, on average 1.4
  // times the room; big ones are sized close to 7/8, where memory counts.
  void reserve(u64 keys) {
    const u64 groups = GroupTable<Slot>::groups_for(keys);
    if (groups < kRoundBelow) keys = GroupTable<Slot>::limit_of(std::bit_ceil(groups));
    t_.reserve(keys, key_of);
  }

  // The list under `key`, or nullptr.  Valid until the next insertion.
  [[gnu::always_inline]] const ShortList<V>* find(u64 key) const {
    const auto& v = t_.view();
    const Slot* s = v.find(v.mix(key), [&](const Slot& e) { return e.key() == key; });
    return s != nullptr ? &s->list : nullptr;
  }
  ShortList<V>* find(u64 key) { return const_cast<ShortList<V>*>(std::as_const(*this).find(key)); }

  // The list under `key`, new and empty when absent; the caller must leave it
  // non-empty.  Valid until the next insertion.
  ShortList<V>& find_or_insert(u64 key) {
    bool claimed;
    Slot* s = t_.find_or_claim(key, [&](const Slot& e) { return e.key() == key; }, claimed, key_of);
    if (claimed) *s = Slot{static_cast<u32>(key), static_cast<u32>(key >> 32), ShortList<V>{}};
    return s->list;
  }

  // pool.append(find_or_insert(key), v), in one step: a new key's list
  // (of v alone) is written with its slot.
  bool append(u64 key, V v, ShortListPool<V>& pool) {
    bool added;
    ShortList<V>* list = find_or_add(key, v, added);
    return added || pool.append(*list, v);
  }

  // The list under `key`; when absent, a new list of v alone, with `added`
  // set.  Valid until the next insertion.
  ShortList<V>* find_or_add(u64 key, V v, bool& added) {
    Slot* s = t_.find_or_claim(key, [&](const Slot& e) { return e.key() == key; }, added, key_of);
    if (added) *s = Slot{static_cast<u32>(key), static_cast<u32>(key >> 32), ShortListPool<V>::single(v)};
    return &s->list;
  }

  void prefetch(u64 key) const { t_.view().prefetch(t_.view().mix(key)); }
  u64 size() const { return t_.size(); }
  bool empty() const { return t_.empty(); }
  u64 capacity() const { return t_.capacity(); }  // slots
  u64 limit() const { return t_.limit(); }        // keys it takes before it grows

 private:
  static constexpr u64 kRoundBelow = u64{1} << 16;  // groups: 1 Mi slots, some 13 MiB
  GroupTable<Slot> t_;
};

}  // namespace palimp
