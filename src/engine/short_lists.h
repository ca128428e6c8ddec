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
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

// Open-addressing map from a 64-bit key to a ShortList.  Slots come in
// groups of sixteen, each group with sixteen control bytes: 0x80 for a free
// slot, else seven bits of the key's mix.  A search compares a group's
// control bytes with the key's tag at once and stops at the first group
// with a free slot, so a miss, the common answer when a later message is
// new, costs one comparison and a branch that goes the same way almost every
// time, whatever the load.  With slots probed one by one, the probe loop's
// exit mispredicts more and more as the table fills: on short conversations
// such tables had to stay about a quarter full to stay fast, and searches of
// a small table for every window of a long text were several times slower
// than this.  So tables fill to 7/8,
// and a table of 13 bytes per slot holds a key in about 15 bytes.  Keys that
// arrive as polynomial window hashes have poorly mixed low bits, so the
// group comes from the high bits of a multiplicative mix, and the tag from
// its middle bits.  Small tables have 2^b groups, found with a shift; big
// ones any count, so that a table sized in advance holds its keys close to
// the target load.  Keys are only added, never removed.
//
// The input decides the keys, and whoever writes it can choose window hashes
// freely; with a fixed mix they could pile every key onto a few groups and
// make each search walk them all.  So each map draws its own multiplier and
// offset (see hash_seed), which nobody outside can know or choose.  Nothing
// is ever iterated: results depend only on which keys are present, never on
// where they sit.
// The control bytes of tables searched sixteen slots at a time (ShortListMap
// and the capped engine's tables): kFree marks a free slot, any other byte
// holds seven bits of its entry's mixed hash, so that one comparison of a
// group's bytes with a key's tag answers most searches.
namespace group_probe {

inline constexpr u64 kWidth = 16;  // slots per group
inline constexpr u8 kFree = 0x80;

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

// A fresh 64-bit value at every call, unpredictable from outside the
// process: a process-wide random seed, drawn once, stepped by a counter and
// mixed.  Costs a few instructions.
u64 hash_seed();

template <class V>
class ShortListMap {
 public:
  ShortListMap() = default;  // allocates nothing until the first insertion
  ShortListMap(ShortListMap&& o) noexcept { *this = std::move(o); }
  ShortListMap& operator=(ShortListMap&& o) noexcept {
    if (this != &o) {
      release();
      t_ = std::exchange(o.t_, Table{});
      mul_ = o.mul_;
      add_ = o.add_;
    }
    return *this;
  }
  ShortListMap(const ShortListMap&) = delete;
  ShortListMap& operator=(const ShortListMap&) = delete;
  ~ShortListMap() { release(); }

  // Makes room for `keys` keys in all, so inserting up to that many will not
  // grow the table.
  void reserve(u64 keys) {
    if (keys > t_.limit) rebuild(std::max(t_.groups * 2, groups_for(keys)));
  }

  // The list under `key`, or nullptr.  Valid until the next insertion.
  [[gnu::always_inline]] const ShortList<V>* find(u64 key) const {
    if (t_.size == 0) return nullptr;
    const u64 mixed = mix(key);
    const u8 tag = group_probe::tag_of(mixed);
    for (u64 g = group_of(mixed);; g = g + 1 == t_.groups ? 0 : g + 1) {
      const group_probe::Masks mk = group_probe::masks(t_.ctrl + g * kGroup, tag);
      for (u32 m = mk.match; m != 0; m &= m - 1) {
        const Slot& s = t_.slots[g * kGroup + std::countr_zero(m)];
        if (s.key() == key) return &s.list;
      }
      if (mk.free != 0) return nullptr;
    }
  }
  ShortList<V>* find(u64 key) { return const_cast<ShortList<V>*>(std::as_const(*this).find(key)); }

  // The list under `key`, new and empty when absent; the caller must leave it
  // non-empty.  Valid until the next insertion.
  ShortList<V>& find_or_insert(u64 key) {
    if (t_.size >= t_.limit) rebuild(std::max<u64>(1, t_.groups * 2));
    const u64 mixed = mix(key);
    const u8 tag = group_probe::tag_of(mixed);
    for (u64 g = group_of(mixed);; g = g + 1 == t_.groups ? 0 : g + 1) {
      const group_probe::Masks mk = group_probe::masks(t_.ctrl + g * kGroup, tag);
      for (u32 m = mk.match; m != 0; m &= m - 1) {
        Slot& s = t_.slots[g * kGroup + std::countr_zero(m)];
        if (s.key() == key) return s.list;
      }
      if (mk.free != 0) {
        const u64 i = g * kGroup + std::countr_zero(mk.free);
        t_.ctrl[i] = tag;
        ++t_.size;
        Slot& s = t_.slots[i];
        s.set_key(key);
        s.list = ShortList<V>{};
        return s.list;
      }
    }
  }

  void prefetch(u64 key) const {
    if (t_.groups == 0) return;
    const u64 g = group_of(mix(key));
    __builtin_prefetch(t_.ctrl + g * kGroup);
    __builtin_prefetch(t_.slots + g * kGroup);
  }
  u64 size() const { return t_.size; }
  bool empty() const { return t_.size == 0; }
  u64 capacity() const { return t_.groups * kGroup; }  // slots
  u64 limit() const { return t_.limit; }               // keys it takes before it grows

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
  static constexpr u64 kGroup = group_probe::kWidth;
  static constexpr u64 kGroupBytes = kGroup * (sizeof(Slot) + 1);
  static constexpr u8 kFree = group_probe::kFree;

  struct Table {
    u8* ctrl = nullptr;    // one byte per slot: kFree, or the entry's tag
    Slot* slots = nullptr;  // after the control bytes, in the same block
    u64 groups = 0;
    u64 size = 0;
    u64 limit = 0;
    u32 shift = 0;  // 64 - b for 2^b groups (b >= 1), else 0
  };

  // Room for `keys` at a load of at most 7/8.  Small tables have 2^b groups,
  // whose group a shift finds; big ones any count, so that a table sized in
  // advance holds its keys close to that load.
  static u64 groups_for(u64 keys) {
    const u64 groups = (keys + keys / 7) / kGroup + 1;
    return groups < kDenseFrom ? std::bit_ceil(groups) : groups;
  }
  static constexpr u64 kDenseFrom = u64{1} << 16;  // groups

  u64 mix(u64 key) const { return (key ^ (key >> 29)) * mul_ + add_; }
  u64 group_of(u64 mixed) const {
    if (t_.shift != 0) return mixed >> t_.shift;
    return static_cast<u64>((static_cast<unsigned __int128>(mixed) * t_.groups) >> 64);
  }


  static u64 bytes_of(u64 groups) { return groups * kGroupBytes; }

  void rebuild(u64 groups) {
    PALIMP_CHECK(groups <= (u64{1} << 58) / kGroupBytes);
    Table fresh;
    fresh.ctrl = static_cast<u8*>(allocate_big(bytes_of(groups)));
    fresh.slots = reinterpret_cast<Slot*>(fresh.ctrl + groups * kGroup);
    std::memset(fresh.ctrl, kFree, groups * kGroup);
    fresh.groups = groups;
    fresh.shift = groups >= 2 && std::has_single_bit(groups) ? 64 - std::countr_zero(groups) : 0;
    fresh.limit = groups * kGroup - groups * kGroup / 8;
    if (t_.groups == 0) {  // the mix is drawn once, when the table is first made
      mul_ = hash_seed() | 1;
      add_ = hash_seed();
    }
    Table old = std::exchange(t_, fresh);
    for (u64 j = 0; j < old.groups * kGroup; ++j) {
      if (old.ctrl[j] & kFree) continue;
      const Slot& s = old.slots[j];
      const u64 mixed = mix(s.key());
      for (u64 g = group_of(mixed);; g = g + 1 == t_.groups ? 0 : g + 1) {
        if (const u32 free = group_probe::masks(t_.ctrl + g * kGroup, 0).free) {
          const u64 i = g * kGroup + std::countr_zero(free);
          t_.ctrl[i] = group_probe::tag_of(mixed);
          t_.slots[i] = s;
          break;
        }
      }
    }
    t_.size = old.size;
    if (old.ctrl != nullptr) release_big(old.ctrl, bytes_of(old.groups));
  }

  void release() noexcept {
    if (t_.ctrl != nullptr) release_big(t_.ctrl, bytes_of(t_.groups));
    t_ = Table{};
  }

  Table t_;
  u64 mul_ = 1;  // odd
  u64 add_ = 0;
};

}  // namespace palimp
