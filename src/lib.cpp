#include "lib.h"

#include <cstring>
#include <new>
#include <utility>

#include "engine/binary.h"
#include "engine/capped.h"

namespace palimp {
namespace {

// Bytes of the UTF-8 character whose lead byte is `lead`.
u64 utf8_width(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

TextStore owned_store(std::span<const std::optional<std::string>> messages) {
  TextStore store;
  store.reserve(messages.size());
  for (const auto& m : messages) {
    if (m) {
      store.add_owned(*m);
    } else {
      store.add_absent();
    }
  }
  return store;
}

}  // namespace

std::vector<u64> compute_offsets(std::string_view text) {
  u64 n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  std::vector<u64> out;
  out.reserve(n + 1);
  out.push_back(0);
  u64 p = 0;
  while (p < text.size()) {
    if (p != out.back()) out.push_back(p);
    p += utf8_width(static_cast<unsigned char>(text[p]));
  }
  if (text.size() != out.back()) out.push_back(text.size());
  return out;
}

// ---- TextStore

TextStore::TextStore(TextStore&& o) noexcept
    : size_(std::exchange(o.size_, 0)),
      present_(std::exchange(o.present_, 0)),
      capacity_(std::exchange(o.capacity_, 0)),
      block_(std::move(o.block_)),
      marks_(std::move(o.marks_)),
      owned_(std::move(o.owned_)) {}

TextStore& TextStore::operator=(TextStore&& o) noexcept {
  if (this != &o) {
    size_ = std::exchange(o.size_, 0);
    present_ = std::exchange(o.present_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    block_ = std::move(o.block_);
    marks_ = std::move(o.marks_);
    owned_ = std::move(o.owned_);
  }
  return *this;
}

void TextStore::reserve(u64 entries) {
  if (entries > capacity_) grow_to(entries);
}

void TextStore::grow_to(u64 capacity) {
  constexpr u64 kEach = sizeof(SymbolSpan) + sizeof(Info);
  if (capacity > UINT64_MAX / 2 / kEach) throw std::bad_alloc();
  std::unique_ptr<std::byte[]> fresh(new std::byte[capacity * kEach]);
  if (present_ > 0) {
    std::memcpy(fresh.get(), spans_at(), present_ * sizeof(SymbolSpan));
    std::memcpy(fresh.get() + capacity * sizeof(SymbolSpan), infos_at(), present_ * sizeof(Info));
  }
  block_ = std::move(fresh);
  capacity_ = capacity;
}

bool TextStore::add_borrowed(SymbolSpan code_points, bool ascii) { return add(code_points, ascii, true); }

void TextStore::add_owned(std::string_view utf8) {
  owned_.push_back(to_code_units(utf8));
  // Valid UTF-8 decodes to no surrogate; what bytes that are not decode to
  // is unspecified but kept, as for any other text.
  add(owned_.back().span(), owned_.back().ascii, false);
}

bool TextStore::add(SymbolSpan cp, bool ascii, bool refuse_surrogates) {
  Info info{size_, cp.size, marks_.size(), ascii};
  if (!ascii) {
    const TextScan scan = scan_text(cp, marks_);
    if (scan.surrogate && refuse_surrogates) {
      marks_.resize(info.marks);
      return false;
    }
    info.bytes = scan.bytes;
  }
  if (present_ == capacity_) grow_to(std::max<u64>(4, 2 * capacity_));
  spans_at()[present_] = cp;
  infos_at()[present_] = info;
  ++present_;
  ++size_;
  return true;
}

u64 TextStore::byte_offset(u64 j, u64 c) const {
  const Info& e = info(j);
  const SymbolSpan& cp = spans_at()[j];
  PALIMP_CHECK(c <= cp.size);
  if (e.ascii) return c;
  const u64 mark = c / kStride;
  return marks_[e.marks + mark] + utf8_length_short(cp, mark * kStride, c - mark * kStride);
}

void TextStore::append_utf8(u64 j, u64 start, u64 len, std::string& out) const {
  ::palimp::append_utf8(code_points(j), start, len, out);
}

// ---- TextCompressorState

void TextCompressorState::check_reference(const Piece& ref) const {
  const SymbolSpan& cp = texts.code_points(ref.source);  // checks the text exists
  PALIMP_CHECK(ref.start <= cp.size && ref.len <= cp.size - ref.start);
}

Reference TextCompressorState::to_bytes(const Piece& ref) const {
  check_reference(ref);
  const u64 begin = texts.byte_offset(ref.source, ref.start);
  const u64 end = texts.byte_offset(ref.source, ref.start + ref.len);
  return Reference{texts.list_position(ref.source), begin, end - begin};
}

std::vector<std::vector<Segment>> TextCompressorState::segment_records() const {
  std::vector<std::vector<Segment>> out(texts.size());
  texts.for_each_entry([&](u64 k, u64 j) {
    if (j == TextStore::kAbsent) return;
    const std::span<const Piece> list = pieces(j);
    out[k].reserve(list.size());
    for (const Piece& p : list) {
      if (p.is_literal()) {
        std::string utf8;
        texts.append_utf8(j, p.start, p.len, utf8);
        out[k].emplace_back(TextLiteral{std::move(utf8)});
      } else {
        out[k].emplace_back(to_bytes(p));
      }
    }
  });
  return out;
}

namespace {

// The work of a walk over pieces, counted on a WorkMeter in batches, so that
// a piece costs an addition and a compare: its symbols, and kPiece units of
// its own.  A literal longer than kCopyChunk symbols is handed out in chunks
// of that many, each counted, so that no literal is an unmetered stretch.
class PieceWork {
 public:
  explicit PieceWork(WorkMeter& meter) : meter_(meter) {}

  // Calls f(at, n) for consecutive chunks [at, at + n) of the literal
  // [start, start + len), and counts it.
  template <class F>
  void literal(u64 start, u64 len, F&& f) {
    while (len > work_units::kCopyChunk) [[unlikely]] {
      f(start, work_units::kCopyChunk);
      count(work_units::kCopyChunk);
      start += work_units::kCopyChunk;
      len -= work_units::kCopyChunk;
    }
    f(start, len);
    count(len + kPieceSymbols);
  }
  // Any other piece, with the symbols it wrote or read.
  void piece(u64 symbols) { count(symbols + kPieceSymbols); }
  // Counts what is still pending; call at the end of the walk.
  void flush() {
    meter_.add(pending_ / work_units::kSymbolsPerUnit);
    pending_ = 0;
  }

 private:
  static constexpr u64 kPieceSymbols = work_units::kPiece * work_units::kSymbolsPerUnit;
  void count(u64 symbols) {
    pending_ += symbols;
    if (pending_ >= work_units::kCopyChunk) [[unlikely]] flush();
  }

  WorkMeter& meter_;
  u64 pending_ = 0;  // symbols, or their equivalent, not yet counted
};

// The same, counting nothing, for a walk counted as a whole.
struct UncountedWork {
  template <class F>
  void literal(u64 start, u64 len, F&& f) {
    f(start, len);
  }
  void piece(u64) {}
};

// Runs walk(work) over the pieces of a text of `symbols` symbols with
// `pieces` pieces, each reference replaced by `replacement` symbols.  A
// short walk (the common case) is counted once, up front, and pays nothing
// per piece; a long one is counted as it goes.
template <class Walk>
void counted_walk(WorkMeter& meter, u64 symbols, u64 pieces, u64 replacement, Walk&& walk) {
  constexpr u64 kShort = work_units::kCopyChunk;
  constexpr u64 kPieceSymbols = work_units::kPiece * work_units::kSymbolsPerUnit;
  if (symbols <= kShort && pieces <= kShort && replacement <= kShort &&
      symbols + pieces * (replacement + kPieceSymbols) <= kShort) {
    meter.add((symbols + pieces * (replacement + kPieceSymbols)) / work_units::kSymbolsPerUnit);
    UncountedWork work;
    walk(work);
    return;
  }
  PieceWork work(meter);
  walk(work);
  work.flush();
}

}  // namespace

TextCompressorState::RenderedSize TextCompressorState::rendered_size(u64 j, const SymbolSpan& replacement,
                                                                     u32 replacement_max, WorkMeter& meter) const {
  const SymbolSpan& text = texts.code_points(j);
  const bool ascii = texts.ascii(j);
  RenderedSize r;
  counted_walk(meter, text.size, pieces(j).size(), 0, [&](auto& work) {
    for_each_piece(
        j,
        [&](u64 start, u64 len) {
          r.length = checked_add(r.length, len);
          if (ascii) {
            r.max_char = std::max(r.max_char, u32{0x7F});
            work.piece(0);  // its symbols unread
            return;
          }
          work.literal(start, len,
                       [&](u64 at, u64 n) { r.max_char = std::max(r.max_char, max_symbol(text, at, n)); });
        },
        [&](const Piece&) {
          r.length = checked_add(r.length, replacement.size);
          r.max_char = std::max(r.max_char, replacement_max);
          work.piece(0);
        });
  });
  return r;
}

void TextCompressorState::write_rendered(u64 j, const SymbolSpan& replacement, u8 width, void* out,
                                         WorkMeter& meter) const {
  const SymbolSpan& text = texts.code_points(j);
  u8* at = static_cast<u8*>(out);
  counted_walk(meter, text.size, pieces(j).size(), replacement.size, [&](auto& work) {
    for_each_piece(
        j,
        [&](u64 start, u64 len) {
          work.literal(start, len, [&](u64 from, u64 n) {
            copy_symbols(text, from, n, width, at);
            at += n * width;
          });
        },
        [&](const Piece&) {
          copy_symbols(replacement, 0, replacement.size, width, at);
          at += replacement.size * width;
          work.piece(replacement.size);
        });
  });
}

std::vector<std::string> TextCompressorState::render_with(TextRenderFn f) const {
  std::vector<std::string> out(texts.size());
  std::string span;
  texts.for_each_entry([&](u64 k, u64 j) {
    if (j == TextStore::kAbsent) return;
    for_each_piece(
        j, [&](u64 start, u64 len) { texts.append_utf8(j, start, len, out[k]); },
        [&](const Piece& p) {
          span.clear();
          texts.append_utf8(p.source, p.start, p.len, span);
          out[k] += f(span);
        });
  });
  return out;
}

std::vector<std::string> TextCompressorState::render_replacing(std::string_view replacement) const {
  const CodeUnits with = to_code_units(replacement);
  const SymbolSpan r = with.span();
  const u32 replacement_max = with.ascii ? 0x7F : max_symbol(r, 0, r.size);  // as the module's
  const Interrupt never;
  WorkMeter meter(never);
  std::vector<std::string> out(texts.size());
  std::vector<u8> buffer;
  texts.for_each_entry([&](u64 k, u64 j) {
    if (j == TextStore::kAbsent) return;
    const RenderedSize size = rendered_size(j, r, replacement_max, meter);
    const u8 width = width_for(size.max_char);
    if (size.length > SIZE_MAX / width) throw std::bad_alloc();
    buffer.resize(size.length * width);
    write_rendered(j, r, width, buffer.data(), meter);
    append_utf8(SymbolSpan{buffer.data(), size.length, width}, 0, size.length, out[k]);
  });
  return out;
}

double TextCompressorState::compression_ratio(const Interrupt& interrupt) const {
  WorkMeter meter(interrupt);
  u64 kept = 0, total = 0;
  for (u64 j = 0; j < texts.present(); ++j) {
    total += texts.byte_length(j);
    meter.add(work_units::kPiece);
    for (const Piece& p : pieces(j)) {
      meter.add(work_units::kPiece);
      kept += p.is_literal() ? texts.byte_offset(j, p.start + p.len) - texts.byte_offset(j, p.start) : 1;
    }
  }
  if (total == 0) return 1.0;
  return static_cast<double>(kept) / static_cast<double>(total);
}

// ---- construction

// The engine runs before the store moves into the state (members are
// initialised in order); its spans stay valid across the move anyway: they
// point at the caller's storage or at owned buffers, never into the store.
Exact::Exact(TextStore&& texts, const EngineParams& params, const Interrupt& interrupt)
    : state_{params, exact_segments(texts.spans(), params.min_match_len, interrupt), std::move(texts)} {}

Approximate::Approximate(TextStore&& texts, const EngineParams& params, const Interrupt& interrupt)
    : state_{params, capped_segments(texts.spans(), params, interrupt), std::move(texts)} {}

Exact exact(TextStore texts, const EngineParams& params, const Interrupt& interrupt) {
  return Exact(std::move(texts), params, interrupt);
}

Approximate approximate(TextStore texts, const EngineParams& params, const Interrupt& interrupt) {
  return Approximate(std::move(texts), params, interrupt);
}

Exact exact(std::span<const std::optional<std::string>> messages, const EngineParams& params) {
  return exact(owned_store(messages), params);
}

Approximate approximate(std::span<const std::optional<std::string>> messages, const EngineParams& params) {
  return approximate(owned_store(messages), params);
}

}  // namespace palimp
