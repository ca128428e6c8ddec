#include "engine/binary.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

#include "flat_map.h"
#include "hashing.h"

namespace palimp {
namespace {

// Fresh places of one hash, oldest first.  The first lives in the slot; the
// rest in chunks of the shared pool.  Places beyond MAX_CANDIDATES are never
// examined, so they are not kept.
struct FreshList {
  u64 first = 0;
  u32 count = 0;   // 0 marks a free slot
  u32 chunk = 0;   // first overflow chunk, valid when count > 1
  bool empty() const { return count == 0; }
};

// A reference of an indexed message, as the copy relation needs it.
struct CopyRecord {
  u64 message;  // the message holding the reference
  u64 at;       // its position in that message
  u64 start;    // position in the source message
  u64 len;
};

// A place waiting in the candidate queue.
struct Pending {
  u64 message;
  u64 pos;
  u64 copied;    // symbols from pos to the end of the covering reference (children only)
  u32 parent;    // index of the parent among the candidates, or kNoParent for fresh places
  u64 cursor;    // roots: index of this place in the fresh list; children: index
                 // in the parent's block list of the reference that yields it
};
constexpr u32 kNoParent = std::numeric_limits<u32>::max();

// A candidate place and how it derives from an earlier candidate.
struct Place {
  u64 message;
  u64 pos;
  u64 copied;  // symbols from pos that equal the parent's (children only)
  u32 parent;  // index of the parent among the candidates, or kNoParent
};

// A candidate of a kept full list, in half the room of a Place; lists whose
// numbers do not fit are not kept.
struct KeptPlace {
  u32 message;
  u32 pos;
  u32 copied;
  u32 parent;
};

// Where a kept full list lives.
struct KeptList {
  const KeptPlace* first = nullptr;
  bool empty() const { return first == nullptr; }
};

class ExactEngine {
 public:
  ExactEngine(std::span<const SymbolSpan> messages, u64 k)
      : msgs_(messages), k_(k), roll_(k), places_of_(messages), fresh_(estimate_fresh(messages, k)) {
    incoming_.resize(msgs_.size());
    keep_budget_ = std::max(kKeptChunkBytes, places_of_.total());
  }

  SegmentTable run() {
    for (u64 i = 0; i < msgs_.size(); ++i) {
      if (i > 0) index_message(i - 1);
      scan_message(i);
      out_.end_message();
    }
    return std::move(out_);
  }

 private:
  static constexpr u64 kSmallInput = u64{1} << 16;  // windows
  static constexpr u64 kBlock = 256;  // positions per block of the copy index
  static constexpr u32 kChunk = 7;    // places per overflow chunk (+ one link)

  static u64 estimate_fresh(std::span<const SymbolSpan> messages, u64 k) {
    if (k == 0 || messages.empty()) return 16;
    // A small input is sized for all its windows at once: growing step by
    // step would cost more than the work itself.  Otherwise message 0 is
    // wholly fresh and later ones mostly repeat earlier material.
    const u64 windows = indexable_windows(messages, k);
    if (windows <= kSmallInput) return std::max<u64>(16, windows);
    return std::max<u64>(16, messages[0].size);
  }

  bool fits(u64 n, u64 p) const { return k_ > 0 && k_ <= n - p; }  // with p < n

  // ---- fresh index -------------------------------------------------------

  void add_fresh(u64 hash, u64 place) {
    FreshList& l = fresh_.find_or_insert(hash);
    if (l.count == 0) {
      l.first = place;
      l.count = 1;
      return;
    }
    if (l.count >= MAX_CANDIDATES) return;
    const u32 t = l.count - 1;  // index among the overflow places
    if (t % kChunk == 0) {
      const u64 fresh_chunk = pool_.size() / (kChunk + 1);
      PALIMP_CHECK(fresh_chunk < std::numeric_limits<u32>::max());
      pool_.resize(pool_.size() + kChunk + 1, 0);
      if (t == 0) {
        l.chunk = static_cast<u32>(fresh_chunk);
      } else {
        pool_[chunk_at(l, t - 1) * (kChunk + 1) + kChunk] = fresh_chunk;
      }
    }
    pool_[chunk_at(l, t) * (kChunk + 1) + t % kChunk] = place;
    ++l.count;
  }

  // Chunk holding overflow place t of list l.
  u64 chunk_at(const FreshList& l, u32 t) const {
    u64 c = l.chunk;
    for (u32 hops = t / kChunk; hops > 0; --hops) c = pool_[c * (kChunk + 1) + kChunk];
    return c;
  }

  // Fresh place number t of list l (t < l.count).
  u64 fresh_place(const FreshList& l, u32 t) const {
    if (t == 0) return l.first;
    return pool_[chunk_at(l, t - 1) * (kChunk + 1) + (t - 1) % kChunk];
  }

  // ---- indexing ------------------------------------------------------------

  // Adds message m to the index: its fresh windows by hash, its references to
  // the copy index of their sources.
  void index_message(u64 m) {
    const SymbolSpan& msg = msgs_[m];
    if (k_ == 0 || msg.size < k_) return;
    u64 j = 0;   // next window start not yet indexed or skipped
    u64 at = 0;  // position of the current piece in message m
    for (const Piece& piece : out_.message(m)) {
      if (!piece.is_literal()) {
        // Windows starting in [at, at + len - k] lie wholly inside this
        // reference: copies, not fresh.  Those before it are fresh.
        index_fresh_run(m, j, at);
        j = std::max(j, at + piece.len - k_ + 1);
        add_copy(m, at, piece);
      }
      at += piece.len;
    }
    index_fresh_run(m, j, msg.size - k_ + 1);
  }

  // Indexes windows starting in [from, to) of message m (to <= size - k + 1).
  void index_fresh_run(u64 m, u64 from, u64 to) {
    if (from >= to) return;
    const SymbolSpan& msg = msgs_[m];
    const u64 base = places_of_.first(m);
    with_symbols(msg, [&](const auto* t) {
      u64 h = hash_symbols(msg, from, k_);
      add_fresh(h, base + from);
      for (u64 j = from + 1; j < to; ++j) {
        h = roll_.roll(h, t[j - 1], t[j - 1 + k_]);
        add_fresh(h, base + j);
      }
    });
  }

  void add_copy(u64 m, u64 at, const Piece& ref) {
    const CopyRecord copy{m, at, ref.start, ref.len};
    Incoming& in = incoming_[ref.source];
    if (in.blocks.empty()) {
      const u64 blocks = msgs_[ref.source].size / kBlock + 1;
      in.blocks.resize(blocks);
      in.occupied.resize(blocks / 64 + 1);
    }
    const u64 last_start = ref.start + ref.len - k_;  // last source window inside the span
    for (u64 b = ref.start / kBlock; b <= last_start / kBlock; ++b) {
      in.blocks[b].push_back(copy);
      in.occupied[b / 64] |= u64{1} << (b % 64);
    }
  }

  // ---- candidates ----------------------------------------------------------

  // The next reference at or after block-list index `from` whose span holds
  // the whole window (c, s), as a pending child place; nullopt when none.
  std::optional<Pending> next_child(u64 c, u64 s, u32 parent, u64 from) const {
    const Incoming& in = incoming_[c];
    const u64 b = s / kBlock;
    // Most places are copied by nothing; the small bitmap says so without
    // touching the block lists.
    if (in.occupied.empty() || !(in.occupied[b / 64] >> (b % 64) & 1)) return std::nullopt;
    const auto& list = in.blocks[b];
    for (u64 t = from; t < list.size(); ++t) {
      const CopyRecord& r = list[t];
      if (r.start <= s && s - r.start <= r.len - k_) {
        const u64 off = s - r.start;
        return Pending{r.message, r.at + off, r.len - off, parent, t};
      }
    }
    return std::nullopt;
  }

  struct Match {
    u64 message, start, len;
  };

  // The first MAX_CANDIDATES places with hash h among the indexed messages,
  // in (message, position) order, each with how it derives from an earlier
  // one.  Enumerated into places_.
  void enumerate(const FreshList& list) {
    places_.clear();
    heap_.clear();
    auto later = [](const Pending& a, const Pending& b) {
      return a.message != b.message ? a.message > b.message : a.pos > b.pos;
    };
    auto push = [&](const Pending& e) {
      heap_.push_back(e);
      std::push_heap(heap_.begin(), heap_.end(), later);
    };
    auto push_root = [&](u64 t) {
      const u64 place = fresh_place(list, static_cast<u32>(t));
      const u64 m = places_of_.message_of(place);
      push({m, place - places_of_.first(m), 0, kNoParent, t});
    };
    push_root(0);
    while (!heap_.empty() && places_.size() < MAX_CANDIDATES) {
      std::pop_heap(heap_.begin(), heap_.end(), later);
      const Pending e = heap_.back();
      heap_.pop_back();
      const u32 self = static_cast<u32>(places_.size());
      places_.push_back({e.message, e.pos, e.copied, e.parent});
      if (e.parent == kNoParent) {
        if (e.cursor + 1 < list.count) push_root(e.cursor + 1);
      } else {
        const Place& par = places_[e.parent];
        if (auto sib = next_child(par.message, par.pos, e.parent, e.cursor + 1)) push(*sib);
      }
      if (auto child = next_child(e.message, e.pos, self, 0)) push(*child);
    }
  }

  // Keeps places_, a full list, for later lookups of hash h: once a hash has
  // MAX_CANDIDATES places its first ones never change, since later places
  // come from later messages.
  void keep(u64 h) {
    // Kept lists may take about one byte per input symbol, so the engine's
    // memory stays bounded by its input; past that, lists are enumerated
    // each time they are needed.
    if (kept_.size() * kKeptChunkBytes >= keep_budget_) return;
    KeptPlace kept[MAX_CANDIDATES];
    for (u64 t = 0; t < MAX_CANDIDATES; ++t) {
      const Place& e = places_[t];
      if ((e.message | e.pos | e.copied) > UINT32_MAX - 1) return;  // too large to keep compactly
      kept[t] = {static_cast<u32>(e.message), static_cast<u32>(e.pos), static_cast<u32>(e.copied), e.parent};
    }
    if (kept_.empty() || kept_used_ == kKeptPerChunk) {
      kept_.push_back(std::make_unique<KeptPlace[]>(kKeptPerChunk * MAX_CANDIDATES));
      kept_used_ = 0;
    }
    KeptPlace* dst = kept_.back().get() + kept_used_ * MAX_CANDIDATES;
    std::copy(kept, kept + MAX_CANDIDATES, dst);
    ++kept_used_;
    full_.find_or_insert(h) = KeptList{dst};
  }

  // The best of `places` for position p of message i: the longest common run
  // of at least k symbols, the earliest place on ties.
  template <class P>
  std::optional<Match> best_of(u64 i, u64 p, std::span<const P> places) const {
    const SymbolSpan& cur = msgs_[i];
    const u64 rest = cur.size - p;
    // The fresh places are read directly; ask for all of them at once so
    // their cache misses overlap.
    for (const P& e : places) {
      if (e.parent == kNoParent) {
        const SymbolSpan& src = msgs_[e.message];
        __builtin_prefetch(static_cast<const u8*>(src.data) + u64{e.pos} * src.width);
      }
    }
    std::optional<Match> best;
    u64 lcps[MAX_CANDIDATES];
    for (size_t t = 0; t < places.size(); ++t) {
      const P& e = places[t];
      const SymbolSpan& src = msgs_[e.message];
      const u64 limit = std::min(rest, src.size - e.pos);
      u64 lcp;
      if (e.parent == kNoParent) {
        lcp = common_prefix(cur, p, src, e.pos, limit);
      } else {
        // The first `copied` symbols equal the parent's; only a run that
        // reaches past them needs comparing.
        const u64 parent_lcp = lcps[e.parent];
        lcp = parent_lcp < e.copied
                  ? parent_lcp
                  : e.copied + common_prefix(cur, p + e.copied, src, e.pos + e.copied, limit - e.copied);
      }
      lcps[t] = lcp;
      if (lcp >= k_ && (!best || lcp > best->len)) best = Match{e.message, e.pos, lcp};
    }
    return best;
  }

  // The match at position p of message i, whose window hashes to h: the best
  // of the first MAX_CANDIDATES places with hash h, or nullopt when none of
  // them holds the window's symbols.
  std::optional<Match> choose(u64 i, u64 p, u64 h) {
    const FreshList* list = fresh_.find(h);
    if (list == nullptr) return std::nullopt;
    if (const KeptList* kept = full_.find(h)) {
      return best_of(i, p, std::span<const KeptPlace>(kept->first, MAX_CANDIDATES));
    }
    enumerate(*list);
    if (places_.size() == MAX_CANDIDATES) keep(h);
    return best_of(i, p, std::span<const Place>(places_));
  }

  // Whether the window at p (hash h) is a hit: some examined place holds its
  // symbols.  Usually settled by the list's first place alone.
  bool is_hit(u64 i, u64 p, u64 h) {
    const FreshList* list = fresh_.find(h);
    if (list == nullptr) return false;
    const u64 m = places_of_.message_of(list->first);
    if (common_prefix(msgs_[i], p, msgs_[m], list->first - places_of_.first(m), k_) == k_) return true;
    return choose(i, p, h).has_value();
  }

  // ---- scanning ------------------------------------------------------------

  void scan_message(u64 i) {
    const SymbolSpan& cur = msgs_[i];
    const u64 n = cur.size;
    const bool searchable = k_ > 0 && !fresh_.empty();
    u64 p = 0;
    while (p < n) {
      if (searchable && fits(n, p)) {
        const u64 h = hash_symbols(cur, p, k_);
        if (auto m = choose(i, p, h)) {
          out_.add_reference(m->message, m->start, m->len);
          p += m->len;
          continue;
        }
      }
      const u64 e = searchable ? next_hit(i, p + 1) : n;
      out_.add_literal(p, e - p);
      p = e;
    }
  }

  // The first position e >= from of message i whose window is a hit, or n.
  u64 next_hit(u64 i, u64 from) {
    const SymbolSpan& cur = msgs_[i];
    const u64 n = cur.size;
    if (from >= n || !fits(n, from)) return n;
    const u64 last = n - k_;
    return with_symbols(cur, [&](const auto* t) -> u64 {
      u64 h = hash_symbols(cur, from, k_);
      for (u64 e = from;; ++e) {
        if (fresh_.find(h) != nullptr && is_hit(i, e, h)) return e;
        if (e == last) return n;
        h = roll_.roll(h, t[e], t[e + k_]);
      }
    });
  }

  std::span<const SymbolSpan> msgs_;
  u64 k_;
  RollingWindow roll_;
  PlaceNumbering places_of_;
  FlatMap64<FreshList> fresh_;
  std::vector<u64> pool_;   // overflow chunks of fresh lists
  // The references copying from one message, by block of source positions.
  struct Incoming {
    // blocks[b]: the references whose source span holds a window starting in
    // block b, in order of indexing.  Kept inline, one copy per block, so a
    // search reads one short array front to back.
    std::vector<std::vector<CopyRecord>> blocks;
    std::vector<u64> occupied;  // bit b: blocks[b] is not empty
  };
  std::vector<Incoming> incoming_;
  SegmentTable out_;
  std::vector<Place> places_;  // scratch: the list being enumerated
  std::vector<Pending> heap_;
  // Kept full lists, in chunks that never move, by hash.
  static constexpr u64 kKeptPerChunk = 64;
  static constexpr u64 kKeptChunkBytes = kKeptPerChunk * MAX_CANDIDATES * sizeof(KeptPlace);
  u64 keep_budget_ = 0;  // bytes
  FlatMap64<KeptList> full_;
  std::vector<std::unique_ptr<KeptPlace[]>> kept_;
  u64 kept_used_ = 0;  // lists used in the last chunk
};

}  // namespace

SegmentTable exact_segments(std::span<const SymbolSpan> messages, u64 min_match_len) {
  return ExactEngine(messages, min_match_len).run();
}

}  // namespace palimp
