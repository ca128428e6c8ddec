// class PalimpText:
//     @classmethod
//     def from_texts(cls, messages, *, exact_mode=True, min_match_len=4,
//                    lookback=None, cap_len=64, ncap=64) -> PalimpText
//     def segments(self) -> list[list[PyLiteralSegment | PyReferenceSegment]]
//     def render(self, replacement: str) -> list[str | None]
//     def compression_ratio(self) -> float
//
// One result entry per entry of the caller's list, absent (None) entries
// included; references name list positions and count UTF-8 bytes.
#include <algorithm>
#include <span>
#include <variant>

#include "lib.h"
#include "python_bindings/access.h"
#include "python_bindings/classes.h"
#include "python_bindings/convert.h"
#include "python_bindings/errors.h"
#include "python_bindings/heap_types.h"
#include "python_bindings/result_list.h"
#include "python_bindings/signals.h"
#include "python_bindings/values.h"

namespace palimp::py {
namespace {

using Compressor = std::variant<Exact, Approximate>;  // index 0 exact, 1 approximate

struct TextCompressor {
  // Builds the compressor in place, taking over the texts and what keeps
  // their storage alive.
  // `interrupt` may end the work.
  TextCompressor(bool exact, TextStoreMessages&& messages, const EngineParams& params, const Interrupt& interrupt)
      : compressor(exact ? Compressor(std::in_place_index<0>, std::move(messages.store), params, interrupt)
                         : Compressor(std::in_place_index<1>, std::move(messages.store), params, interrupt)),
        texts(std::move(messages.keep)) {}

  Compressor compressor;
  // The caller's str objects, whose own storage the compressor reads: a str
  // never changes, so holding it is as good as a copy.
  PyRef texts;
  AccessState access;

  const TextCompressorState& state() const {
    return std::visit([](const auto& c) -> const TextCompressorState& { return c.state(); }, compressor);
  }
};

struct PyPalimpText {
  PyObject_HEAD
  TextCompressor value;
};

TextCompressor& compressor(PyObject* self) { return reinterpret_cast<PyPalimpText*>(self)->value; }

constexpr auto kFromTexts =
    class_method("PalimpText", "from_texts", std::array{required("messages")}, kEngineKeywords);
constexpr auto kSegments = instance_method("PalimpText", "segments");
constexpr auto kRender = instance_method("PalimpText", "render", std::array{required("replacement")});
constexpr auto kCompressionRatio = instance_method("PalimpText", "compression_ratio");

PyObject* from_texts(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = bind<kFromTexts>(args, nargs, kwnames);
    SignalMeter signals;
    TextStoreMessages messages = a.convert<"messages">([&](PyObject* m) { return to_text_store(m, signals); });
    const EngineOptions options = to_engine_options(a);
    return new_instance<PyPalimpText>(reinterpret_cast<PyTypeObject*>(cls), options.exact, std::move(messages),
                                      options.params, signals.interrupt());
  });
}

PyObject* segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    bind<kSegments>(args, nargs, kwnames);
    const TextCompressorState& s = c.state();
    SignalMeter signals;
    ResultList out(s.texts.size());
    s.texts.for_each_entry([&](u64 k, u64 j) {
      const std::span<const Piece> pieces = j == TextStore::kAbsent ? std::span<const Piece>() : s.pieces(j);
      ResultList list(pieces.size());
      signals.add(work_units::kPythonObject);
      for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        PyRef seg = p.is_literal() ? make_literal_segment(s.texts.code_points(j), p.start, p.len)
                                   : make_reference_segment(s.to_bytes(p));
        list.set(i, std::move(seg));
        signals.add(work_units::kPythonObject + (p.is_literal() ? p.len / work_units::kSymbolsPerUnit : 0));
      }
      out.set(k, std::move(list));
    });
    return std::move(out).publish_nested();
  });
}

// Present text j rendered with `replacement` for every reference, as one
// new str built in place (None when it is empty), with the narrowest
// storage that holds its characters, as the interpreter's own strs have.
PyRef render_text(const TextCompressorState& s, u64 j, const SymbolSpan& replacement, u32 replacement_max,
                  WorkMeter& meter) {
  const TextCompressorState::RenderedSize size = s.rendered_size(j, replacement, replacement_max, meter);
  if (size.length == 0) return PyRef::borrow(Py_None);
  if (size.length > static_cast<u64>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  PyRef out = checked(PyUnicode_New(static_cast<Py_ssize_t>(size.length), size.max_char));
  s.write_rendered(j, replacement, static_cast<u8>(PyUnicode_KIND(out.get())), PyUnicode_DATA(out.get()), meter);
  return out;
}

PyObject* render(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    const TextView replacement = bind<kRender>(args, nargs, kwnames).convert<"replacement">(to_text);
    const SymbolSpan& r = replacement.code_points;
    const u32 replacement_max = replacement.ascii ? 0x7F : max_symbol(r, 0, r.size);
    const TextCompressorState& s = c.state();
    SignalMeter signals;
    ResultList out(s.texts.size());
    s.texts.for_each_entry([&](u64 k, u64 j) {
      out.set(k, j == TextStore::kAbsent ? PyRef::borrow(Py_None)
                                         : render_text(s, j, r, replacement_max, signals.meter()));
      signals.add(work_units::kPythonObject);
    });
    return std::move(out).publish();
  });
}

PyObject* compression_ratio(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    bind<kCompressionRatio>(args, nargs, kwnames);
    SignalMeter signals;
    return checked(PyFloat_FromDouble(c.state().compression_ratio(signals.interrupt())));
  });
}

PyMethodDef methods[] = {
    method_def<kFromTexts, from_texts>(),
    method_def<kSegments, segments>(),
    method_def<kRender, render>(),
    method_def<kCompressionRatio, compression_ratio>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PyPalimpText>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* palimp_text_type() {
  if (g_type == nullptr) g_type = make_type("palimp.PalimpText", sizeof(PyPalimpText), slots);
  return g_type;
}

}  // namespace palimp::py
