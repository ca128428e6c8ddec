#!/usr/bin/env python3
"""Fuzzing of palimp's Python surface.

Every input decodes into one call (or a short series of calls) of the module:
message lists of tokens and texts with absent and empty entries, multi-byte
and astral characters, lone surrogates, huge ids and wrong nested types;
parameters from 0 to 2**64 - 1 and beyond; replacements as lists, tuples,
bytes, ranges, str, NumPy arrays of many dtypes, shapes and strides, and
objects whose __index__ raises or calls back into the object being rendered.

Before each call the expected outcome is worked out from the module's
conversion rules, by running the same protocol steps (iteration, __index__,
range checks) in Python: the call must then either succeed with a result
that holds every invariant of the segment lists and the rendering, or raise
exactly the expected exception type, with the expected message wherever the
rules fix it.  PanicException, SystemError, MemoryError or a crash are
always findings.

Run with atheris:   python fuzz/python_fuzz.py [libFuzzer options] CORPUS...
Replay saved files: check_one(bytes), used by tests/python.
"""

import collections.abc
import operator
import sys

import numpy as np

import palimp

P = palimp.PalimpText
T = palimp.PalimpTokens
U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1
ARG_PREFIX = "argument '{}': "


class Input:
    """Decisions drawn from the input bytes, front to back; 0 past the end."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        if n <= 1:
            return 0
        if n <= 256:
            return self.byte() % n
        return (self.byte() << 8 | self.byte()) % n

    def flag(self):
        return self.byte() & 1 == 1

    def pick(self, options):
        return options[self.below(len(options))]


class Expected(Exception):
    """A predicted failure: exception type and message (None: not fixed)."""

    def __init__(self, exc_type, message=None):
        super().__init__(exc_type, message)
        self.exc_type, self.message = exc_type, message


def _throw(exc_type, message=None):
    raise Expected(exc_type, message)


Expected.throw = staticmethod(_throw)


class Finding(AssertionError):
    pass


# ---- objects that exercise the protocols ------------------------------------

class Items:
    """A plain sequence: __len__ and __getitem__ only, with a length that may
    be wrong or fail, and an item access that may fail at one index."""

    def __init__(self, items, length=None, len_error=None, fail_at=None, error=None):
        self.items, self.length, self.len_error = list(items), length, len_error
        self.fail_at, self.error = fail_at, error

    def __len__(self):
        if self.len_error is not None:
            raise self.len_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise type(self.error)(*self.error.args)
        return self.items[i]

    def __repr__(self):
        return f"Items({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r})"


class AbcItems(Items, collections.abc.Sequence):
    """The same, registered as a collections.abc.Sequence."""


class Index:
    """An int-like whose __index__ returns a value or raises."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            # A fresh exception each time: raising one instance again would
            # chain every traceback onto it.
            raise type(self.error)(*self.error.args)
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, {self.error!r})"


class CallBack:
    """An int-like whose __index__ calls back into the object being rendered:
    a shared access (segments, render) succeeds, an exclusive one
    (render_texts) fails with RuntimeError "Already borrowed"."""

    target = None  # the PalimpTokens object; set before the call

    def __init__(self, value, exclusive):
        self.value, self.exclusive = value, exclusive

    def __index__(self):
        if self.exclusive:
            CallBack.target.render_texts("x")
            raise Finding("render_texts inside render was not refused")
        CallBack.target.segments()
        CallBack.target.render([1])
        return self.value

    def __repr__(self):
        return f"CallBack({self.value}, exclusive={self.exclusive})"


class StrSub(str):
    pass


# ---- what the conversions must do, run in Python ----------------------------

def sequence_check(x):
    """The interpreter's sequence check for the objects generated here."""
    return not isinstance(x, (dict, collections.abc.Set)) and hasattr(type(x), "__getitem__")


def qualname(x):
    return type(x).__qualname__


def with_prefix(name, error):
    if type(error) is TypeError:
        return Expected(TypeError, ARG_PREFIX.format(name) + str(error))
    return Expected(type(error), str(error))


def expect_token_id(x):
    value = operator.index(x)
    if value < 0 or value > U32_MAX:
        if -2**63 <= value < 2**63:
            raise OverflowError("out of range integral type conversion attempted")
        raise Expected(OverflowError)
    return value


def expect_sequence(x, element):
    """Sequence conversion: a str is refused, then the sequence check, then
    iteration in order (a reported length only sizes storage)."""
    if isinstance(x, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not sequence_check(x):
        raise TypeError(f"'{qualname(x)}' object cannot be converted to 'Sequence'")
    return [element(item) for item in x]


def expect_text(x):
    if not isinstance(x, str):
        raise TypeError(f"'{qualname(x)}' object cannot be converted to 'PyString'")
    x.encode("utf-8")  # a lone surrogate raises the interpreter's UnicodeEncodeError
    return str(x)


def expect_size(x):
    value = operator.index(x)
    if value < 0 or value > U64_MAX:
        raise Expected(OverflowError)
    return value


def convert(name, fn, x):
    """One named argument's conversion, with the argument prefix on a TypeError."""
    try:
        return fn(x)
    except Expected:
        raise
    except Exception as e:  # noqa: BLE001 - any error of the conversion is the outcome
        raise with_prefix(name, e) from None


def expect_flag(x):
    if type(x) is not bool:
        raise TypeError(f"'{qualname(x)}' object cannot be converted to 'PyBool'")
    return x


ENGINE_KEYWORDS = ["exact_mode", "min_match_len", "lookback", "cap_len", "ncap"]


def expect_engine_options(kwargs):
    options = {"exact_mode": True, "min_match_len": 4, "lookback": None, "cap_len": 64, "ncap": 64}
    for name in ENGINE_KEYWORDS:
        if name not in kwargs:
            continue
        value = kwargs[name]
        if name == "exact_mode":
            options[name] = convert(name, expect_flag, value)
        elif name == "lookback" and value is None:
            options[name] = None
        else:
            options[name] = convert(name, expect_size, value)
    return options


def expect_replacement(x):
    """The replacement conversion of PalimpTokens.render: no prefixes."""
    if isinstance(x, np.ndarray) and x.ndim == 1 and x.dtype == np.dtype(np.uint32) and x.dtype.isnative:
        if not (x.flags.c_contiguous or x.flags.f_contiguous):
            raise Expected(TypeError, "The given array is not contiguous")
        return [int(v) for v in x]
    if not (isinstance(x, (list, tuple)) or isinstance(x, collections.abc.Sequence)):
        raise Expected(TypeError, "replacement must be a sequence of ints or np.uint32 array")
    out = []
    try:
        n = len(x)
        for i in range(n):
            item = x[i]
            if isinstance(item, CallBack):
                if item.exclusive:
                    raise Expected(RuntimeError, "Already borrowed")
                value = item.value
            else:
                value = operator.index(item)
            if value < 0 or value > U64_MAX:
                raise Expected(OverflowError)
            if value > U32_MAX:
                raise Expected(TypeError, "replacement token exceeds u32 range")
            out.append(value)
    except Expected:
        raise
    except Exception as e:  # noqa: BLE001
        raise Expected(type(e), None if isinstance(e, OverflowError) else str(e)) from None
    return out


# ---- generators ---------------------------------------------------------------

TOKEN_ALPHABETS = [[0, 1], [1, 2, 3], [0, 1, 257], [0, 255, 256, 65536, U32_MAX], list(range(8))]
CHAR_ALPHABETS = ["ab", "a\u00e9\u00ff", "a\u0100\u07ff\u0800", "a\u4e2d\uffff\ue000",
                  "a\U0001f600\U0010ffff", "\x00\n a", "a\u00e9\u4e2d\U0001f600"]
BAD_IDS = [-1, 2**32, 2**63, 2**64, -2**63 - 1, 1.5, "1", None, [1], Index(error=ValueError("index")),
           Index(error=TypeError("index")), Index(U32_MAX), Index(2**32), np.int64(-1), np.uint64(U64_MAX),
           np.float64(1.0), True]


def gen_tokens(inp, alphabet, tags, base):
    """A list of ids that repeats stretches of earlier messages."""
    out = []
    for _ in range(inp.below(6)):
        op = inp.below(4)
        if op == 0 or not base:
            out += [inp.pick(alphabet) for _ in range(1 + inp.below(12))]
        elif op == 1:
            src = inp.pick(base)
            start = inp.below(len(src) + 1)
            out += src[start:start + 1 + inp.below(40)]
        elif op == 2:
            out += inp.pick(base)
        else:
            out += [inp.pick(alphabet)] * (1 + inp.below(20))
    return out


def gen_token_entry(inp, alphabet, tags, base):
    """One entry of a from_tokens message list: None, a sequence of ids in
    some form, or something that must be refused."""
    kind = inp.below(20)
    ids = gen_tokens(inp, alphabet, tags, base)
    if kind < 2:
        return None
    if kind < 9:
        base.append(ids)
        return ids
    if kind == 9:
        return tuple(ids)
    if kind == 10:
        a = inp.below(300)
        return range(a, a + inp.below(12))
    if kind == 11:
        return bytes(i % 256 for i in ids)
    if kind == 12:
        dtype = inp.pick(["u1", "i1", "u2", ">u2", "i4", "<u4", ">u4", "i8", ">i8", "u8", "f8", "f4"])
        small = [i % 100 for i in ids] if dtype in ("u1", "i1") else ids
        if dtype in ("u2", ">u2"):
            small = [i % 65536 for i in ids]
        if dtype in ("i4",):
            small = [i % 2**31 for i in ids]
        array = np.array(small, dtype=dtype)
        if inp.flag() and len(array) > 1:
            array = array[::inp.pick([2, -1, -2])]
        if inp.flag() and len(array):
            array[inp.below(len(array))] = inp.pick([-1, 0, 1]) if dtype[-2:] in ("i1", "i4", "i8") else 0
        return array
    if kind == 13:
        bad = list(ids) or [0]
        bad[inp.below(len(bad))] = inp.pick(BAD_IDS)
        return bad
    if kind == 14:
        return Items(ids, length=inp.pick([None, 2**40, 0]), len_error=inp.pick([None, ZeroDivisionError("len")]),
                     fail_at=inp.pick([None, None, 0, 1]), error=inp.pick([KeyError("k"), TypeError("t")]))
    if kind == 15:
        return inp.pick(["abc", ""])
    if kind == 16:
        return inp.pick([5, 1.5, {1: 2}, {1, 2}, iter([1])])
    if kind == 17:
        return []
    if kind == 18:
        return np.array(ids[:4] or [1], dtype="i8").reshape(1, -1)  # elements are arrays
    return [list(ids)]  # a nested list: its element is not an id


def gen_token_messages(inp, tags):
    alphabet = inp.pick(TOKEN_ALPHABETS)
    base = []
    entries = [gen_token_entry(inp, alphabet, tags, base) for _ in range(inp.below(7))]
    form = inp.below(10)
    if form == 0:
        return tuple(entries)
    if form == 1:
        rows = [e for e in entries if isinstance(e, list) and all(type(i) is int and -2**63 <= i < 2**63 for i in e)]
        width = min((len(r) for r in rows), default=0)
        return np.array([r[:width] for r in rows], dtype="i8").reshape(len(rows), width)
    if form == 2:
        return Items(entries, length=inp.pick([None, 0, 2**40]))
    if form == 3:
        return inp.pick(["abc", 5, {0: [1]}, (m for m in [[1]])])
    return entries


def gen_text(inp, alphabet, base):
    out = ""
    for _ in range(inp.below(6)):
        op = inp.below(4)
        if op == 0 or not base:
            out += "".join(inp.pick(alphabet) for _ in range(1 + inp.below(12)))
        elif op == 1:
            src = inp.pick(base)
            start = inp.below(len(src) + 1)
            out += src[start:start + 1 + inp.below(40)]
        elif op == 2:
            out += inp.pick(base)
        else:
            out += inp.pick(alphabet) * (1 + inp.below(20))
    return out


def gen_text_entry(inp, alphabet, base):
    kind = inp.below(16)
    text = gen_text(inp, alphabet, base)
    if kind < 2:
        return None
    if kind < 11:
        base.append(text)
        return text
    if kind == 11:
        return StrSub(text)
    if kind == 12:
        at = inp.below(len(text) + 1)
        return text[:at] + inp.pick(["\ud800", "\udfff", "\udbff\udc00"]) + text[at:]
    if kind == 13:
        return ""
    return inp.pick([5, b"ab", None, ["a"], 1.5])


def gen_text_messages(inp, tags):
    alphabet = inp.pick(CHAR_ALPHABETS)
    base = []
    entries = [gen_text_entry(inp, alphabet, base) for _ in range(inp.below(7))]
    form = inp.below(10)
    if form == 0:
        return tuple(entries)
    if form == 1:
        items = Items(entries, length=inp.pick([None, 2**40]))
        if overlong(items):
            tags.add("overlong-length")
        return items
    if form == 2:
        return inp.pick(["abc", 5, None, {"a": 1}])
    return entries


SIZES = [0, 1, 2, 3, 4, 5, 8, 64, U64_MAX, U64_MAX - 1, 2**32, 2**63]
BAD_SIZES = [-1, 2**64, None, 1.5, "4", True, np.uint64(U64_MAX), np.int8(-1), Index(3),
             Index(error=ValueError("idx")), Index(error=TypeError("idx")), Index(2**64)]


def gen_engine_kwargs(inp):
    kwargs = {}
    for name in ENGINE_KEYWORDS:
        choice = inp.below(8)
        if choice < 3:
            continue
        if name == "exact_mode":
            kwargs[name] = inp.pick([True, False, True, False, 1, None, np.bool_(True)])
        elif choice < 7:
            kwargs[name] = inp.pick(SIZES)
        else:
            kwargs[name] = inp.pick(BAD_SIZES)
    return kwargs


def overlong(x):
    """A sequence whose __len__ promises more items than it has."""
    return isinstance(x, Items) and x.length is not None and x.length > len(x.items)


def gen_replacement(inp, tags):
    kind = inp.below(12)
    ids = [inp.pick([0, 1, 7, U32_MAX]) for _ in range(inp.below(4))]
    if kind < 3:
        return ids
    if kind == 3:
        return tuple(ids)
    if kind == 4:
        return range(inp.below(3))
    if kind == 5:
        return inp.pick([b"a", b"", "", "ab", bytearray(b"z")])
    if kind == 6:
        dtype = inp.pick(["u4", "=u4", ">u4", "i8", "u1", "i4", "u8", "f4", "I", "L"])
        shape = inp.pick([(len(ids),), (1, len(ids)), (), (2 * len(ids),)])
        array = np.zeros(shape, dtype=dtype) if shape != (len(ids),) else np.array(ids, dtype="u8").astype(dtype)
        if array.ndim == 1 and inp.flag():
            array = array[::inp.pick([2, -1])]
        if array.ndim == 2 and inp.flag():
            array = np.asfortranarray(array)
        return array
    if kind == 7:
        bad = ids + [inp.pick([-1, 2**32, U64_MAX, 2**64, 1.5, "a", None, Index(5), Index(error=ValueError("v")),
                               Index(error=TypeError("t")), np.uint64(2**33)])]
        return bad if inp.flag() else tuple(bad)
    if kind == 8:
        items = AbcItems(ids, length=inp.pick([None, 5, 2**40]), fail_at=inp.pick([None, 0]), error=KeyError("k"))
        if overlong(items):
            tags.add("overlong-length")
        return items
    if kind == 9:
        return Items(ids)  # not a registered Sequence
    if kind == 10:
        return [CallBack(inp.pick([1, 2]), exclusive=inp.flag()) for _ in range(1 + inp.below(2))]
    return inp.pick([5, None, {1: 2}, {3}, 1.5])


# ---- checks of results ----------------------------------------------------------

def check_token_result(obj, present, options):
    k = options["min_match_len"]
    exact = options["exact_mode"]
    segments = obj.segments()
    if len(segments) != len(present):
        raise Finding(f"{len(segments)} lists for {len(present)} messages")
    rows = []
    for i, (tokens, segs) in enumerate(zip(present, segments)):
        rebuilt, row = [], []
        for s in segs:
            if isinstance(s, palimp.PyLiteralTokens):
                t = s.tokens
                if not t:
                    raise Finding(f"empty literal in message {i}")
                if exact and row and row[-1][0] == "L":
                    raise Finding(f"adjacent literals in message {i}")
                rebuilt += t
                row.append(("L", t))
                continue
            if not isinstance(s, palimp.PyReferenceTokens):
                raise Finding(f"segment of type {type(s)}")
            m, start, length = s.message, s.start, s.len
            if not m < i or start + length > len(present[m]) or length < max(k, 1):
                raise Finding(f"reference {m, start, length} in message {i}")
            span = present[m][start:start + length]
            if span != tokens[len(rebuilt):len(rebuilt) + length]:
                raise Finding(f"reference {m, start, length} names other tokens in message {i}")
            if not exact and row and row[-1][0] == m and row[-1][1] + row[-1][2] == start:
                raise Finding(f"unmerged references in message {i}")
            rebuilt += span
            row.append((m, start, length))
        if rebuilt != tokens:
            raise Finding(f"message {i} does not rebuild")
        rows.append(row)
    return rows


def rendered_tokens(rows, replacement):
    return [[t for r in row for t in (r[1] if r[0] == "L" else replacement)] for row in rows]


def check_text_result(obj, messages, options):
    k = options["min_match_len"]
    encoded = [None if m is None else m.encode() for m in messages]
    segments = obj.segments()
    if len(segments) != len(messages):
        raise Finding(f"{len(segments)} lists for {len(messages)} messages")
    rows = []
    for i, (data, segs) in enumerate(zip(encoded, segments)):
        if data is None:
            if segs:
                raise Finding(f"segments for absent message {i}")
            rows.append([])
            continue
        rebuilt, row = b"", []
        for s in segs:
            if isinstance(s, palimp.PyLiteralSegment):
                text = s.text
                if not text:
                    raise Finding(f"empty literal in message {i}")
                rebuilt += text.encode()
                row.append(("L", text))
                continue
            m, start, length = s.message, s.start, s.len
            if not m < i or encoded[m] is None or start + length > len(encoded[m]):
                raise Finding(f"reference {m, start, length} in message {i}")
            span = encoded[m][start:start + length]
            try:
                chars = len(span.decode())
            except UnicodeDecodeError:
                raise Finding(f"reference {m, start, length} splits a character") from None
            if chars < max(k, 1) or span != data[len(rebuilt):len(rebuilt) + length]:
                raise Finding(f"reference {m, start, length} of message {i}")
            rebuilt += span
            row.append((m, start, length))
        if rebuilt != data:
            raise Finding(f"message {i} does not rebuild")
        rows.append(row)
    return rows


# ---- scenarios -------------------------------------------------------------------

def expect_outcome(call, expect):
    """Runs `expect` (the prediction) and `call`; compares.  Returns
    (prediction, result) when both succeed."""
    try:
        predicted = expect()
        failure = None
    except Expected as e:
        predicted, failure = None, e
    except Exception as e:  # noqa: BLE001 - raised by the rules themselves
        predicted, failure = None, Expected(type(e), None if isinstance(e, OverflowError) else str(e))
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001 - every outcome is compared
        if isinstance(e, (Finding, KeyboardInterrupt)):
            raise
        if failure is None:
            raise Finding(f"unexpected {type(e).__name__}: {e}") from e
        if type(e) is not failure.exc_type or (failure.message is not None and str(e) != failure.message):
            raise Finding(f"expected {failure.exc_type.__name__}({failure.message!r}), "
                          f"got {type(e).__name__}({str(e)!r})") from e
        return None
    if failure is not None:
        raise Finding(f"expected {failure.exc_type.__name__}({failure.message!r}), call succeeded")
    return predicted, result


def scenario_tokens(inp, tags):
    messages = gen_token_messages(inp, tags)
    kwargs = gen_engine_kwargs(inp)

    def expect():
        entry = lambda x: None if x is None else expect_sequence(x, expect_token_id)  # noqa: E731
        converted = convert("messages", lambda x: expect_sequence(x, entry), messages)
        return [m for m in converted if m is not None], expect_engine_options(kwargs)

    outcome = expect_outcome(lambda: T.from_tokens(messages, **kwargs), expect)
    if outcome is None:
        return
    (present, options), obj = outcome
    rows = check_token_result(obj, present, options)
    CallBack.target = obj
    for _ in range(1 + inp.below(3)):
        tags.discard("overlong-length")
        replacement = gen_replacement(inp, tags)
        as_numpy = inp.pick([None, False, True, 1])
        args = {} if as_numpy is None else {"as_numpy": as_numpy}

        def expect_render():
            numpy_out = convert("as_numpy", expect_flag, as_numpy) if as_numpy is not None else False
            return numpy_out, expect_replacement(replacement)

        outcome = expect_outcome(lambda: obj.render(replacement, **args), expect_render)
        if outcome is None:
            continue
        (numpy_out, rep), out = outcome
        want = rendered_tokens(rows, rep)
        if numpy_out:
            if not all(isinstance(a, np.ndarray) and a.dtype == np.uint32 and a.ndim == 1 for a in out):
                raise Finding("render(as_numpy=True) did not give uint32 arrays")
            got = [a.tolist() for a in out]
            for a in out:
                a[:] = 0  # writeable, and owned by the array alone
        else:
            got = out
        if got != want:
            raise Finding(f"render({replacement!r}) gave {got}, not {want}")
    if check_token_result(obj, present, options) != rows:
        raise Finding("segments changed after rendering")
    CallBack.target = None
    replacement = inp.pick(["a", 5])
    expect_outcome(lambda: obj.render_texts(replacement), lambda: [
        convert("replacement", expect_text, replacement),
        Expected.throw(TypeError, "render_texts() requires instance created via from_texts_with_tokenizer")])


def scenario_texts(inp, tags):
    messages = gen_text_messages(inp, tags)
    kwargs = gen_engine_kwargs(inp)

    def expect():
        entry = lambda x: None if x is None else expect_text(x)  # noqa: E731
        converted = convert("messages", lambda x: expect_sequence(x, entry), messages)
        return converted, expect_engine_options(kwargs)

    outcome = expect_outcome(lambda: P.from_texts(messages, **kwargs), expect)
    if outcome is None:
        return
    (texts, options), obj = outcome
    rows = check_text_result(obj, texts, options)
    for _ in range(1 + inp.below(2)):
        replacement = inp.pick(["", "<>", "\u00e9\U0001f600", "\ud800", 5, None, StrSub("s")])
        outcome = expect_outcome(lambda: obj.render(replacement),
                                 lambda: convert("replacement", expect_text, replacement))
        if outcome is None:
            continue
        rep, out = outcome
        want = ["".join(r[1] if r[0] == "L" else rep for r in row) or None for row in rows]
        if out != want:
            raise Finding(f"render({replacement!r}) gave {out}, not {want}")
    numerator = sum(len(r[1].encode()) if r[0] == "L" else 1 for row in rows for r in row)
    denominator = sum(len(t.encode()) for t in texts if t is not None)
    ratio = 1.0 if denominator == 0 else numerator / denominator
    if obj.compression_ratio() != ratio:
        raise Finding(f"compression_ratio {obj.compression_ratio()} != {ratio}")


TOKENIZER_NAMES = ["whitespace", "whitespace", "whitespace", "Whitespace", "", "hf:", "hf:gpt2", "file:/x",
                   "file:", "hf", "white\x00space", "\x00", "\ud800", "whitespace ", 5, None]
UNKNOWN_TAIL = "'. Available: 'whitespace', 'hf:<model>' (with feature), 'file:<path>' (with feature)"


def expect_tokenizer(name):
    if name == "whitespace":
        return True
    if name.startswith("hf:"):
        raise Expected(TypeError, "HuggingFace tokenizers requires building with the 'tokenizers' feature")
    if name.startswith("file:"):
        raise Expected(TypeError, "Loading tokenizers from file requires building with the 'tokenizers' feature")
    raise Expected(TypeError, "unknown tokenizer '" + name + UNKNOWN_TAIL)


def scenario_tokenizer(inp, tags):
    messages = gen_text_messages(inp, tags)
    name = inp.pick(TOKENIZER_NAMES)
    if isinstance(name, str) and "\x00" in name:
        tags.add("nul-in-name")
    kwargs = gen_engine_kwargs(inp)

    def expect():
        entry = lambda x: None if x is None else expect_text(x)  # noqa: E731
        texts = convert("messages", lambda x: expect_sequence(x, entry), messages)
        converted = convert("tokenizer", expect_text, name)
        options = expect_engine_options(kwargs)
        expect_tokenizer(converted)
        return texts, options

    outcome = expect_outcome(lambda: T.from_texts_with_tokenizer(messages, name, **kwargs), expect)
    if outcome is None:
        return
    (texts, options), obj = outcome
    vocab, present = {}, []
    for t in texts:
        if t is not None:
            present.append([vocab.setdefault(w, len(vocab)) for w in t.split()])
    # Python's str.split() cuts at the same 25 characters and a few more
    # (U+001C..U+001F); the generated texts hold none of those.
    rows = check_token_result(obj, present, options)
    replacement = inp.pick(["", "x y", "\u00e9 ", 5, "\ud800"])
    outcome = expect_outcome(lambda: obj.render_texts(replacement),
                             lambda: convert("replacement", expect_text, replacement).split())
    if outcome is None:
        return
    words, out = outcome
    words_of = {i: w for w, i in vocab.items()}
    want = [" ".join(w for r in row for w in ([words_of[i] for i in r[1]] if r[0] == "L" else words))
            for row in rows]
    if out != want:
        raise Finding(f"render_texts gave {out}, not {want}")


def scenario_values(inp, tags):
    kind = inp.below(4)
    if kind == 0:
        text = inp.pick(["", "a'b\n", "\u00e9\U0001f600", "\ud800", 5, None, StrSub("s")])
        outcome = expect_outcome(lambda: palimp.PyLiteralSegment(text), lambda: convert("text", expect_text, text))
        obj = outcome and outcome[1]
        if obj is not None and (obj.text != text or repr(obj) != f"LiteralSegment(text='{text}')"):
            raise Finding(f"PyLiteralSegment({text!r}): {obj!r}")
    elif kind == 1:
        tokens = gen_token_entry(inp, inp.pick(TOKEN_ALPHABETS), tags, [])
        if overlong(tokens):
            tags.add("overlong-length")
        outcome = expect_outcome(lambda: palimp.PyLiteralTokens(tokens),
                                 lambda: convert("tokens", lambda x: expect_sequence(x, expect_token_id), tokens))
        if outcome is not None:
            want, obj = outcome
            array = obj.as_numpy()
            if obj.tokens != want or array.tolist() != want or array.dtype != np.uint32:
                raise Finding(f"PyLiteralTokens({tokens!r}): {obj!r}")
            if repr(obj) != "LiteralTokens(tokens=[" + ", ".join(map(str, want)) + "])":
                raise Finding(f"repr {obj!r}")
    else:
        cls, name = [(palimp.PyReferenceSegment, "ReferenceSegment"), (palimp.PyReferenceTokens, "ReferenceTokens")][kind - 2]
        values = [inp.pick(SIZES + BAD_SIZES) for _ in range(3)]

        def expect():
            return [convert(n, expect_size, v) for n, v in zip(("message", "start", "len"), values)]

        outcome = expect_outcome(lambda: cls(*values), expect)
        want, obj = outcome or (None, None)
        if obj is not None and (repr(obj) != f"{name}(message={want[0]}, start={want[1]}, len={want[2]})"
                                or [obj.message, obj.start, obj.len] != want):
            raise Finding(f"{cls.__name__}{tuple(values)!r}: {obj!r}")


KEYWORD_NAMES = ["exact_mode", "messages", "minmatch", "x", "a\x00b", "\ud800", "é", "min_match_len"]


def scenario_binding(inp, tags):
    """Arguments bound wrongly: the binding messages, before any conversion."""
    nargs = inp.below(3)
    args = [[] for _ in range(nargs)]
    kwargs = {}
    for _ in range(inp.below(3)):
        key = inp.pick(KEYWORD_NAMES)
        kwargs[key] = []
        if "\x00" in key:
            tags.add("nul-in-name")
        if "\ud800" in key:
            tags.add("surrogate-keyword")
    params = ["messages"] + ENGINE_KEYWORDS

    def expect():
        f = "PalimpText.from_texts()"
        if nargs > 1:
            raise Expected(TypeError, f"{f} takes 1 positional arguments but {nargs} were given")
        for key in kwargs:
            if key not in params:
                raise Expected(TypeError, f"{f} got an unexpected keyword argument '{key}'")
            if key == "messages" and nargs == 1:
                raise Expected(TypeError, f"{f} got multiple values for argument 'messages'")
        if nargs == 0 and "messages" not in kwargs:
            raise Expected(TypeError, f"{f} missing 1 required positional argument: 'messages'")
        bound = dict(kwargs)
        messages = bound.pop("messages", None) if nargs == 0 else args[0]
        expect_engine_options(bound)
        return messages

    expect_outcome(lambda: P.from_texts(*args, **kwargs), expect)


SCENARIOS = [scenario_tokens, scenario_tokens, scenario_texts, scenario_texts, scenario_tokenizer,
             scenario_values, scenario_binding]


def check_one(data):
    """Runs one input; raises Finding (or anything unexpected) on a fault."""
    inp = Input(data)
    tags = set()
    scenario = inp.pick(SCENARIOS)
    try:
        scenario(inp, tags)
    except Finding as e:
        raise Finding(f"{scenario.__name__}: {e}") from e.__cause__
    finally:
        CallBack.target = None


def main():
    import atheris

    # The harness imported again, instrumented: coverage of its own code
    # (which scenario, which conversion rule and which outcome an input
    # reached) steers the mutations.
    with atheris.instrument_imports(include=["python_fuzz"]):
        import python_fuzz as instrumented

    atheris.Setup(sys.argv, instrumented.check_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
