// class PalimpTokens:
//     @classmethod
//     def from_tokens(cls, messages, *, exact_mode=True, min_match_len=4,
//                     lookback=None, cap_len=64, ncap=64) -> PalimpTokens
//     @classmethod
//     def from_texts_with_tokenizer(cls, messages, tokenizer, *, ...) -> PalimpTokens
//     def segments(self) -> list[list[PyLiteralTokens | PyReferenceTokens]]
//     def render(self, replacement, *, as_numpy=False) -> list[list[int] | np.ndarray]
//     def render_texts(self, replacement: str) -> list[str]
//
// Absent (None) messages are dropped before the engines run: results and
// message indices count present messages only.
#include <memory>
#include <variant>

#include "capped.h"
#include "hashed_binary.h"
#include "normalize.h"
#include "python_bindings/access.h"
#include "python_bindings/classes.h"
#include "python_bindings/convert.h"
#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"
#include "python_bindings/heap_types.h"
#include "python_bindings/result_list.h"
#include "python_bindings/signals.h"
#include "python_bindings/values.h"
#include "tokenization.h"

namespace palimp::py {
namespace {

using Engine = std::variant<HashedGreedyBinary, CappedHashedGreedy>;  // index 0 exact, 1 approximate

struct TokensCompressor {
  // Builds the engine in place over `store`, which it takes over;
  // `interrupt` may end the work.
  TokensCompressor(TokenStore&& store, const EngineOptions& o, std::unique_ptr<Tokenize> t,
                   const Interrupt& interrupt)
      : engine(build(std::move(store), o, interrupt)), tokenizer(std::move(t)) {}

  static Engine build(TokenStore&& store, const EngineOptions& o, const Interrupt& interrupt) {
    if (o.exact) return Engine(std::in_place_index<0>, std::move(store), o.params, interrupt);
    return Engine(std::in_place_index<1>, CappedHashedGreedy::new_tokens(std::move(store), o.params, interrupt));
  }

  Engine engine;
  std::unique_ptr<Tokenize> tokenizer;  // only from texts
  AccessState access;

  const TokenEngineState& state() const {
    return std::visit([](const auto& e) -> const TokenEngineState& { return e.state(); }, engine);
  }
};

struct PyPalimpTokens {
  PyObject_HEAD
  TokensCompressor value;
};

TokensCompressor& compressor(PyObject* self) { return reinterpret_cast<PyPalimpTokens*>(self)->value; }

constexpr auto kFromTokens =
    class_method("PalimpTokens", "from_tokens", std::array{required("messages")}, kEngineKeywords);
constexpr auto kFromTextsWithTokenizer =
    class_method("PalimpTokens", "from_texts_with_tokenizer", std::array{required("messages"), required("tokenizer")},
                 kEngineKeywords)
        .documented("Tokenizer opt-in: accept texts and a tokenizer name, return token-mode compressor.");
constexpr auto kSegments = instance_method("PalimpTokens", "segments");
constexpr auto kRender = instance_method("PalimpTokens", "render", std::array{required("replacement")},
                                         std::array{keyword("as_numpy", Default::flag(false))});
constexpr auto kRenderTexts = instance_method("PalimpTokens", "render_texts", std::array{required("replacement")})
                                  .documented(
                                      "Decode rendered token outputs back to text using the stored tokenizer.\n"
                                      "Raises a TypeError if the instance was not created with a tokenizer.");

PyObject* from_tokens(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind<kFromTokens>(args, nargs, kwnames);
    SignalMeter signals;
    TokenStore store = a.convert<"messages">([&](PyObject* m) { return to_token_messages(m, signals); });
    const EngineOptions options = to_engine_options(a);
    return new_instance<PyPalimpTokens>(reinterpret_cast<PyTypeObject*>(cls), std::move(store), options, nullptr,
                                        signals.interrupt());
  });
}

PyObject* from_texts_with_tokenizer(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind<kFromTextsWithTokenizer>(args, nargs, kwnames);
    SignalMeter signals;
    const TextMessages texts = a.convert<"messages">([&](PyObject* m) { return to_text_messages(m, signals); });
    const std::string name = a.convert<"tokenizer">(to_utf8);
    const EngineOptions options = to_engine_options(a);
    TokenizerOrError found = get_tokenizer(name);
    if (auto* error = std::get_if<std::string>(&found)) raise(PyExc_TypeError, *error);
    std::unique_ptr<Tokenize> tokenizer = std::move(std::get<std::unique_ptr<Tokenize>>(found));
    TokenStore store;
    std::string utf8;
    for (const auto& view : texts.views) {
      if (!view) continue;
      std::string_view text;
      if (view->ascii) {
        text = std::string_view(static_cast<const char*>(view->code_points.data), view->code_points.size);
      } else {
        utf8.clear();
        append_utf8(view->code_points, 0, view->code_points.size, utf8);
        text = utf8;
      }
      // The tokenizer polls within a long text; the texts' tokens add up here.
      const std::vector<u32> ids = tokenizer->encode(text, signals.interrupt());
      store.add(ids);
      signals.add(work_units::kPythonObject + ids.size() * work_units::kToken);
    }
    return new_instance<PyPalimpTokens>(reinterpret_cast<PyTypeObject*>(cls), std::move(store), options,
                                        std::move(tokenizer), signals.interrupt());
  });
}

PyObject* segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TokensCompressor& c = compressor(self);
    SharedAccess access(c.access);
    bind<kSegments>(args, nargs, kwnames);
    const TokenEngineState& s = c.state();
    const u64 count = s.segments.messages();
    SignalMeter signals;
    ResultList out(count);
    ResultList list;
    for_each_record(
        s.segments,
        [&](u64, u64 n) {
          list = ResultList(n);
          signals.add(work_units::kPythonObject);
        },
        [&](u64 i, u64 j, const Piece& p) {
          PyRef seg = p.is_literal() ? make_literal_tokens(s.tokens.span(i), p.start, p.len)
                                     : make_reference_tokens(p.source, p.start, p.len);
          list.set(j, std::move(seg));
          signals.add(work_units::kPythonObject + (p.is_literal() ? p.len / work_units::kSymbolsPerUnit : 0));
        },
        [&](u64 i) { out.set(i, std::move(list)); });
    return std::move(out).publish_nested();
  });
}

// The ids of a replacement; up to kInline of them need no allocation.
class Replacement {
 public:
  void reserve(u64 n) {
    if (n > kInline) move_to_heap(n);
  }
  void push_back(u32 id) {
    if (!on_heap_) {
      if (size_ < kInline) {
        inline_[size_++] = id;
        return;
      }
      move_to_heap(2 * kInline);
    }
    heap_.push_back(id);
    ++size_;
  }
  void assign(std::span<const u32> ids) {
    size_ = 0;
    reserve(ids.size());
    if (on_heap_) {
      heap_.assign(ids.begin(), ids.end());
    } else {
      std::copy(ids.begin(), ids.end(), inline_);
    }
    size_ = ids.size();
  }
  SymbolSpan span() const { return SymbolSpan{on_heap_ ? heap_.data() : inline_, size_, 4}; }

 private:
  static constexpr u64 kInline = 16;
  void move_to_heap(u64 room) {
    if (on_heap_) return;
    heap_.reserve(room);
    heap_.assign(inline_, inline_ + size_);
    on_heap_ = true;
  }
  u32 inline_[kInline];
  std::vector<u32> heap_;  // every id, once on_heap_
  u64 size_ = 0;
  bool on_heap_ = false;
};

// The replacement of render: a one-dimensional native uint32 array (copied in
// one block), or a list, tuple or other Sequence of ints, item by item.
void to_replacement(PyObject* x, Replacement& out) {
  numpy::ensure_numpy();
  std::optional<std::span<const u32>> array;
  if (numpy::read_u32_array(x, array)) {
    if (!array) raise(PyExc_TypeError, "The given array is not contiguous");
    out.assign(*array);
    return;
  }
  bool accepted = PyList_Check(x) || PyTuple_Check(x);
  if (!accepted) {
    PyRef abc = checked(PyImport_ImportModule("collections.abc"));
    PyRef sequence = checked(PyObject_GetAttrString(abc.get(), "Sequence"));
    const int is = PyObject_IsInstance(x, sequence.get());
    if (is < 0) throw PythonError{};
    accepted = is == 1;
  }
  if (!accepted) raise(PyExc_TypeError, "replacement must be a sequence of ints or np.uint32 array");
  const Py_ssize_t n = PySequence_Size(x);
  if (n < 0) throw PythonError{};
  // Only a list's or tuple's length is certain; an item access past the real
  // end raises long before storage for a promised length would be needed.
  const bool certain = PyList_CheckExact(x) || PyTuple_CheckExact(x);
  out.reserve(certain ? static_cast<u64>(n) : std::min(static_cast<u64>(n), kMaxUntrustedReserve));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = checked(PySequence_GetItem(x, i));
    PyRef index = checked(PyNumber_Index(item.get()));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    if (v > 0xFFFFFFFFull) raise(PyExc_TypeError, "replacement token exceeds u32 range");
    out.push_back(static_cast<u32>(v));
  }
}

// Calls put(ids, n) for each run of message i's rendering (`length` ids in
// all), in order: its literals as stored and the replacement (4-byte ids)
// for each reference, each cut into runs of at most `chunk` ids.  Counts
// the ids put, and kPiece units per piece, on `signals` in batches of about
// `chunk` ids (`units` per batch): a long message or literal is metered as
// it goes at an addition and a compare per piece; a short message, the
// common case, is counted once.
template <class Put>
void for_each_run(const TokenEngineState& s, u64 i, u64 length, const SymbolSpan& replacement, u64 chunk, u64 units,
                  SignalMeter& signals, Put&& put) {
  PALIMP_CHECK(replacement.width == 4);
  const u32* with = static_cast<const u32*>(replacement.data);
  u64 pending = 0;  // ids not yet counted, or their equivalent
  const u64 piece = std::max<u64>(1, work_units::kPiece * chunk / units);  // a piece's cost in ids
  const auto flush = [&] {
    signals.add(pending * units / chunk);
    pending = 0;
  };
  const auto cut = [&](const auto* ids, u64 len) {
    while (len > chunk) [[unlikely]] {
      put(ids, chunk);
      ids += chunk;
      len -= chunk;
      pending += chunk;
      flush();
    }
    put(ids, len);
    pending += len + piece;
    if (pending >= chunk) [[unlikely]] flush();
  };
  // A short message (the common case) is counted once and pays nothing per
  // piece.
  const u64 pieces = s.segments.message(i).size();
  if (length <= chunk && pieces <= chunk / piece) {
    pending = length + pieces * piece;
    flush();
    s.for_each_piece(i, put, [&](const Piece&) { put(with, replacement.size); });
    return;
  }
  s.for_each_piece(i, cut, [&](const Piece&) { cut(with, replacement.size); });
  flush();
}

// Message i rendered as a new list of ints, built in place (and published
// by the caller).
ResultList render_list(const TokenEngineState& s, u64 i, const SymbolSpan& replacement, SignalMeter& signals) {
  const u64 n = s.rendered_length(i, replacement.size);
  if (n > static_cast<u64>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  ResultList list(n);
  u64 at = 0;
  for_each_run(s, i, n, replacement, work_units::kObjectChunk, work_units::kObjectChunk * work_units::kPythonObject,
               signals,
               [&](const auto* ids, u64 len) {
                 for (u64 q = 0; q < len; ++q) {
                   list.set(at++, checked(PyLong_FromUnsignedLong(ids[q])));
                 }
               });
  return list;
}

// Message i rendered into a new uint32 array, written in place.
PyRef render_array(const TokenEngineState& s, u64 i, const SymbolSpan& replacement, SignalMeter& signals) {
  u32* data = nullptr;
  const u64 n = s.rendered_length(i, replacement.size);
  PyRef array = numpy::new_owned_array(n, data);
  for_each_run(s, i, n, replacement, work_units::kCopyChunk, work_units::kCopyChunk / work_units::kSymbolsPerUnit,
               signals,
               [&](const auto* ids, u64 len) {
                 for (u64 q = 0; q < len; ++q) data[q] = ids[q];
                 data += len;
               });
  return array;
}

PyObject* render(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TokensCompressor& c = compressor(self);
    SharedAccess access(c.access);
    const auto a = bind<kRender>(args, nargs, kwnames);
    const bool as_numpy = a.flag<"as_numpy">();
    Replacement replacement;
    to_replacement(a.get<"replacement">(), replacement);
    const TokenEngineState& s = c.state();
    const u64 count = s.segments.messages();
    SignalMeter signals;
    ResultList out(count);
    for (u64 i = 0; i < count; ++i) {
      if (as_numpy) {
        out.set(i, render_array(s, i, replacement.span(), signals));
      } else {
        out.set(i, render_list(s, i, replacement.span(), signals));
      }
      signals.add(work_units::kPythonObject);
    }
    return as_numpy ? std::move(out).publish() : std::move(out).publish_nested();
  });
}

PyObject* render_texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TokensCompressor& c = compressor(self);
    ExclusiveAccess access(c.access);
    const std::string replacement = bind<kRenderTexts>(args, nargs, kwnames).convert<"replacement">(to_utf8);
    if (!c.tokenizer) raise(PyExc_TypeError, "render_texts() requires instance created via from_texts_with_tokenizer");
    const std::vector<u32> ids = c.tokenizer->encode(replacement);
    const SymbolSpan with{ids.data(), ids.size(), 4};
    const TokenEngineState& s = c.state();
    const u64 count = s.segments.messages();
    SignalMeter signals;
    ResultList out(count);
    std::vector<u32> rendered;  // one message's ids, reused
    for (u64 i = 0; i < count; ++i) {
      rendered.resize(s.rendered_length(i, with.size));
      u32* at = rendered.data();
      for_each_run(s, i, rendered.size(), with, work_units::kCopyChunk,
                   work_units::kCopyChunk / work_units::kSymbolsPerUnit, signals,
                   [&](const auto* ids, u64 len) {
                     for (u64 q = 0; q < len; ++q) at[q] = ids[q];
                     at += len;
                   });
      const std::string text = c.tokenizer->decode(rendered, signals.interrupt());
      signals.add(work_units::kPythonObject + text.size() / work_units::kSymbolsPerUnit);
      out.set(i, checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
    }
    return std::move(out).publish();
  });
}

PyMethodDef methods[] = {
    method_def<kFromTokens, from_tokens>(),
    method_def<kFromTextsWithTokenizer, from_texts_with_tokenizer>(),
    method_def<kSegments, segments>(),
    method_def<kRender, render>(),
    method_def<kRenderTexts, render_texts>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyPalimpTokens>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* palimp_tokens_type() {
  if (g_type == nullptr) g_type = make_type("palimp.PalimpTokens", sizeof(PyPalimpTokens), slots);
  return g_type;
}

}  // namespace palimp::py
