// Short append-only lists of unsigned values, and a hash map from a 64-bit
// key to such a list: the storage of the exact engine's candidate index.
//
// Every list the index keeps holds at most MAX_CANDIDATES values, most hold
// one, and a list only ever grows at its end.  A general-purpose map of
// vectors would spend a heap block, a pointer and a size on each; here a list
// of one value lives in a single word, a longer one in a block of a shared
// pool, and the map's slots are 12 bytes.
//
// V is u32 or u64, the width of the values; it also bounds the pool's size.
#pragma once

#include <bit>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "big_buffer.h"
#include "check.h"

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
// plus its place in the chunk.
template <class V>
class ShortListPool {
 public:
  explicit ShortListPool(u32 max_size) : max_size_(max_size) { PALIMP_CHECK(max_size <= capacity(kClasses - 1)); }

  // Appends v (<= kMaxValue) unless the list holds max_size values already;
  // returns whether it did.
  bool append(ShortList<V>& list, V v) {
    if (list.word == 0) {  // most lists hold one value
      list.word = v + 1;
      return true;
    }
    return append_to_block(list, v);
  }

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

  V* block(u64 at) { return chunks_[at >> kChunkBits].get() + (at & ((u64{1} << kChunkBits) - 1)); }
  const V* block(u64 at) const { return chunks_[at >> kChunkBits].get() + (at & ((u64{1} << kChunkBits) - 1)); }

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
      chunk_size_ = std::max(need, chunks_.empty() ? kFirstChunk : std::min(2 * chunk_size_, u64{1} << kChunkBits));
      chunks_.push_back(std::make_unique_for_overwrite<V[]>(chunk_size_));
      used_ = 0;
      PALIMP_CHECK(chunks_.size() < (ShortList<V>::kPooled >> kChunkBits));
    }
    const u64 at = (chunks_.size() - 1) << kChunkBits | used_;
    used_ += need;
    return at;
  }

  void release(u32 cls, u64 at) {
    block(at)[0] = static_cast<V>(free_[cls]);
    free_[cls] = at;
  }

  static constexpr u64 kNone = ShortList<V>::kPooled;  // no valid offset reaches it
  u32 max_size_;
  std::vector<std::unique_ptr<V[]>> chunks_;
  u64 chunk_size_ = 0;  // values in the last chunk
  u64 used_ = 0;        // values used in the last chunk
  u64 free_[kClasses] = {kNone, kNone, kNone, kNone, kNone, kNone};
};

// Open-addressing map from a 64-bit key to a ShortList, in one flat array of
// slots probed linearly.  The slot count of a big table need not be a power
// of two, so a table sized in advance holds its keys at a load close to its
// target; small ones are powers of two, whose slots are cheaper to find.  Keys
// that arrive as polynomial window hashes have poorly mixed low bits, so the
// home slot comes from the high bits of a multiplicative mix.
//
// The input decides the keys, and whoever writes it can choose window hashes
// freely; with a fixed mix they could pile every key onto a few slots and
// make each probe walk them all.  So each map draws its own multiplier and
// offset (see hash_seed), which nobody outside can know or choose.  Nothing
// is ever iterated: results depend only on which keys are present, never on
// where they sit.
// A fresh 64-bit value at every call, unpredictable from outside the
// process: a process-wide random seed, drawn once, stepped by a counter and
// mixed.  Costs a few instructions.
u64 hash_seed();

template <class V>
class ShortListMap {
 public:
  ShortListMap() = default;  // allocates nothing until the first insertion
  ShortListMap(ShortListMap&&) noexcept = default;
  ShortListMap& operator=(ShortListMap&&) noexcept = default;

  // Makes room for `keys` keys in all, so inserting up to that many will not
  // grow the table.
  void reserve(u64 keys) {
    if (keys > limit_) rebuild(std::max(capacity_ * 2, keys < kDenseFrom / 2 ? std::bit_ceil(2 * keys) : keys + keys / 4));
  }

  // The list under `key`, or nullptr.  Valid until the next insertion.
  const ShortList<V>* find(u64 key) const {
    if (size_ == 0) return nullptr;
    for (u64 i = home(key);; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.list.empty()) return nullptr;
      if (s.key() == key) return &s.list;
    }
  }
  ShortList<V>* find(u64 key) { return const_cast<ShortList<V>*>(std::as_const(*this).find(key)); }

  // The list under `key`, new and empty when absent; the caller must leave it
  // non-empty.  Valid until the next insertion.
  ShortList<V>& find_or_insert(u64 key) {
    if (size_ >= limit_) rebuild(std::max<u64>(16, capacity_ * 2));
    for (u64 i = home(key);; i = next(i)) {
      Slot& s = slots_[i];
      if (s.list.empty()) {
        s.set_key(key);
        ++size_;
        return s.list;
      }
      if (s.key() == key) return s.list;
    }
  }

  void prefetch(u64 key) const {
    if (capacity_ > 0) __builtin_prefetch(&slots_[home(key)]);
  }
  u64 size() const { return size_; }
  bool empty() const { return size_ == 0; }
  u64 capacity() const { return capacity_; }  // slots
  u64 limit() const { return limit_; }        // keys it takes before it grows
  u64 memory() const { return capacity_ * sizeof(Slot); }

 private:
  // Four-byte aligned: 12 bytes for u32 lists.
  struct Slot {
    u32 key_lo, key_hi;
    ShortList<V> list;
    u64 key() const { return u64{key_hi} << 32 | key_lo; }
    void set_key(u64 k) {
      key_lo = static_cast<u32>(k);
      key_hi = static_cast<u32>(k >> 32);
    }
  };

  struct Release {
    u64 bytes;
    void operator()(Slot* p) const { release_big(p, bytes); }
  };

  static constexpr u64 kDenseFrom = u64{1} << 20;  // slots

  u64 home(u64 key) const {
    const u64 mixed = (key ^ (key >> 29)) * mul_ + add_;
    if (shift_ != 0) return mixed >> shift_;
    return static_cast<u64>((static_cast<unsigned __int128>(mixed) * capacity_) >> 64);
  }
  u64 next(u64 i) const { return i + 1 == capacity_ ? 0 : i + 1; }

  void rebuild(u64 capacity) {
    PALIMP_CHECK(capacity <= (u64{1} << 58) / sizeof(Slot));
    std::unique_ptr<Slot[], Release> fresh(static_cast<Slot*>(allocate_big_zeroed(capacity * sizeof(Slot))),
                                           Release{capacity * sizeof(Slot)});
    const u64 old_capacity = capacity_;
    if (old_capacity == 0) {  // the mix is drawn once, when the table is first made
      mul_ = hash_seed() | 1;
      add_ = hash_seed();
    }
    capacity_ = capacity;
    shift_ = std::has_single_bit(capacity) ? 64 - std::countr_zero(capacity) : 0;
    // Linear probing slows down quickly beyond half load; only tables big
    // enough for their memory to matter are filled further, to 0.8.
    limit_ = capacity < kDenseFrom ? capacity / 2 : capacity - capacity / 5;
    for (u64 j = 0; j < old_capacity; ++j) {
      const Slot& s = slots_[j];
      if (s.list.empty()) continue;
      u64 i = home(s.key());
      while (!fresh[i].list.empty()) i = next(i);
      fresh[i] = s;
    }
    slots_ = std::move(fresh);
  }

  std::unique_ptr<Slot[], Release> slots_{nullptr, Release{0}};
  // Small tables have 2^b slots, and a key's home slot is the top b bits of
  // its mix (a shift, where the wide multiplication that places keys in a
  // table of any size costs several cycles more on every probe).
  u32 shift_ = 0;  // 64 - b, or 0 for a table of any other size
  u64 mul_ = 1;    // odd
  u64 add_ = 0;
  u64 capacity_ = 0;
  u64 limit_ = 0;  // keys the table takes before it grows
  u64 size_ = 0;
};

}  // namespace palimp
