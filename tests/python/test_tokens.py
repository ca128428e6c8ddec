"""PalimpTokens: construction from token ids and from texts, segments,
rendering to lists and uint32 arrays, rendering back to text."""

import gc
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import palimp
from conftest import check_token_segments, compact, rendered_tokens
from probes import AbcItems, Items

T = palimp.PalimpTokens

# Both engines, by their constructor keyword.
ENGINES = [pytest.param(True, id="exact"), pytest.param(False, id="approximate")]

UNKNOWN = (". Available: 'whitespace', 'hf:<model>' (with feature), "
           "'file:<path>' (with feature)")


def r(a, b):
    return list(range(a, b + 1))


def L(*tokens):
    return ("L", list(tokens))


class TestFromTokens:
    @pytest.mark.parametrize("exact, kwargs, messages, expected", [
        (True, {}, [[1, 2, 3, 4, 5], [9, 1, 2, 3, 4, 5, 8]],
         [[L(1, 2, 3, 4, 5)], [L(9), (0, 0, 5), L(8)]]),
        (True, {}, [[1, 2, 3, 4], [1, 2, 3, 4], [1, 2, 3, 4, 7]],
         [[L(1, 2, 3, 4)], [(0, 0, 4)], [(0, 0, 4), L(7)]]),
        (True, {}, [[1, 2, 3, 4, 9], [1, 2, 3, 4, 5, 6], [1, 2, 3, 4, 5, 6]],
         [[L(1, 2, 3, 4, 9)], [(0, 0, 4), L(5, 6)], [(1, 0, 6)]]),
        (True, {}, [[5, 6, 7, 8], [1, 5, 6, 7, 8, 2, 5, 6, 7, 8]],
         [[L(5, 6, 7, 8)], [L(1), (0, 0, 4), L(2), (0, 0, 4)]]),
        (True, {"min_match_len": 1}, [[7, 1] * 64, [7, 2], [7, 2]],
         [[L(*[7, 1] * 64)], [(0, 0, 1), L(2)], [(0, 0, 1), (1, 1, 1)]]),
        (True, {"min_match_len": 1}, [[7, 1] * 63, [7, 2], [7, 2]],
         [[L(*[7, 1] * 63)], [(0, 0, 1), L(2)], [(1, 0, 2)]]),
        (False, {}, [r(1, 8), r(1, 8) + r(100, 105)],
         [[L(*r(1, 8))], [L(1), L(2), L(3), L(4), L(5, 6, 7, 8, *r(100, 105))]]),
        (False, {"cap_len": 0}, [r(1, 8), r(1, 8) + r(100, 105)],
         [[L(*r(1, 8))], [(0, 0, 8), L(*r(100, 105))]]),
        (False, {}, [r(1, 79), r(1, 79) + [500, 501, 502]],
         [[L(*r(1, 79))], [(0, 0, 79), L(500, 501, 502)]]),
        (False, {}, [r(1, 8), [50, 51] + r(1, 8)], [[L(*r(1, 8))], [L(50, 51), (0, 0, 8)]]),
        (False, {"ncap": 0}, [r(1, 8), r(1, 8)],
         [[L(*r(1, 8))], [L(1), L(2), L(3), L(4), L(5, 6, 7, 8)]]),
    ])
    def test_worked_examples(self, exact, kwargs, messages, expected):
        t = T.from_tokens(messages, exact_mode=exact, **kwargs)
        assert compact(t.segments()) == expected
        for lookback in (0, 1, 2**64 - 1):  # read by no engine
            again = T.from_tokens(messages, exact_mode=exact, lookback=lookback, **kwargs)
            assert compact(again.segments()) == expected

    @pytest.mark.parametrize("exact", ENGINES)
    @pytest.mark.parametrize("cap_len", [0, 4, 6, 64])
    @pytest.mark.parametrize("messages", [
        [[0, 0, 1, 0], [0, 0, 0, 257]],
        [[1, 2, 3, 4, 0, 0, 1, 0], [1, 2, 3, 4, 0, 0, 0, 257]],
        [[0, 0, 1, 0, 5, 6, 7, 8], [0, 0, 0, 257, 5, 6, 7, 8]],
        [[9, 0, 0, 1, 0], [9, 0, 0, 0, 257]],
    ])
    def test_equal_hashes_never_reference_unequal_tokens(self, exact, cap_len, messages):
        # [0, 0, 1, 0] and [0, 0, 0, 257] share a window hash with base 257.
        t = T.from_tokens(messages, exact_mode=exact, cap_len=cap_len)
        check_token_segments(messages, t.segments(), exact=exact)
        assert t.render([], as_numpy=False)[1] != []

    @pytest.mark.parametrize("exact", ENGINES)
    def test_absent_and_empty_messages(self, exact):
        a = [1, 2, 3, 4, 5]
        t = T.from_tokens([None, a, None, [], a, None], exact_mode=exact)
        assert compact(t.segments()) == [[L(*a)], [], [(0, 0, 5)]]
        assert t.render([7]) == [a, [], [7]]
        empty = t.render([7], as_numpy=True)[1]
        assert empty.dtype == np.uint32 and empty.shape == (0,)
        for none in (T.from_tokens([], exact_mode=exact), T.from_tokens([None, None], exact_mode=exact)):
            assert none.segments() == [] and none.render([1]) == [] and none.render([1], as_numpy=True) == []

    def test_caller_data_is_copied(self):
        messages = [[1, 2, 3, 4], [1, 2, 3, 4]]
        t = T.from_tokens(messages)
        messages[0][0] = 99
        assert t.render([]) == [[1, 2, 3, 4], []]
        first = t.segments()
        first[0][0].tokens.append(5)
        first.clear()
        assert compact(t.segments()) == [[L(1, 2, 3, 4)], [(0, 0, 4)]]

    @pytest.mark.parametrize("messages, exc, message", [
        ("abc", TypeError, "argument 'messages': Can't extract `str` to `Vec`"),
        (["abc"], TypeError, "argument 'messages': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'messages': 'int' object cannot be converted to 'Sequence'"),
        ({1: [1]}, TypeError, "argument 'messages': 'dict' object cannot be converted to 'Sequence'"),
        ((m for m in [[1]]), TypeError, "argument 'messages': 'generator' object cannot be converted to 'Sequence'"),
        ([[1], 5], TypeError, "argument 'messages': 'int' object cannot be converted to 'Sequence'"),
        ([[-1]], OverflowError, "out of range integral type conversion attempted"),
        ([[4294967296]], OverflowError, "out of range integral type conversion attempted"),
        ([[2**63]], OverflowError, None),
        ([[-2**63 - 1]], OverflowError, None),
        ([[1.5]], TypeError, "argument 'messages': 'float' object cannot be interpreted as an integer"),
        ([np.array([1.0, 2.0])], TypeError,
         "argument 'messages': 'numpy.float64' object cannot be interpreted as an integer"),
        ([Items([1, 2], item_error=KeyError("item"))], KeyError, None),
        ([Items([1, 2], item_error=TypeError("item"))], TypeError, "argument 'messages': item"),
        (Items([[1], [2]], item_error=ZeroDivisionError()), ZeroDivisionError, None),
    ])
    def test_message_errors(self, messages, exc, message):
        for exact in (True, False):
            with pytest.raises(exc) as info:
                T.from_tokens(messages, exact_mode=exact)
            assert type(info.value) is exc
            if message is not None:
                assert str(info.value) == message

    @pytest.mark.parametrize("form", [
        (1, 2, 3, 4, 5),
        range(1, 6),
        bytes([1, 2, 3, 4, 5]),
        [True, 2, np.int8(3), np.uint64(4), 5],
        Items([1, 2, 3, 4, 5], len_error=ZeroDivisionError()),  # a length only sizes storage
        AbcItems([1, 2, 3, 4, 5]),
        np.array([1, 2, 3, 4, 5]),
    ])
    def test_message_forms(self, form):
        t = T.from_tokens(Items([form, None, form]))
        assert compact(t.segments()) == [[L(1, 2, 3, 4, 5)], [(0, 0, 5)]]

    @pytest.mark.parametrize("dtype", ["i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8",
                                       ">i2", ">i4", ">i8", ">u2", ">u4", ">u8", "<u8"])
    def test_numpy_messages_convert_like_their_elements(self, dtype):
        base = np.array([1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4], dtype=dtype)
        layouts = [base, base[::2], base[::-1], base[2:], np.asfortranarray(base.reshape(3, 4))[:, 1]]
        for exact in (True, False):
            fast = T.from_tokens(layouts, exact_mode=exact)
            slow = T.from_tokens([Items(a.tolist()) for a in layouts], exact_mode=exact)
            assert compact(fast.segments()) == compact(slow.segments())
            assert fast.render([0]) == slow.render([0])
        limits = np.iinfo(dtype)
        for bad in ([-1], [2**32], [2**63], [-2**63]):
            if not limits.min <= bad[0] <= limits.max:
                continue  # not representable in this dtype
            arr = np.array([1] + bad, dtype=dtype)
            errors = []
            for messages in ([arr], [Items(list(arr))]):
                with pytest.raises(OverflowError) as info:
                    T.from_tokens(messages)
                errors.append(str(info.value))
            assert errors[0] == errors[1]
            if bad[0] in (-1, 2**32, -2**63):
                assert errors[0] == "out of range integral type conversion attempted"

    def test_plain_int_lists_convert_like_their_elements(self):
        # Lists and tuples of plain ints are read in one pass and stored as
        # narrow as their ids allow; a single other item (a bool, a NumPy
        # integer, an int subclass, even at the end) makes the whole message
        # convert element by element instead, with the same result.
        Int = type("Int", (int,), {})
        ids = [[1, 2, 255, 9], [256, 1, 2, 255, 65535], [65536, 4294967295, 1, 2, 255, 1], [], [1, 2, 255, 9]]
        for odd in (None, True, np.uint16(1), Int(1)):
            messages = [list(m) for m in ids]
            if odd is not None:
                messages[2][-1] = odd
            for form in (list, tuple):
                for exact in (True, False):
                    kwargs = dict(exact_mode=exact, min_match_len=2, cap_len=3)
                    fast = T.from_tokens([form(m) for m in messages], **kwargs)
                    slow = T.from_tokens([Items(m) for m in messages], **kwargs)
                    assert compact(fast.segments()) == compact(slow.segments())
                    assert fast.render([]) == slow.render([])
                    assert fast.render([0]) == slow.render([0])
                    assert [a.tolist() for a in fast.render([0], as_numpy=True)] == fast.render([0])
        with pytest.raises(OverflowError):
            T.from_tokens([[1, 2, 3], [1, 2, 4294967296]])
        with pytest.raises(TypeError, match="^argument 'messages': 'str' object cannot be interpreted"):
            T.from_tokens([[1, 2, 3], [1, 2, "3"]])

    def test_two_dimensional_array_is_a_list_of_messages(self):
        grid = (np.arange(24).reshape(4, 6) % 6).astype(np.int16)
        for arr in (grid, np.asfortranarray(grid), grid[:, ::-1], np.repeat(grid, 2, axis=1)[:, ::2]):
            fast = T.from_tokens(arr)
            slow = T.from_tokens([row.tolist() for row in arr])
            assert compact(fast.segments()) == compact(slow.segments())
            assert compact(fast.segments())[1] == [(0, 0, 6)]


class TestFromTextsWithTokenizer:
    @pytest.mark.parametrize("exact", ENGINES)
    def test_ids_in_order_of_first_appearance(self, exact):
        t = T.from_texts_with_tokenizer(["  b a\n", None, "", "a\tc c,  B"], "whitespace",
                                        exact_mode=exact, min_match_len=9)
        assert t.render([]) == [[0, 1], [], [1, 2, 3, 4]]
        other = T.from_texts_with_tokenizer(["c"], "whitespace")
        assert other.render([]) == [[0]]

    @pytest.mark.parametrize("messages, tokenizer, message", [
        (["a"], "hf:", "HuggingFace tokenizers requires building with the 'tokenizers' feature"),
        (["a"], "hf:gpt2", "HuggingFace tokenizers requires building with the 'tokenizers' feature"),
        (["a"], "file:/tmp/t.json", "Loading tokenizers from file requires building with the 'tokenizers' feature"),
        (["a"], "", "unknown tokenizer ''" + UNKNOWN),
        (["a"], "Whitespace", "unknown tokenizer 'Whitespace'" + UNKNOWN),
        (["a"], " whitespace", "unknown tokenizer ' whitespace'" + UNKNOWN),
        (["a"], "hf", "unknown tokenizer 'hf'" + UNKNOWN),
        (["a"], "white\x00space", "unknown tokenizer 'white\x00space'" + UNKNOWN),
        (["a"], "\x00", "unknown tokenizer '\x00'" + UNKNOWN),
        (["a"], "é中😀", "unknown tokenizer 'é中😀'" + UNKNOWN),
        ([5], "hf:x", "argument 'messages': 'int' object cannot be converted to 'PyString'"),
        ("ab", "whitespace", "argument 'messages': Can't extract `str` to `Vec`"),
        ([b"a"], "whitespace", "argument 'messages': 'bytes' object cannot be converted to 'PyString'"),
        (["a"], 5, "argument 'tokenizer': 'int' object cannot be converted to 'PyString'"),
        (["a"], None, "argument 'tokenizer': 'NoneType' object cannot be converted to 'PyString'"),
    ])
    def test_errors(self, messages, tokenizer, message):
        with pytest.raises(TypeError) as info:
            T.from_texts_with_tokenizer(messages, tokenizer)
        assert type(info.value) is TypeError and str(info.value) == message


class TestRender:
    # segments: [L 1..5], [L 9, R(0, 0, 5), L 8], [R(0, 0, 5)] from both engines
    MESSAGES = [[1, 2, 3, 4, 5], [9, 1, 2, 3, 4, 5, 8], [1, 2, 3, 4, 5]]
    CAP = {"cap_len": 4}

    @pytest.mark.parametrize("replacement, middle", [
        ([7, 8], [7, 8]),
        ([], []),
        ((7, 8), [7, 8]),
        (range(3), [0, 1, 2]),
        (b"a", [97]),
        ("", []),
        ([4294967295, True, np.uint8(3)], [4294967295, 1, 3]),
        (type("Sub", (list,), {})([5]), [5]),
        (type("Sub", (tuple,), {})((6,)), [6]),
        # long replacements, whose ids no longer fit the inline room
        (list(range(40)), list(range(40))),
        (range(17), list(range(17))),
        (AbcItems(list(range(70000, 70020))), list(range(70000, 70020))),
        (np.arange(33, dtype=np.uint32), list(range(33))),
        (AbcItems([1, 2]), [1, 2]),
        (np.array([7, 8], dtype=np.uint32), [7, 8]),
    ])
    @pytest.mark.parametrize("exact", ENGINES)
    def test_replacements(self, replacement, middle, exact):
        t = T.from_tokens(self.MESSAGES, exact_mode=exact, **self.CAP)
        assert t.render(replacement) == [[1, 2, 3, 4, 5], [9, *middle, 8], middle]
        arrays = t.render(replacement, as_numpy=True)
        assert [a.tolist() for a in arrays] == [[1, 2, 3, 4, 5], [9, *middle, 8], middle]

    @pytest.mark.parametrize("replacement, exc, message", [
        ("ab", TypeError, "'str' object cannot be interpreted as an integer"),
        ([1.5], TypeError, "'float' object cannot be interpreted as an integer"),
        ([-1], OverflowError, None),
        ([2**64], OverflowError, None),
        ([4294967296], TypeError, "replacement token exceeds u32 range"),
        (5, TypeError, "replacement must be a sequence of ints or np.uint32 array"),
        (None, TypeError, "replacement must be a sequence of ints or np.uint32 array"),
        ({1: 2}, TypeError, "replacement must be a sequence of ints or np.uint32 array"),
        (iter([1]), TypeError, "replacement must be a sequence of ints or np.uint32 array"),
        (np.uint32(3), TypeError, "replacement must be a sequence of ints or np.uint32 array"),
        (Items([1]), TypeError, "replacement must be a sequence of ints or np.uint32 array"),
        (AbcItems([1], len_error=ZeroDivisionError("len")), ZeroDivisionError, None),
        (AbcItems([1, 2], item_error=KeyError("item")), KeyError, None),
        (AbcItems([1, 2], item_error=TypeError("item")), TypeError, "item"),
        (AbcItems([1, 2**70]), OverflowError, None),
        ([1, type("I", (), {"__index__": lambda self: -5})()], OverflowError, None),
    ])
    def test_replacement_errors(self, replacement, exc, message):
        t = T.from_tokens(self.MESSAGES)
        for as_numpy in (False, True):
            with pytest.raises(exc) as info:
                t.render(replacement, as_numpy=as_numpy)
            assert type(info.value) is exc
            if message is not None:
                assert str(info.value) == message
            assert not str(info.value).startswith("argument ")
        assert t.render([0]) == [[1, 2, 3, 4, 5], [9, 0, 8], [0]]

    def test_as_numpy_is_converted_first(self):
        t = T.from_tokens(self.MESSAGES)
        for value in (1, None, np.bool_(True)):
            with pytest.raises(TypeError) as info:
                t.render("ab", as_numpy=value)
            name = type(value).__qualname__  # "bool" for NumPy's bool as well
            assert str(info.value) == f"argument 'as_numpy': '{name}' object cannot be converted to 'PyBool'"

    def test_numpy_layouts(self):
        t = T.from_tokens(self.MESSAGES)
        u32 = np.array([7, 8, 9, 10], dtype=np.uint32)
        native = "<u4" if sys.byteorder == "little" else ">u4"
        swapped = ">u4" if sys.byteorder == "little" else "<u4"
        read_only = u32.copy()
        read_only.flags.writeable = False
        accepted = {
            "C-contiguous": (u32, [7, 8, 9, 10]),
            "F-order": (np.asfortranarray(u32), [7, 8, 9, 10]),
            "contiguous slice": (u32[1:3], [8, 9]),
            "explicit byte order": (u32.astype(native), [7, 8, 9, 10]),
            "read-only": (read_only, [7, 8, 9, 10]),
            "empty": (np.zeros(0, dtype=np.uint32), []),
            "column of F-order 2-D": (np.asfortranarray(np.ones((2, 3), dtype=np.uint32))[:, 0], [1, 1]),
        }
        for name, (arr, middle) in accepted.items():
            assert t.render(arr)[2] == middle, name
        rejected = {
            "strided": (u32[::2], "The given array is not contiguous"),
            "reversed": (u32[::-1], "The given array is not contiguous"),
            "row of F-order 2-D": (np.asfortranarray(np.ones((2, 3), dtype=np.uint32))[0], "The given array is not contiguous"),
            "int64": (u32.astype(np.int64), "replacement must be a sequence of ints or np.uint32 array"),
            "uint8": (u32.astype(np.uint8), "replacement must be a sequence of ints or np.uint32 array"),
            "2-D": (u32.reshape(2, 2), "replacement must be a sequence of ints or np.uint32 array"),
            "0-D": (np.array(7, dtype=np.uint32), "replacement must be a sequence of ints or np.uint32 array"),
            "byte-swapped": (u32.astype(swapped), "replacement must be a sequence of ints or np.uint32 array"),
            "byte-swapped strided": (u32.astype(swapped)[::2], "replacement must be a sequence of ints or np.uint32 array"),
        }
        for name, (arr, message) in rejected.items():
            with pytest.raises(TypeError) as info:
                t.render(arr)
            assert str(info.value) == message, name

    @pytest.mark.parametrize("exact", ENGINES)
    def test_as_numpy_arrays(self, exact):
        t = T.from_tokens(self.MESSAGES + [[]], exact_mode=exact, **self.CAP)
        first = t.render([7], as_numpy=True)
        assert [a.tolist() for a in first] == t.render([7])
        for a in first:
            assert a.dtype == np.uint32 and a.ndim == 1 and a.flags.writeable and a.flags.c_contiguous
        second = t.render([7], as_numpy=True)
        for a in first:
            for b in first + second:
                assert a is b or not np.shares_memory(a, b)
        for a in first:
            a[:] = 99
        assert [a.tolist() for a in t.render([7], as_numpy=True)] == [a.tolist() for a in second]
        assert t.render([7])[1] == [9, 7, 8]
        del t
        gc.collect()
        assert [a.tolist() for a in second] == [[1, 2, 3, 4, 5], [9, 7, 8], [7], []]

    def test_render_texts_from_replacement_item_is_refused(self):
        t = T.from_texts_with_tokenizer(["a b c d e", "a b c d e f"], "whitespace")
        seen = []

        class Reentrant:
            def __index__(self):
                try:
                    t.render_texts("a")
                except RuntimeError as e:
                    seen.append(str(e))
                seen.append(compact(t.segments()))
                seen.append(t.render([1]))
                seen.append([a.tolist() for a in t.render([2], as_numpy=True)])
                return 3

        assert t.render([Reentrant()]) == [[0, 1, 2, 3, 4], [3, 5]]
        assert seen == ["Already borrowed", [[L(0, 1, 2, 3, 4)], [(0, 0, 5), L(5)]],
                        [[0, 1, 2, 3, 4], [1, 5]], [[0, 1, 2, 3, 4], [2, 5]]]
        assert t.render_texts("x") == ["a b c d e", "x f"]


class TestRenderTexts:
    @pytest.mark.parametrize("exact", ENGINES)
    def test_whitespace_round_trip(self, exact):
        t = T.from_texts_with_tokenizer(["  hello   world\n", None, "hello world again"],
                                        "whitespace", exact_mode=exact, min_match_len=2, cap_len=2)
        assert compact(t.segments()) == [[L(0, 1)], [(0, 0, 2), L(2)]]
        assert t.render_texts("") == ["hello world", "again"]
        assert t.render_texts(" \tnew\n  words ") == ["hello world", "new words again"]
        assert t.render_texts("hello") == ["hello world", "hello again"]
        # "new" and "words" joined the vocabulary; a second call agrees.
        assert t.render_texts("new words") == ["hello world", "new words again"]
        assert compact(t.segments()) == [[L(0, 1)], [(0, 0, 2), L(2)]]

    def test_empty_object(self):
        assert T.from_texts_with_tokenizer([], "whitespace").render_texts("a") == []
        assert T.from_texts_with_tokenizer([None, ""], "whitespace").render_texts("a") == [""]

    @pytest.mark.parametrize("obj, replacement, message", [
        (T.from_tokens([[1, 2]]), "x", "render_texts() requires instance created via from_texts_with_tokenizer"),
        (T.from_tokens([]), "x", "render_texts() requires instance created via from_texts_with_tokenizer"),
        (T.from_tokens([[1, 2]]), 5, "argument 'replacement': 'int' object cannot be converted to 'PyString'"),
        (T.from_texts_with_tokenizer(["a"], "whitespace"), ["a"],
         "argument 'replacement': 'list' object cannot be converted to 'PyString'"),
    ])
    def test_errors(self, obj, replacement, message):
        with pytest.raises(TypeError) as info:
            obj.render_texts(replacement)
        assert str(info.value) == message


@st.composite
def token_lists(draw):
    chunks = draw(st.lists(st.lists(st.sampled_from([0, 1, 2, 257, 4294967295]), min_size=4, max_size=12),
                           min_size=1, max_size=4))
    piece = st.one_of(st.sampled_from(chunks), st.sampled_from(chunks), st.lists(st.integers(0, 3), max_size=3))
    joined = st.lists(piece, min_size=1, max_size=5).map(lambda ps: [t for p in ps for t in p])
    message = st.one_of(joined, joined, joined, st.none(), st.just([]))
    return draw(st.lists(message, min_size=2, max_size=6))


@settings(max_examples=300, deadline=None, database=None)
@given(messages=token_lists(), exact=st.booleans(),
       min_match_len=st.sampled_from([0, 1, 2, 4, 2**64 - 1]),
       cap_len=st.sampled_from([0, 1, 3, 8, 64, 2**64 - 1]),
       ncap=st.sampled_from([0, 1, 2, 64, 2**64 - 1]))
def test_segments_tile_and_resolve(messages, exact, min_match_len, cap_len, ncap):
    params = dict(exact_mode=exact, min_match_len=min_match_len, cap_len=cap_len, ncap=ncap)
    t = T.from_tokens(messages, **params)
    rows = check_token_segments(messages, t.segments(), min_match_len=min_match_len, exact=exact)
    assert t.render([7, 8]) == rendered_tokens(rows, [7, 8])
    assert [a.tolist() for a in t.render(np.array([9], dtype=np.uint32), as_numpy=True)] == \
        rendered_tokens(rows, [9])
    assert compact(T.from_tokens([np.array(m, dtype=np.uint32) if m is not None else None
                                  for m in messages], **params).segments()) == rows
