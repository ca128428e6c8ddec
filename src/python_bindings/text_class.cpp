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

constexpr Param kFromTexts[] = {{"messages"},       {"exact_mode", true}, {"min_match_len", true},
                                {"lookback", true}, {"cap_len", true},    {"ncap", true}};
constexpr Param kRender[] = {{"replacement"}};

PyObject* from_texts(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    PyObject* a[6];
    bind(Signature{"PalimpText.from_texts", kFromTexts}, args, nargs, kwnames, a);
    TextMessages messages = arg("messages", [&] { return to_text_messages(a[0]); });
    const EngineOptions options = to_engine_options(a + 1);
    TextStore store;
    for (const auto& view : messages.views) {
      if (view) {
        const bool added = store.add_borrowed(view->code_points, view->ascii);
        PALIMP_CHECK(added);  // the conversion refused surrogates
      } else {
        store.add_absent();
      }
    }
    std::variant<Exact, Approximate> built = options.exact
                                                 ? std::variant<Exact, Approximate>(exact(std::move(store), options.params))
                                                 : std::variant<Exact, Approximate>(approximate(std::move(store), options.params));
    return new_instance<PyPalimpText>(reinterpret_cast<PyTypeObject*>(cls),
                                      TextCompressor{std::move(built), std::move(messages.keep), {}});
  });
}

PyObject* segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    TextCompressor& c = compressor(self);
    SharedAccess access(c.access);
    bind(Signature{"PalimpText.segments", {}}, args, nargs, kwnames, nullptr);
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
    PyObject* a[1];
    bind(Signature{"PalimpText.render", kRender}, args, nargs, kwnames, a);
    const std::string replacement = arg("replacement", [&] { return to_utf8(a[0]); });
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
    bind(Signature{"PalimpText.compression_ratio", {}}, args, nargs, kwnames, nullptr);
    return checked(PyFloat_FromDouble(c.state().compression_ratio()));
  });
}

PyMethodDef methods[] = {
    {"from_texts", fastcall<from_texts>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_texts($cls, messages, *, exact_mode=True, min_match_len=4, lookback=None, cap_len=64, ncap=64)\n--\n\n"},
    {"segments", fastcall<segments>(), METH_FASTCALL | METH_KEYWORDS, "segments($self)\n--\n\n"},
    {"render", fastcall<render>(), METH_FASTCALL | METH_KEYWORDS, "render($self, replacement)\n--\n\n"},
    {"compression_ratio", fastcall<compression_ratio>(), METH_FASTCALL | METH_KEYWORDS,
     "compression_ratio($self)\n--\n\n"},
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
