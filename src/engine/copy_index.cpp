#include "engine/copy_index.h"

#include <algorithm>

namespace palimp {

template <class V>
CopyIndex<V>::CopyIndex(std::span<const SymbolSpan> messages, const PlaceNumbering& places, u64 k,
                        WorkMeter& meter)
    : msgs_(messages), places_(places), k_(k) {
  partial_.count_growth_on(meter);
  PALIMP_CHECK(messages.size() <= ShortList<V>::kMaxValue && places.total() <= ShortList<V>::kMaxValue);
}

template <class V>
void CopyIndex<V>::add(u64 m, u64 at, const Piece& ref, WorkMeter& meter) {
  const u64 c = ref.source;
  assert(c < m && ref.len >= k_ && k_ >= 1);
  // Listing a copy takes a step per superblock, and at most 4 * kSuper /
  // kBlock more.
  meter.add((ref.len / kSuper + 1) * work_units::kWindowFiled);
  const u64 id = copies_.size();
  PALIMP_CHECK(id <= ShortList<V>::kMaxValue);
  // A short conversation's references fit the first reservation, instead
  // of growing from one by doubling.
  if (id == copies_.capacity()) copies_.reserve(std::max<u64>(kFirstCopies, 2 * id));
  copies_.push_back({static_cast<V>(m), static_cast<V>(ref.start), static_cast<V>(ref.start + ref.len - k_),
                     static_cast<V>(at), static_cast<V>(places_.first(m) + at),
                     static_cast<V>(ref.start + ref.len)});
  if (sources_ == nullptr) {
    if (msgs_.size() > kInlineSources) many_sources_ = std::make_unique<Source[]>(msgs_.size());
    sources_ = many_sources_ ? many_sources_.get() : inline_sources_;
  }
  Source& source = sources_[c];
  if (source.blocks == kNoBlocks) {
    if (pool_.size(source.few) < kFewCopies) {
      pool_.append(source.few, static_cast<V>(id));
      return;
    }
    // Too many to check one by one: from now on c's references are kept by
    // block, the few ones first (their order is the order added).
    const u64 windows = msgs_[c].size - k_ + 1;  // its size >= ref.len >= k
    PALIMP_CHECK(blocks_.size() < kNoBlocks);
    source.blocks = static_cast<V>(blocks_.size());
    blocks_.resize(blocks_.size() + (windows - 1) / kBlock + 1);
    partial_blocks_.resize(blocks_.size() / 64 + 1);
    source.supers = static_cast<V>(supers_.size());
    supers_.resize(supers_.size() + (windows - 1) / kSuper + 1);
    const ShortListView<V> few = pool_.view(source.few);
    for (u32 i = 0; i < few.size; ++i) add_to_blocks(c, few[i]);
    pool_.clear(source.few);
  }
  add_to_blocks(c, id);
}

// Lists reference `id` of source c under the superblocks it covers whole,
// under the blocks it covers whole outside those, and under each start it
// covers in a block it covers in part.
template <class V>
void CopyIndex<V>::add_to_blocks(u64 c, u64 id) {
  const Copy& copy = copies_[id];
  const u64 windows = msgs_[c].size - k_ + 1;
  ShortList<V>* supers = &supers_[sources_[c].supers];
  ShortList<V>* blocks = &blocks_[sources_[c].blocks];
  const u64 first = copy.first;
  const u64 last = copy.last;
  assert(first <= last && last < windows);
  // Whether [lo, lo + size) (cut at the last start) lies within the copy.
  auto covers = [&](u64 lo, u64 size) { return first <= lo && std::min(windows - 1, lo + size - 1) <= last; };
  auto add = [&](ShortList<V>& whole) { pool_.append(whole, static_cast<V>(id)); };
  for (u64 sb = first / kSuper; sb <= last / kSuper; ++sb) {
    if (covers(sb * kSuper, kSuper)) {
      add(supers[sb]);
      continue;
    }
    const u64 from = std::max(first, sb * kSuper);
    const u64 to = std::min(last, sb * kSuper + kSuper - 1);
    for (u64 b = from / kBlock; b <= to / kBlock; ++b) {
      if (covers(b * kBlock, kBlock)) {
        add(blocks[b]);
        continue;
      }
      const u64 global = sources_[c].blocks + b;
      partial_blocks_[global / 64] |= u64{1} << (global % 64);
      const u64 base = places_.first(c);
      const u64 hi = std::min(to, b * kBlock + kBlock - 1);
      for (u64 s = std::max(from, b * kBlock); s <= hi; ++s) {
        partial_.append(base + s, static_cast<V>(id), pool_);
      }
    }
  }
}

template class CopyIndex<u32>;
template class CopyIndex<u64>;

}  // namespace palimp
