"""PalimpText: construction from texts, segments in list positions and UTF-8
byte offsets, rendering with a replacement text, and the compression ratio."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import palimp
from conftest import check_text_segments, compact, expected_ratio, rendered_texts

P = palimp.PalimpText

ENGINES = [pytest.param(True, id="exact"), pytest.param(False, id="approximate")]


class TestFromTexts:
    @pytest.mark.parametrize("messages, exc, message", [
        ("abc", TypeError, "argument 'messages': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'messages': 'int' object cannot be converted to 'Sequence'"),
        ({"a"}, TypeError, "argument 'messages': 'set' object cannot be converted to 'Sequence'"),
        ({"a": "b"}, TypeError, "argument 'messages': 'dict' object cannot be converted to 'Sequence'"),
        ([5], TypeError, "argument 'messages': 'int' object cannot be converted to 'PyString'"),
        (["a", b"b"], TypeError, "argument 'messages': 'bytes' object cannot be converted to 'PyString'"),
        ([["a"]], TypeError, "argument 'messages': 'list' object cannot be converted to 'PyString'"),
        (["a", "b\udc80"], UnicodeEncodeError, None),
    ])
    def test_errors(self, messages, exc, message):
        for exact in (True, False):
            with pytest.raises(exc) as info:
                P.from_texts(messages, exact_mode=exact)
            assert type(info.value) is exc
            if message is not None:
                assert str(info.value) == message

    def test_message_forms(self):
        Text = type("Text", (str,), {})
        for messages in (("abcd", None, "abcd"), [Text("abcd"), None, Text("abcd")], np.array(["abcd", None, "abcd"])):
            t = P.from_texts(messages)
            assert compact(t.segments()) == [[("L", "abcd")], [], [(0, 0, 4)]]


class TestSegments:
    @pytest.mark.parametrize("exact", ENGINES)
    @pytest.mark.parametrize("messages, expected", [
        # start and len are UTF-8 bytes, not characters
        (["héllo", "héllo wörld"], [[("L", "héllo")], [(0, 0, 6), ("L", " wörld")]]),
        (["héllo wörld", "X wörld"], [[("L", "héllo wörld")], [("L", "X"), (0, 6, 7)]]),
        # list positions count None entries, engine positions do not
        (["abcdef", None, "", "xyzé abcdefgh", None, "xyzé abcdefgh😀"],
         [[("L", "abcdef")], [], [], [("L", "xyzé "), (0, 0, 6), ("L", "gh")], [], [(3, 0, 14), ("L", "😀")]]),
        (["😀中é😀", "a😀中é😀"], [[("L", "😀中é😀")], [("L", "a"), (0, 0, 13)]]),
        ([], []),
        ([None, None, ""], [[], [], []]),
    ])
    def test_positions(self, exact, messages, expected):
        t = P.from_texts(messages, exact_mode=exact, cap_len=4)
        assert compact(t.segments()) == expected
        check_text_segments(messages, t.segments(), exact=exact)


class TestRender:
    @pytest.mark.parametrize("exact", ENGINES)
    @pytest.mark.parametrize("replacement, expected", [
        ("", ["abcdé", None, None, None, "x", None]),
        ("<ref>", ["abcdé", None, None, "<ref>", "x<ref>", "<ref><ref>"]),
        ("😀\n'", ["abcdé", None, None, "😀\n'", "x😀\n'", "😀\n'😀\n'"]),
    ])
    def test_replacement(self, exact, replacement, expected):
        messages = ["abcdé", None, "", "abcdé", "xabcdé", "abcdéabcdé"]
        t = P.from_texts(messages, exact_mode=exact, cap_len=4)
        assert compact(t.segments())[3:] == [[(0, 0, 6)], [("L", "x"), (0, 0, 6)], [(0, 0, 6), (0, 0, 6)]]
        assert t.render(replacement) == expected

    @pytest.mark.parametrize("replacement, message", [
        (5, "argument 'replacement': 'int' object cannot be converted to 'PyString'"),
        (None, "argument 'replacement': 'NoneType' object cannot be converted to 'PyString'"),
        (b"x", "argument 'replacement': 'bytes' object cannot be converted to 'PyString'"),
    ])
    def test_errors(self, replacement, message):
        with pytest.raises(TypeError) as info:
            P.from_texts(["a"]).render(replacement)
        assert str(info.value) == message


class TestStorage:
    # Literals and renderings hold only the characters they need: text taken
    # from a message that also holds wider characters comes back stored as a
    # fresh str of the same characters would be (strs stored differently do
    # not even compare equal).
    @pytest.mark.parametrize("wide", ["é", "中", "😀"])
    @pytest.mark.parametrize("exact", ENGINES)
    def test_narrowest_storage(self, wide, exact):
        messages = [f"{wide}hello world", f"abc{wide}hello world", f"xyz hello world{wide}"]
        t = P.from_texts(messages, exact_mode=exact, cap_len=4)
        texts = [s.text for segs in t.segments() for s in segs if isinstance(s, palimp.PyLiteralSegment)]
        assert "abc" in texts and "xyz " in texts
        for text in texts:
            fresh = "".join(list(text))
            assert text == fresh and sys.getsizeof(text) == sys.getsizeof(fresh)
        rendered = t.render("<>")
        assert rendered[1:] == ["abc<>", f"xyz <>{wide}"]
        for text in rendered:
            assert sys.getsizeof(text) == sys.getsizeof("".join(list(text)))
        assert t.render(wide) == [messages[0], f"abc{wide}", f"xyz {wide}{wide}"]

    def test_every_read_of_a_literal_is_a_new_str(self):
        seg = P.from_texts(["héllo wörld"]).segments()[0][0]
        assert seg.text == "héllo wörld" and seg.text is not seg.text


class TestCompressionRatio:
    @pytest.mark.parametrize("messages, ratio", [
        ([], 1.0),
        ([None, None], 1.0),
        (["", ""], 1.0),
        (["", None, ""], 1.0),
        (["hello"], 1.0),
        (["é"], 1.0),
        (["a" * 100, "a" * 100], 0.505),
        (["é" * 50, None, "é" * 50], 0.505),  # bytes on both sides of the fraction
        (["abcd", "xabcd"], 6 / 9),
    ])
    @pytest.mark.parametrize("exact", ENGINES)
    def test_values(self, messages, ratio, exact):
        value = P.from_texts(messages, exact_mode=exact).compression_ratio()
        assert type(value) is float and value == ratio


@st.composite
def text_lists(draw):
    alphabet = st.sampled_from("ab é中😀\n")
    chunks = draw(st.lists(st.text(alphabet, min_size=4, max_size=16), min_size=1, max_size=4))
    piece = st.one_of(st.sampled_from(chunks), st.sampled_from(chunks), st.text(alphabet, max_size=3))
    joined = st.lists(piece, min_size=1, max_size=5).map("".join)
    message = st.one_of(joined, joined, joined, st.none(), st.just(""))
    return draw(st.lists(message, min_size=2, max_size=6))


@settings(max_examples=300, deadline=None, database=None)
@given(messages=text_lists(), exact=st.booleans(),
       min_match_len=st.sampled_from([0, 1, 2, 4, 2**64 - 1]),
       cap_len=st.sampled_from([0, 1, 3, 8, 64, 2**64 - 1]),
       ncap=st.sampled_from([0, 1, 2, 64, 2**64 - 1]))
def test_segments_tile_and_resolve(messages, exact, min_match_len, cap_len, ncap):
    params = dict(exact_mode=exact, min_match_len=min_match_len, cap_len=cap_len, ncap=ncap)
    t = P.from_texts(messages, **params)
    rows = check_text_segments(messages, t.segments(), min_match_len=min_match_len, exact=exact)
    for replacement in ("", "é<>"):
        assert t.render(replacement) == rendered_texts(rows, replacement)
    ratio = t.compression_ratio()
    assert ratio == expected_ratio(messages, rows)
    assert 0.0 < ratio <= 1.0 or not any(messages)
    assert compact(P.from_texts(messages, **params).segments()) == rows
