// Declarative argument handling shared by every constructor and method.
//
// Each constructor and method is declared once, as a constexpr `Signature`:
// its class and method names, its receiver, and its parameters with their
// keyword-only marks and defaults.  Everything else comes from that one
// declaration:
//   - `bind<Sig>` matches the call's positional and keyword arguments to the
//     parameters (with the module's binding messages) into an array sized by
//     the declaration;
//   - `Bound<Sig>::get<"name">()` and the conversions beside it find a
//     parameter by name at compile time (a name the declaration lacks does
//     not compile), apply the declared default, and put
//     "argument 'NAME': " in front of a TypeError raised while converting it;
//   - `doc<Sig>()` is the docstring: the text signature head
//     "name($cls, ...)\n--\n\n" (which the interpreter publishes as
//     `__text_signature__`) followed by the declared documentation text;
//   - `method_def<Sig, F>()` is the method table entry.
// Conversions run in signature order; only then does the method's own work
// begin, so a failed call has built and changed nothing.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "check.h"
#include "python_bindings/pyref.h"
#include "symbol_span.h"

namespace palimp::py {

// What an omitted keyword-only argument means.  Positional parameters are
// always required and have none.
struct Default {
  enum class Kind : u8 { kRequired, kNone, kFlag, kSize };
  Kind kind = Kind::kRequired;
  u64 value = 0;  // the flag (0 or 1) or the size

  static consteval Default none() { return {Kind::kNone, 0}; }
  static consteval Default flag(bool v) { return {Kind::kFlag, v ? 1u : 0u}; }
  static consteval Default size(u64 v) { return {Kind::kSize, v}; }
};

struct Param {
  const char* name;           // a C string literal
  bool keyword_only = false;  // declared after `*`: optional, keyword only
  Default fallback{};
};

// A positional-or-keyword parameter (required) and a keyword-only one (with
// its default).
consteval Param required(const char* name) { return Param{name, false, {}}; }
consteval Param keyword(const char* name, Default d) { return Param{name, true, d}; }

// The default of parameter `name` in `params`; no constant when it is absent.
template <size_t N>
consteval Default default_of(const std::array<Param, N>& params, std::string_view name) {
  for (const Param& p : params) {
    if (std::string_view(p.name) == name) return p.fallback;
  }
  throw "no parameter of that name";
}

enum class Receiver : u8 {
  kConstructor,  // tp_new: "Class(params)", messages say "Class.__new__()"
  kClass,        // a class method: "name($cls, params)"
  kInstance,     // an instance method: "name($self, params)"
};

template <size_t N>
struct Signature {
  Receiver receiver;
  const char* type;    // the Python class name, as messages name it
  const char* method;  // "__new__" for a constructor
  std::array<Param, N> params;
  const char* doc = "";  // documentation after the signature head

  // Position of parameter `name`.  Not a constant expression (so a compile
  // error where it must be one) when the declaration has no such parameter.
  consteval size_t index(std::string_view name) const {
    for (size_t i = 0; i < N; ++i) {
      if (std::string_view(params[i].name) == name) return i;
    }
    throw "no parameter of that name";
  }

  // The same declaration with a documentation text after the head.
  consteval Signature documented(const char* text) const {
    Signature s = *this;
    s.doc = text;
    return s;
  }

  // Writes the docstring (head, then `doc`) to `out` when it is not null and
  // returns its length without the terminating NUL.
  constexpr size_t render(char* out) const {
    size_t n = 0;
    auto put = [&](std::string_view s) {
      if (out != nullptr) std::copy(s.begin(), s.end(), out + n);
      n += s.size();
    };
    put(receiver == Receiver::kConstructor ? type : method);
    put("(");
    bool first = true;
    auto separate = [&] {
      if (!first) put(", ");
      first = false;
    };
    if (receiver != Receiver::kConstructor) {
      separate();
      put(receiver == Receiver::kClass ? "$cls" : "$self");
    }
    bool star = false;
    for (const Param& p : params) {
      if (p.keyword_only && !star) {
        separate();
        put("*");
        star = true;
      }
      separate();
      put(p.name);
      switch (p.fallback.kind) {
        case Default::Kind::kRequired: break;
        case Default::Kind::kNone: put("=None"); break;
        case Default::Kind::kFlag: put(p.fallback.value != 0 ? "=True" : "=False"); break;
        case Default::Kind::kSize: {
          char digits[20];
          size_t k = 0;
          u64 v = p.fallback.value;
          do {
            digits[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
          } while (v != 0);
          put("=");
          while (k > 0) put(std::string_view(&digits[--k], 1));
          break;
        }
      }
    }
    put(")\n--\n\n");
    put(doc);
    return n;
  }
};

namespace detail {

// Rejects, at compile time, a declaration the binder cannot honour.
template <size_t N>
consteval void validate(const Signature<N>& s) {
  bool keyword_seen = false;
  for (size_t i = 0; i < N; ++i) {
    const Param& p = s.params[i];
    if (std::string_view(p.name).empty()) throw "a parameter needs a name";
    if (p.keyword_only != (p.fallback.kind != Default::Kind::kRequired)) {
      throw "keyword-only parameters have defaults, positional ones do not";
    }
    if (keyword_seen && !p.keyword_only) throw "positional parameters come before keyword-only ones";
    keyword_seen |= p.keyword_only;
    for (size_t j = 0; j < i; ++j) {
      if (std::string_view(s.params[j].name) == p.name) throw "parameter names are unique";
    }
  }
}

template <size_t... Ns>
consteval auto declare(Receiver receiver, const char* type, const char* method,
                       const std::array<Param, Ns>&... groups) {
  Signature<(Ns + ... + 0)> s{receiver, type, method, {}};
  size_t at = 0;
  ((std::copy(groups.begin(), groups.end(), s.params.begin() + at), at += groups.size()), ...);
  validate(s);
  return s;
}

}  // namespace detail

// Declarations: the parameters come in groups (std::arrays of Param), so a
// block such as the engine keywords is written once and shared.
template <size_t... Ns>
consteval auto constructor(const char* type, const std::array<Param, Ns>&... groups) {
  return detail::declare(Receiver::kConstructor, type, "__new__", groups...);
}
template <size_t... Ns>
consteval auto class_method(const char* type, const char* name, const std::array<Param, Ns>&... groups) {
  return detail::declare(Receiver::kClass, type, name, groups...);
}
template <size_t... Ns>
consteval auto instance_method(const char* type, const char* name, const std::array<Param, Ns>&... groups) {
  return detail::declare(Receiver::kInstance, type, name, groups...);
}

// The docstring of `Sig`, NUL-terminated, in static storage.
template <const auto& Sig>
inline constexpr auto kDocText = [] {
  std::array<char, Sig.render(nullptr) + 1> out{};
  Sig.render(out.data());
  return out;
}();
template <const auto& Sig>
constexpr const char* doc() {
  return kDocText<Sig>.data();
}

// The binder's view of a declaration, independent of its size.
struct BindingView {
  const char* type;
  const char* method;
  std::span<const Param> params;
};

// Fills out[i] with the borrowed argument bound to parameter i, or nullptr
// when it was omitted.  Raises the binding TypeError otherwise.
void bind_fast(const BindingView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict (tp_new).
void bind_tuple(const BindingView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Rewrites a pending exact TypeError as "argument 'NAME': <message>", keeping
// its cause; other exceptions stay as they are.
void add_argument_prefix(const char* name);

// Runs one parameter's conversion under the argument prefix rule.
template <class F>
auto arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    add_argument_prefix(name);
    throw;
  }
}

// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void type_mismatch(PyObject* obj, const char* target);

// Conversions.  Each throws PythonError with the module's message.
bool to_flag(PyObject* o);                         // True or False only
u64 to_size(PyObject* o);                          // index protocol, 0 .. 2^64 - 1
std::optional<u64> to_optional_size(PyObject* o);  // nullptr or None: absent
u32 to_token_id(PyObject* o);                      // index protocol, 0 .. 2^32 - 1

// A parameter name given as a template argument: `get<"messages">()`.
template <size_t L>
struct Name {
  char text[L];
  consteval Name(const char (&s)[L]) { std::copy_n(s, L, text); }
  constexpr std::string_view view() const { return {text, L - 1}; }
};

// The arguments of one call, bound to the parameters of `Sig`.
template <const auto& Sig>
class Bound {
 public:
  static constexpr size_t kSize = Sig.params.size();

  template <Name N>
  static constexpr size_t index() {
    constexpr size_t i = Sig.index(N.view());
    return i;
  }

  // The borrowed argument, or nullptr when an optional one was omitted.
  template <Name N>
  PyObject* get() const {
    return slots_[index<N>()];
  }

  // Converts a required argument with `convert(PyObject*)`.
  template <Name N, class F>
  auto convert(F&& convert) const {
    static_assert(param<N>().fallback.kind == Default::Kind::kRequired, "only required parameters");
    PyObject* o = get<N>();
    return arg(param<N>().name, [&] { return convert(o); });
  }

  // Flag and size conversions, with the declared default when omitted.
  template <Name N>
  bool flag() const {
    static_assert(param<N>().fallback.kind == Default::Kind::kFlag, "declared with a flag default");
    PyObject* o = get<N>();
    if (o == nullptr) return param<N>().fallback.value != 0;
    return arg(param<N>().name, [&] { return to_flag(o); });
  }
  template <Name N>
  u64 size() const {
    static_assert(param<N>().fallback.kind == Default::Kind::kSize, "declared with a size default");
    PyObject* o = get<N>();
    if (o == nullptr) return param<N>().fallback.value;
    return arg(param<N>().name, [&] { return to_size(o); });
  }
  template <Name N>
  std::optional<u64> optional_size() const {
    static_assert(param<N>().fallback.kind == Default::Kind::kNone, "declared with the default None");
    PyObject* o = get<N>();
    return arg(param<N>().name, [&] { return to_optional_size(o); });
  }

  // For the binder only.
  PyObject** slots() { return slots_.data(); }

 private:
  template <Name N>
  static constexpr Param param() {
    return Sig.params[index<N>()];
  }

  std::array<PyObject*, kSize> slots_{};  // borrowed from the call
};

template <const auto& Sig>
constexpr BindingView binding_view() {
  return BindingView{Sig.type, Sig.method, Sig.params};
}

template <const auto& Sig>
inline constexpr size_t kPositionalCount =
    static_cast<size_t>(std::count_if(Sig.params.begin(), Sig.params.end(), [](const Param& p) { return !p.keyword_only; }));

// Binds a METH_FASTCALL | METH_KEYWORDS call.  The usual call, every
// positional argument and no keyword, binds inline: it cannot fail.
template <const auto& Sig>
Bound<Sig> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound<Sig> b;
  if (kwnames == nullptr && static_cast<size_t>(nargs) == kPositionalCount<Sig>) {
    for (size_t i = 0; i < kPositionalCount<Sig>; ++i) b.slots()[i] = args[i];
    return b;
  }
  bind_fast(binding_view<Sig>(), args, nargs, kwnames, b.slots());
  return b;
}

// Binds a tp_new call.
template <const auto& Sig>
Bound<Sig> bind(PyObject* args, PyObject* kwargs) {
  static_assert(Sig.receiver == Receiver::kConstructor);
  Bound<Sig> b;
  bind_tuple(binding_view<Sig>(), args, kwargs, b.slots());
  return b;
}

// A METH_FASTCALL | METH_KEYWORDS function as the method table stores it.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table entry of `F`, declared by `Sig`.
template <const auto& Sig, FastFunction F>
constexpr PyMethodDef method_def() {
  static_assert(Sig.receiver != Receiver::kConstructor);
  return PyMethodDef{Sig.method, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)),
                     METH_FASTCALL | METH_KEYWORDS | (Sig.receiver == Receiver::kClass ? METH_CLASS : 0), doc<Sig>()};
}

// A str's code points as stored by the interpreter (1, 2 or 4 bytes each),
// without a copy.  Valid while the str lives.
struct TextView {
  SymbolSpan code_points;
  bool ascii;  // every code point < 0x80, so the storage is its own UTF-8
};
// Text conversion: a str (subclasses included) that has a UTF-8 form; a lone
// surrogate raises the interpreter's own UnicodeEncodeError.
TextView to_text(PyObject* o);
// The first steps of it: a str's storage, not yet checked for surrogates
// (callers that scan the text anyway check in the same pass).
TextView to_text_unchecked(PyObject* o);
// Raises the interpreter's own UnicodeEncodeError for a str that has no
// UTF-8 form.
[[noreturn]] void raise_no_utf8(PyObject* o);
std::string to_utf8(PyObject* o);

// Sequence conversion, first steps: rejects a str and anything the
// interpreter's sequence check refuses.  Returns how many elements to reserve
// room for: the length of a list or tuple; for other sequences the length they
// report (0 when they cannot tell), cut to a bound, since a `__len__` may
// promise far more items than iteration yields.
u64 check_sequence(PyObject* o);

// The most elements reserved up front on a length that nothing guarantees;
// storage grows from there as items actually arrive.
inline constexpr u64 kMaxUntrustedReserve = u64{1} << 12;

// Sequence conversion, iteration: calls f(borrowed item) for each element in
// iteration order.  Lists and tuples are walked in place, exactly as their
// iterators would walk them.
template <class F>
void for_each_item(PyObject* seq, F&& f) {
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    // A list's iterator re-reads the size at every step; so does this loop.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq, i));
      f(item.get());
    }
    return;
  }
  PyRef it = checked(PyObject_GetIter(seq));
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item = PyRef::steal(raw);
    f(item.get());
  }
  if (PyErr_Occurred()) throw PythonError{};
}

}  // namespace palimp::py
