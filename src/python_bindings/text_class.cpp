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
#include <variant>

#include "lib.h"
#include "python_bindings/access.h"
#include "python_bindings/classes.h"
#include "python_bindings/convert.h"
#include "python_bindings/errors.h"
#include "python_bindings/heap_types.h"
#include "python_bindings/values.h"

namespace palimp::py {
namespace {

struct TextCompressor {
  std::variant<Exact, Approximate> compressor;  // index 0 exact, 1 approximate
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
    TextStoreMessages messages = a.convert<"messages">(to_text_store);
    const EngineOptions options = to_engine_options(a);
    TextStore store = std::move(messages.store);
    SignalCheck signals;
    const Interrupt interrupt(signals);
    std::variant<Exact, Approximate> built =
        options.exact ? std::variant<Exact, Approximate>(exact(std::move(store), options.params, interrupt))
                      : std::variant<Exact, Approximate>(approximate(std::move(store), options.params, interrupt));
    return new_instance<PyPalimpText>(reinterpret_cast<PyTypeObject*>(cls),
                                      TextCompressor{std::move(built), std::move(messages.keep), {}});
  });
}

PyObject* segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    bind<kSegments>(args, nargs, kwnames);
    const TextCompressorState& s = c.state();
    PyRef out = checked(PyList_New(static_cast<Py_ssize_t>(s.texts.size())));
    for (u64 k = 0; k < s.texts.size(); ++k) {
      PyRef list = checked(PyList_New(0));
      auto append = [&](PyRef seg) {
        if (PyList_Append(list.get(), seg.get()) < 0) throw PythonError{};
      };
      s.visit(
          k, [&](std::string&& text) { append(make_literal_segment(std::move(text))); },
          [&](const Reference& r) { append(make_reference_segment(r.message, r.start, r.len)); });
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), list.release());
    }
    return out;
  });
}

PyObject* render(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    const std::string replacement = bind<kRender>(args, nargs, kwnames).convert<"replacement">(to_utf8);
    const std::vector<std::string> rendered = c.state().render_replacing(replacement);
    PyRef out = checked(PyList_New(static_cast<Py_ssize_t>(rendered.size())));
    for (size_t i = 0; i < rendered.size(); ++i) {
      const std::string& t = rendered[i];
      PyRef item = t.empty() ? PyRef::borrow(Py_None)
                             : checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return out;
  });
}

PyObject* compression_ratio(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    bind<kCompressionRatio>(args, nargs, kwnames);
    return checked(PyFloat_FromDouble(c.state().compression_ratio()));
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
