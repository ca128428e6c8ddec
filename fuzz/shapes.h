// Message lists shaped like the inputs the library is built for, decoded
// from a fuzzer's bytes: successive versions of a document under edits,
// transcripts that grow by one turn per message, and long runs of repeats.
//
// An input is a fixed header followed by 4-byte records:
//
//   byte 0      mode (each harness reads it its own way)
//   bytes 1-5   parameters: k, C, N, lookback flag, lookback
//   byte 6      alphabet
//   byte 7      shape (draft, versions, transcript, runs)
//   bytes 8-9   seed of the generated prose
//   then        records [op, a, b, c], one step of the shape each
//
// The bulk of the text comes from a generator seeded by the input, so a few
// hundred bytes of records stand for tens of thousands of symbols, while
// every structural decision (where an edit lands, what a turn repeats, how
// long a run is) is a byte the fuzzer can mutate.  The custom mutator
// (mutator.h) edits whole records.  The draft shape reads the records' bytes
// as the free-form decisions of draft_messages instead.
#pragma once

#include <algorithm>
#include <bit>
#include <iterator>
#include <optional>
#include <vector>

#include "fuzz_support.h"

namespace palimp::fuzz {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kRecordBytes = 4;

struct Header {
  u64 budget = 0;  // symbols the shapes may generate
  u8 mode = 0;
  EngineParams params;
  u8 alphabet = 0;
  u8 shape = 0;
  u16 seed = 0;
};

inline u64 mix(u64 x) {  // splitmix64's finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Where generated material stops: 192 symbols for most inputs, 4 Ki for one
// in 64 and 64 Ki for one in 1024, beyond any quadratic check, through
// several growths of every table and hundreds of messages.  The class comes
// from a digest of the whole input rather than from a byte of it: a large
// input costs a hundred small ones, and the fuzzer, which keeps what
// reaches new counts of loop iterations, would otherwise fill its corpus
// with large inputs and run them most of the time.  This way every
// mutation of any input is large with the same small chance.
inline u64 symbol_budget(u64 digest) {
  const u64 r = mix(digest) % 1024;
  return r == 0 ? u64{1} << 16 : r <= 16 ? 4096 : 192;
}

// Reads exactly kHeaderBytes (zeros past the end of the input).
inline Header read_header(FuzzInput& in) {
  Header h;
  h.budget = symbol_budget(in.digest());
  h.mode = in.byte();
  h.params.min_match_len = pick_size(in);
  h.params.cap_len = pick_size(in);
  h.params.ncap = pick_size(in);
  const bool lookback = in.flag();
  const u64 value = pick_size(in);
  if (lookback) h.params.lookback = value;
  h.alphabet = in.byte();
  h.shape = in.byte();
  h.seed = static_cast<u16>(in.byte() << 8 | in.byte());
  return h;
}

struct Record {
  u8 op, a, b, c;
};

inline Record read_record(FuzzInput& in) { return Record{in.byte(), in.byte(), in.byte(), in.byte()}; }

enum class Shape { kDraft, kVersions, kTranscript, kRuns };

inline Shape shape_of(const Header& h) { return static_cast<Shape>(h.shape % 4); }

// Prose over symbol indices [0, symbols): index 0 separates words, 1 ends a
// line, the rest spell words.  Word w is always spelled the same way and
// words are drawn with a skew towards small ids, so lines share words the
// way natural text does; line `id` is always the same line.
class Prose {
 public:
  Prose(u64 seed, u32 symbols) : seed_(mix(seed)), symbols_(std::max<u32>(symbols, 1)) {}

  u32 symbol(u64 h) const { return symbols_ <= 2 ? static_cast<u32>(h % symbols_) : 2 + static_cast<u32>(h % (symbols_ - 2)); }
  u32 space() const { return 0; }
  u32 newline() const { return symbols_ > 1 ? 1 : 0; }

  void word(u64 w, std::vector<u32>& out) const {
    const u64 h = mix(seed_ ^ (w * 0x2545F4914F6CDD1Dull));
    const u64 n = 1 + h % 8;
    for (u64 i = 0; i < n; ++i) out.push_back(symbol(mix(h + i)));
  }
  void line(u64 id, std::vector<u32>& out) const {
    const u64 h = mix(seed_ + id);
    const u64 words = 2 + h % 11;
    for (u64 i = 0; i < words; ++i) {
      const u64 r = mix(h ^ (i + 1));
      if (i) out.push_back(space());
      word((r & 0xFFFF) % (1 + (r >> 16) % 512), out);  // small ids are common
    }
    out.push_back(newline());
  }
  // A line whose words are fixed but whose number changes, like a revision
  // stamp rewritten on every version.
  void stamp(u64 counter, std::vector<u32>& out) const {
    for (u64 w = 1000; w < 1004; ++w) {
      word(w, out);
      out.push_back(space());
    }
    const u64 radix = std::max<u32>(symbols_, 2);
    for (u64 v = counter + 1; v; v /= radix) out.push_back(static_cast<u32>(v % symbols_));
    out.push_back(newline());
  }

 private:
  u64 seed_;
  u32 symbols_;
};

// Collects the messages of a shape within a budget of symbols.
class MessageSink {
 public:
  MessageSink(u64 budget, u64 max_messages) : budget_(budget), max_messages_(max_messages) {}

  u64 budget() const { return budget_; }
  bool full() const { return total_ >= budget_ || draft_.messages.size() >= max_messages_; }
  void emit(std::vector<u32> m) {
    if (full()) return;
    m.resize(std::min<u64>(m.size(), budget_ - total_));
    total_ += m.size();
    draft_.messages.emplace_back(std::move(m));
  }
  void emit_absent() {
    if (!full()) draft_.messages.emplace_back(std::nullopt);
  }
  Draft take() { return std::move(draft_); }

 private:
  u64 budget_, max_messages_, total_ = 0;
  Draft draft_;
};

// Position `a` (0-255) scaled into [0, n].
inline u64 scaled(u8 a, u64 n) { return a * (n + 1) / 256; }

// Successive versions of one document, one message per version: lines
// inserted (mostly near the top), deleted, replaced, moved and duplicated,
// words changed inside a line, a stamp line near the end rewritten, deleted
// lines brought back from older versions.
inline Draft versions(FuzzInput& in, const Prose& prose, u64 seed, MessageSink& sink) {
  std::vector<std::vector<u32>> lines;
  std::vector<std::vector<u32>> stash;  // deleted lines, which may come back
  u64 next_line = seed << 20;
  u64 stamps = 0;
  auto fresh = [&] {
    std::vector<u32> l;
    prose.line(next_line++, l);
    return l;
  };
  // n new lines at `at`, each before the one made before it (as if put in
  // one at a time there), moved into place at once.
  auto put_fresh = [&](u64 at, u64 n) {
    std::vector<std::vector<u32>> block(n);
    for (u64 i = n; i-- > 0;) block[i] = fresh();
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::make_move_iterator(block.begin()),
                 std::make_move_iterator(block.end()));
  };
  for (u64 i = 0, n = seed % (1 + sink.budget() / 48); i < n; ++i) lines.push_back(fresh());
  lines.push_back({});
  prose.stamp(stamps, lines.back());
  bool edited = true;
  auto emit = [&] {
    std::vector<u32> m;
    for (const auto& l : lines) {
      m.insert(m.end(), l.begin(), l.end());
      if (m.size() >= sink.budget()) break;  // the rest would be cut
    }
    sink.emit(std::move(m));
    edited = false;
  };
  while (!in.empty() && !sink.full()) {
    const Record r = read_record(in);
    const u64 size = lines.size();
    const u64 at = r.op & 0x20 ? r.a % std::min<u64>(4, size + 1) : scaled(r.a, size);  // top-biased or anywhere
    const u64 n = 1 + r.b % 8;
    switch (r.op & 15) {
      case 0:
      case 1:
      case 2:  // new lines
        put_fresh(at, n);
        break;
      case 3: {  // deleted lines
        const u64 end = std::min(size, at + n);
        for (u64 i = at; i < end; ++i) stash.push_back(std::move(lines[i]));
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at), lines.begin() + static_cast<std::ptrdiff_t>(end));
        break;
      }
      case 4:  // a line replaced
        if (at < size) lines[at] = fresh();
        break;
      case 5:
      case 6: {  // a word changed, or a few symbols put in, inside a line
        if (at >= size || lines[at].empty()) break;
        auto& l = lines[at];
        const u64 p = r.c % l.size();
        std::vector<u32> w;
        prose.word(r.b, w);
        if ((r.op & 15) == 5) {
          const u64 cut = std::min<u64>(l.size() - p, 1 + r.c % 6);
          l.erase(l.begin() + static_cast<std::ptrdiff_t>(p), l.begin() + static_cast<std::ptrdiff_t>(p + cut));
        }
        l.insert(l.begin() + static_cast<std::ptrdiff_t>(p), w.begin(), w.end());
        break;
      }
      case 7: {  // the stamp line near the end rewritten: a change far from the top
        if (size == 0) break;
        const u64 back = std::min<u64>(size - 1, r.b % 4);
        lines[size - 1 - back].clear();
        prose.stamp(++stamps, lines[size - 1 - back]);
        break;
      }
      case 8: {  // a block moved
        const u64 end = std::min(size, at + n);
        std::vector<std::vector<u32>> block(lines.begin() + static_cast<std::ptrdiff_t>(at),
                                            lines.begin() + static_cast<std::ptrdiff_t>(end));
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at), lines.begin() + static_cast<std::ptrdiff_t>(end));
        const u64 to = scaled(r.c, lines.size());
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(to), block.begin(), block.end());
        break;
      }
      case 9: {  // a block duplicated
        const u64 end = std::min(size, at + n);
        std::vector<std::vector<u32>> block(lines.begin() + static_cast<std::ptrdiff_t>(at),
                                            lines.begin() + static_cast<std::ptrdiff_t>(end));
        const u64 to = scaled(r.c, size);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(to), block.begin(), block.end());
        break;
      }
      case 10:  // an old line back, from some versions ago
        if (!stash.empty()) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), stash[r.c % stash.size()]);
        break;
      case 11:  // lines appended at the end
        for (u64 i = 0; i < n; ++i) lines.push_back(fresh());
        break;
      case 12:  // a version with no change
        edited = true;
        break;
      case 13:  // an absent entry between versions
        sink.emit_absent();
        break;
      case 14:  // an empty version
        sink.emit({});
        break;
      default:  // a long stretch of new lines: a big release
        put_fresh(at, 8 * n);
        break;
    }
    edited = true;
    if (!(r.op & 0x80)) emit();  // the high bit groups edits into one version
  }
  if (edited) emit();
  return sink.take();
}

// Conversation transcripts: message t is message t - 1 plus one turn
// ("role: text\n\n").  Turns repeat earlier turns (the same question in many
// conversations), quote a span of the transcript, or are new prose; a
// record may start a new conversation in the same list.
inline Draft transcripts(FuzzInput& in, const Prose& prose, u64 seed, MessageSink& sink) {
  std::vector<u32> transcript;
  std::vector<std::vector<u32>> turns;  // contents of every turn so far, any conversation
  u64 next_line = seed << 20;
  bool user = true;
  while (!in.empty() && !sink.full()) {
    const Record r = read_record(in);
    std::vector<u32> content;
    switch (r.op & 15) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: {  // new prose; assistants say more
        const u64 n = 1 + r.a % (user ? 2 : 6);
        for (u64 i = 0; i < n; ++i) prose.line(next_line++, content);
        break;
      }
      case 5:
      case 6:
      case 7:  // an earlier turn again
        if (!turns.empty()) content = turns[(u64{r.a} << 8 | r.b) % turns.size()];
        break;
      case 8:
      case 9: {  // a quote of the transcript, with a new line after it
        if (transcript.empty()) break;
        const u64 start = scaled(r.a, transcript.size() - 1);
        const u64 len = std::min<u64>(transcript.size() - start, 1 + u64{r.b} * 4);
        content.assign(transcript.begin() + static_cast<std::ptrdiff_t>(start),
                       transcript.begin() + static_cast<std::ptrdiff_t>(start + len));
        prose.line(next_line++, content);
        break;
      }
      case 10:  // a new conversation; its first turn follows
        transcript.clear();
        user = true;
        continue;
      case 11:  // the same transcript again
        sink.emit(transcript);
        continue;
      case 12:
        sink.emit_absent();
        continue;
      case 13: {  // a long answer
        const u64 n = 8 + r.a % 64;
        for (u64 i = 0; i < n; ++i) prose.line(next_line++, content);
        break;
      }
      default: {  // an earlier turn with one word changed
        if (turns.empty()) break;
        content = turns[r.a % turns.size()];
        if (!content.empty()) content[r.c % content.size()] = prose.symbol(r.b);
        break;
      }
    }
    prose.word(user ? 2000 : 2001, transcript);  // the role
    transcript.push_back(prose.space());
    transcript.insert(transcript.end(), content.begin(), content.end());
    transcript.push_back(prose.newline());
    transcript.push_back(prose.newline());
    turns.push_back(std::move(content));
    user = !user;
    if (!(r.op & 0x80)) sink.emit(transcript);  // the high bit adds two turns at once
  }
  return sink.take();
}

// Long runs: one symbol repeated, short periods, Thue-Morse and Fibonacci
// words (where window hashes collide and greedy matches are long), and
// copies of the previous message with one run a symbol longer or shorter.
inline Draft runs(FuzzInput& in, const Prose& prose, MessageSink& sink) {
  std::vector<u32> cur, prev;
  bool open = false;
  auto close = [&] {
    prev = std::move(cur);
    cur.clear();
    sink.emit(prev);
    open = false;
  };
  while (!in.empty() && !sink.full()) {
    const Record r = read_record(in);
    const u64 len = 1 + ((u64{r.a} << 8 | r.c) % 4096);
    const u32 x = prose.symbol(r.b), y = prose.symbol(r.b >> 4);
    open = true;
    switch (r.op & 15) {
      case 0:
      case 1:
      case 2:  // one symbol
        cur.insert(cur.end(), len, x);
        break;
      case 3:
      case 4: {  // a short period
        const u64 period = 1 + r.b % 8;
        for (u64 i = 0; i < len; ++i) cur.push_back(prose.symbol(mix(r.op + i % period)));
        break;
      }
      case 5:  // Thue-Morse
        for (u64 i = 0, n = u64{1} << (r.a % 13); i < n; ++i) cur.push_back(std::popcount(i + r.c) % 2 ? y : x);
        break;
      case 6: {  // Fibonacci word
        std::vector<u32> a{x}, b{x, y};
        while (b.size() < len) {
          std::vector<u32> c = b;
          c.insert(c.end(), a.begin(), a.end());
          a = std::move(b);
          b = std::move(c);
        }
        cur.insert(cur.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(len));
        break;
      }
      case 7:
      case 8: {  // the previous message with one symbol more or less somewhere
        std::vector<u32> copy = prev;
        const u64 at = scaled(r.c, copy.size());
        if ((r.op & 15) == 7 || at == copy.size()) {
          copy.insert(copy.begin() + static_cast<std::ptrdiff_t>(at), at ? copy[at - 1] : x);
        } else {
          copy.erase(copy.begin() + static_cast<std::ptrdiff_t>(at));
        }
        cur.insert(cur.end(), copy.begin(), copy.end());
        break;
      }
      case 9: {  // the previous message with one symbol changed
        const u64 at = cur.size() + scaled(r.c, prev.size());
        cur.insert(cur.end(), prev.begin(), prev.end());
        if (at < cur.size()) cur[at] = x;
        break;
      }
      case 10:
        close();
        break;
      case 11:
        sink.emit_absent();
        break;
      default:  // prose, between the runs
        for (u64 i = 0, n = 1 + r.a % 4; i < n; ++i) prose.line(mix(r.b) + i, cur);
        break;
    }
    if (r.op & 0x80 && open) close();
  }
  if (open) close();
  return sink.take();
}

// The messages an input stands for, as indices into an alphabet of
// `symbols` symbols.  Drafts keep to `draft_total` symbols and
// `draft_messages`; the other shapes to the header's budget.
inline Draft shaped_messages(FuzzInput& in, const Header& h, u32 symbols, u64 draft_total, u64 draft_count) {
  if (shape_of(h) == Shape::kDraft) return draft_messages(in, symbols, draft_total, draft_count);
  const Prose prose(h.seed, symbols);
  MessageSink sink(h.budget, 4096);
  switch (shape_of(h)) {
    case Shape::kVersions:
      return versions(in, prose, h.seed, sink);
    case Shape::kTranscript:
      return transcripts(in, prose, h.seed, sink);
    default:
      return runs(in, prose, sink);
  }
}

inline u64 total_symbols(const Draft& d) {
  u64 n = 0;
  for (const auto& m : d.messages) n += m ? m->size() : 0;
  return n;
}

}  // namespace palimp::fuzz
