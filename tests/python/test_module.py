"""The module, its six classes, argument binding and conversion, and failures
that end a call abnormally (PanicException, MemoryError, sub-interpreters)."""

import copy
import pickle
import re
import sys
import weakref

import numpy as np
import pytest

import palimp
from conftest import run_python
from probes import AbcOverstated, Index

P, T = palimp.PalimpText, palimp.PalimpTokens
LS, RS = palimp.PyLiteralSegment, palimp.PyReferenceSegment
LT, RT = palimp.PyLiteralTokens, palimp.PyReferenceTokens

NAMES = ["PalimpText", "PalimpTokens", "PyLiteralSegment", "PyReferenceSegment",
         "PyLiteralTokens", "PyReferenceTokens"]

MAKE = {
    "PalimpText": lambda: P.from_texts(["abc"]),
    "PalimpTokens": lambda: T.from_tokens([[1]]),
    "PyLiteralSegment": lambda: LS("abc"),
    "PyReferenceSegment": lambda: RS(0, 1, 2),
    "PyLiteralTokens": lambda: LT([1, 2]),
    "PyReferenceTokens": lambda: RT(0, 1, 2),
}


class TestModule:
    def test_exports(self):
        assert palimp.__all__ == NAMES
        assert palimp.__doc__ == ""
        assert sorted(n for n in vars(palimp) if not n.startswith("_")) == sorted(NAMES)
        for name in NAMES:
            assert getattr(palimp, name).__name__ == name
            assert getattr(palimp, name).__module__ == "palimp"

    @pytest.mark.parametrize("name", NAMES)
    def test_type_properties(self, name):
        cls, obj = getattr(palimp, name), MAKE[name]()
        assert cls.__bases__ == (object,)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(AttributeError):
            obj.__dict__
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert obj == obj and obj != MAKE[name]()  # identity only
        assert str(obj) == repr(obj)

    @pytest.mark.parametrize("cls, name, args", [
        (P, "from_texts", (["abcd", "abcd"],)),
        (T, "from_tokens", ([[1, 2, 3, 4], [1, 2, 3, 4]],)),
        (T, "from_texts_with_tokenizer", (["a b c d", "a b c d"], "whitespace")),
    ])
    def test_class_methods_are_bound_to_their_class(self, cls, name, args):
        # Kept bound in the class, so every read gives the same method.
        method = getattr(cls, name)
        assert method is getattr(cls, name) is getattr(MAKE[cls.__name__](), name)
        assert method.__self__ is cls and method.__name__ == name
        assert method.__qualname__ == f"{cls.__name__}.{name}"
        assert pickle.loads(pickle.dumps(method)) is method
        for made in (method(*args), getattr(MAKE[cls.__name__](), name)(*args)):
            assert type(made) is cls and len(made.segments()) == 2

    @pytest.mark.parametrize("cls", [P, T])
    @pytest.mark.parametrize("args, kwargs", [((), {}), (([],), {}), ((1,), {"x": 2})])
    def test_compressors_have_no_constructor(self, cls, args, kwargs):
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == "No constructor defined"

    @pytest.mark.parametrize("obj, signature", [
        (LS, "(text)"),
        (RS, "(message, start, len)"),
        (LT, "(tokens)"),
        (RT, "(message, start, len)"),
        (P.from_texts,
         "($cls, messages, *, exact_mode=True, min_match_len=4, lookback=None, cap_len=64, ncap=64)"),
        (P.segments, "($self)"),
        (P.render, "($self, replacement)"),
        (P.compression_ratio, "($self)"),
        (T.from_tokens,
         "($cls, messages, *, exact_mode=True, min_match_len=4, lookback=None, cap_len=64, ncap=64)"),
        (T.from_texts_with_tokenizer,
         "($cls, messages, tokenizer, *, exact_mode=True, min_match_len=4, lookback=None,"
         " cap_len=64, ncap=64)"),
        (T.segments, "($self)"),
        (T.render, "($self, replacement, *, as_numpy=False)"),
        (T.render_texts, "($self, replacement)"),
    ])
    def test_signatures(self, obj, signature):
        assert obj.__text_signature__ == signature

    def test_docs(self):
        for cls in (LS, RS, LT, RT):
            assert not cls.__doc__
        assert T.from_texts_with_tokenizer.__doc__ == (
            "Tokenizer opt-in: accept texts and a tokenizer name, return token-mode compressor.")
        assert T.render_texts.__doc__ == (
            "Decode rendered token outputs back to text using the stored tokenizer.\n"
            "Raises a TypeError if the instance was not created with a tokenizer.")


class TestValueClasses:
    @pytest.mark.parametrize("obj, expected", [
        (LS(""), "LiteralSegment(text='')"),
        (LS("it's \"q\"\nnext\\n\t"), "LiteralSegment(text='it's \"q\"\nnext\\n\t')"),
        (LS(text="é中😀\x00"), "LiteralSegment(text='é中😀\x00')"),
        (RS(True, 2**64 - 1, 0), "ReferenceSegment(message=1, start=18446744073709551615, len=0)"),
        (RS(message=3, start=np.int64(4), len=5), "ReferenceSegment(message=3, start=4, len=5)"),
        (LT([]), "LiteralTokens(tokens=[])"),
        (LT((0, 4294967295, True)), "LiteralTokens(tokens=[0, 4294967295, 1])"),
        (LT(range(3)), "LiteralTokens(tokens=[0, 1, 2])"),
        (LT(b"ab"), "LiteralTokens(tokens=[97, 98])"),
        (LT(np.array([5, 6], dtype=">i8")[::-1]), "LiteralTokens(tokens=[6, 5])"),
        (RT(0, 2**64 - 1, Index(7)), "ReferenceTokens(message=0, start=18446744073709551615, len=7)"),
    ])
    def test_repr(self, obj, expected):
        assert repr(obj) == expected

    @pytest.mark.parametrize("cls, args, exc, message", [
        (LS, (5,), TypeError, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (LS, (b"a",), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (LS, ("\ud800",), UnicodeEncodeError, None),
        (RS, (-1, 0, 0), OverflowError, None),
        (RS, (0, 2**64, 0), OverflowError, None),
        (RS, ("0", 0, 0), TypeError,
         "argument 'message': 'str' object cannot be interpreted as an integer"),
        (RT, (0, 0, 1.0), TypeError, "argument 'len': 'float' object cannot be interpreted as an integer"),
        (LT, ("abc",), TypeError, "argument 'tokens': Can't extract `str` to `Vec`"),
        (LT, (5,), TypeError, "argument 'tokens': 'int' object cannot be converted to 'Sequence'"),
        (LT, ([1, -1],), OverflowError, "out of range integral type conversion attempted"),
        (LT, ([4294967296],), OverflowError, "out of range integral type conversion attempted"),
        (LT, ([2**63 - 1],), OverflowError, "out of range integral type conversion attempted"),
        (LT, ([2**63],), OverflowError, None),
        (LT, ([1, 2.0],), TypeError, "argument 'tokens': 'float' object cannot be interpreted as an integer"),
        (LT, (np.array([1.0]),), TypeError,
         "argument 'tokens': 'numpy.float64' object cannot be interpreted as an integer"),
    ])
    def test_constructor_errors(self, cls, args, exc, message):
        with pytest.raises(exc) as info:
            cls(*args)
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message
        if exc is not TypeError:
            assert not str(info.value).startswith("argument ")

    @pytest.mark.parametrize("obj", [
        LS(""), LS("é中😀\x00'\n"), RS(True, 2**64 - 1, 0), RS(3, 4, 5),
        LT([]), LT([0, 1, 4294967295]), LT(range(1000)), RT(0, 2**64 - 1, 7),
    ], ids=repr)
    def test_pickle_and_copy(self, obj):
        fields = {name: getattr(obj, name) for name in ("text", "tokens", "message", "start", "len")
                  if hasattr(obj, name)}
        copies = [pickle.loads(pickle.dumps(obj, protocol)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)]
        copies += [copy.copy(obj), copy.deepcopy(obj), copy.deepcopy([obj, obj])[1]]
        for other in copies:
            assert type(other) is type(obj) and other is not obj
            assert repr(other) == repr(obj)
            assert {name: getattr(other, name) for name in fields} == fields
            assert other != obj  # still identity equality, no hashing by value
            assert hash(other) != hash(obj)
        nested = pickle.loads(pickle.dumps([[obj, obj]], 5))
        assert nested[0][0] is nested[0][1]  # the pickle memo keeps sharing
        # The protocol converts as it does for the interpreter's own types.
        assert obj.__reduce_ex__(Index(-1)) == obj.__reduce__()
        for protocol in ("2", 2.0, None, 2**31, -2**31 - 1):
            with pytest.raises((TypeError, OverflowError)) as info:
                obj.__reduce_ex__(protocol)
            with pytest.raises(type(info.value), match=f"^{re.escape(str(info.value))}$"):
                object().__reduce_ex__(protocol)

    def test_compressors_do_not_pickle(self):
        for obj in (P.from_texts(["a"]), T.from_tokens([[1]])):
            with pytest.raises(TypeError, match="cannot pickle"):
                pickle.dumps(obj)

    def test_attributes_are_read_only_copies(self):
        seg = LS("abc")
        first = seg.text
        assert first == "abc" and type(first) is str
        for obj, attr in [(seg, "text"), (RS(1, 2, 3), "len"), (LT([1]), "tokens"), (RT(1, 2, 3), "message")]:
            before = getattr(obj, attr)
            with pytest.raises(AttributeError):
                setattr(obj, attr, before)
            with pytest.raises(AttributeError):
                delattr(obj, attr)
            assert getattr(obj, attr) == before
        ref = RS(1, 2, 3)
        assert (ref.message, ref.start, ref.len) == (1, 2, 3)
        tokens = LT([1, 2])
        tokens.tokens.append(3)
        assert tokens.tokens == [1, 2]
        assert tokens.tokens is not tokens.tokens

    @pytest.mark.parametrize("text", ["", "a", "abc", "é", "héllo", "中é", "a😀中", "\x00\x7f"])
    def test_literal_text_keeps_every_character(self, text):
        seg = LS(text)
        assert seg.text == text and type(seg.text) is str
        assert sys.getsizeof(seg.text) == sys.getsizeof("".join(list(text)))
        assert repr(seg) == f"LiteralSegment(text='{text}')"
        Text = type("Text", (str,), {})
        assert LS(Text(text)).text == text and type(LS(Text(text)).text) is str

    @pytest.mark.parametrize("ids", [[], [0, 255], [0, 256, 65535], [65536, 0, 4294967295]])
    def test_literal_tokens_keep_every_id(self, ids):
        for form in (ids, tuple(ids), np.array(ids, dtype=np.uint64)):
            obj = LT(form)
            assert obj.tokens == ids and obj.as_numpy().tolist() == ids
            assert repr(obj) == f"LiteralTokens(tokens={ids})"

    def test_as_numpy(self):
        obj = LT([1, 2, 4294967295])
        a, b = obj.as_numpy(), obj.as_numpy()
        assert a.dtype == np.uint32 and a.ndim == 1 and a.tolist() == [1, 2, 4294967295]
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
        a[0] = 9
        assert obj.tokens == [1, 2, 4294967295] and b[0] == 1
        assert not np.shares_memory(a, b)
        empty = LT([]).as_numpy()
        assert empty.dtype == np.uint32 and empty.shape == (0,)


class TestArgumentBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda: P.from_texts(["a"], ["b"]), "PalimpText.from_texts() takes 1 positional arguments but 2 were given"),
        (lambda: P.from_texts([], True), "PalimpText.from_texts() takes 1 positional arguments but 2 were given"),
        (lambda: T.from_texts_with_tokenizer([], "whitespace", True),
         "PalimpTokens.from_texts_with_tokenizer() takes 2 positional arguments but 3 were given"),
        (lambda: P.from_texts(["a"]).segments(1), "PalimpText.segments() takes 0 positional arguments but 1 was given"),
        (lambda: T.from_tokens([]).render([1], True), "PalimpTokens.render() takes 1 positional arguments but 2 were given"),
        (lambda: LS("a", "b"), "PyLiteralSegment.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: LS("a", text="b"), "PyLiteralSegment.__new__() got multiple values for argument 'text'"),
        (lambda: P.from_texts([], messages=[]), "PalimpText.from_texts() got multiple values for argument 'messages'"),
        (lambda: T.from_tokens(5, minmatch=3), "PalimpTokens.from_tokens() got an unexpected keyword argument 'minmatch'"),
        (lambda: P.from_texts([]).compression_ratio(x=1),
         "PalimpText.compression_ratio() got an unexpected keyword argument 'x'"),
        (lambda: RS("not converted", 2), "PyReferenceSegment.__new__() missing 1 required positional argument: 'len'"),
        (lambda: RS(1), "PyReferenceSegment.__new__() missing 2 required positional arguments: 'start' and 'len'"),
        (lambda: RS(), "PyReferenceSegment.__new__() missing 3 required positional arguments: "
                       "'message', 'start', and 'len'"),
        (lambda: T.from_texts_with_tokenizer(exact_mode=True),
         "PalimpTokens.from_texts_with_tokenizer() missing 2 required positional arguments: 'messages' and 'tokenizer'"),
        (lambda: T.from_tokens([]).render(as_numpy=True),
         "PalimpTokens.render() missing 1 required positional argument: 'replacement'"),
        (lambda: P.from_texts([]).render(), "PalimpText.render() missing 1 required positional argument: 'replacement'"),
        # keywords are quoted as written, whatever characters they hold
        (lambda: P.from_texts([], **{"a\x00b": 1}), "PalimpText.from_texts() got an unexpected keyword argument 'a\x00b'"),
        (lambda: T.from_tokens([], **{"ncap\x00": 1}),
         "PalimpTokens.from_tokens() got an unexpected keyword argument 'ncap\x00'"),
        (lambda: P.from_texts([], **{"\ud800": 1}), "PalimpText.from_texts() got an unexpected keyword argument '\ud800'"),
        (lambda: T.from_tokens([]).render([], **{"as_numpy\udfff": 1}),
         "PalimpTokens.render() got an unexpected keyword argument 'as_numpy\udfff'"),
        (lambda: LS(**{"te\x00xt": "a"}), "PyLiteralSegment.__new__() got an unexpected keyword argument 'te\x00xt'"),
        (lambda: RS(1, 2, **{"lén": 3}), "PyReferenceSegment.__new__() got an unexpected keyword argument 'lén'"),
        (lambda: LT(**{"\ud83d": [1]}), "PyLiteralTokens.__new__() got an unexpected keyword argument '\ud83d'"),
    ])
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keywords_bind_to_positional_parameters(self):
        assert repr(RS(1, start=2, len=3)) == "ReferenceSegment(message=1, start=2, len=3)"
        t = T.from_texts_with_tokenizer(tokenizer="whitespace", messages=["a b"])
        assert t.render(replacement=[], as_numpy=False) == [[0, 1]]


class TestArgumentConversion:
    @pytest.mark.parametrize("method", [P.from_texts, T.from_tokens])
    @pytest.mark.parametrize("kwargs, exc, message", [
        ({"exact_mode": 1}, TypeError, "argument 'exact_mode': 'int' object cannot be converted to 'PyBool'"),
        ({"exact_mode": None}, TypeError, "argument 'exact_mode': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"min_match_len": None}, TypeError,
         "argument 'min_match_len': 'NoneType' object cannot be interpreted as an integer"),
        ({"cap_len": 1.5}, TypeError, "argument 'cap_len': 'float' object cannot be interpreted as an integer"),
        ({"ncap": "3"}, TypeError, "argument 'ncap': 'str' object cannot be interpreted as an integer"),
        ({"lookback": -1}, OverflowError, None),
        ({"min_match_len": 2**64}, OverflowError, None),
        # signature order decides which failure is reported, not keyword order
        ({"ncap": None, "min_match_len": -1, "exact_mode": 0}, TypeError,
         "argument 'exact_mode': 'int' object cannot be converted to 'PyBool'"),
        ({"ncap": None, "min_match_len": -1}, OverflowError, None),
    ])
    def test_parameter_errors(self, method, kwargs, exc, message):
        with pytest.raises(exc) as info:
            method([], **kwargs)
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message

    def test_later_parameters_are_not_examined(self):
        seen = []

        class Probe:
            def __index__(self):
                seen.append(1)
                return 1

        with pytest.raises(TypeError, match="^argument 'messages': "):
            P.from_texts([5], min_match_len=Probe(), ncap=Probe())
        with pytest.raises(TypeError, match="^argument 'lookback': "):
            T.from_tokens([], lookback=1.0, cap_len=Probe())
        assert seen == []

    def test_prefix_only_on_exact_type_error(self):
        class Chained:
            def __index__(self):
                raise TypeError("x") from ValueError("inner")

        for call, name in [(lambda: RS(Chained(), 0, 0), "message"),
                           (lambda: T.from_tokens([[Chained()]]), "messages")]:
            with pytest.raises(TypeError) as info:
                call()
            assert type(info.value) is TypeError and str(info.value) == f"argument '{name}': x"
            assert type(info.value.__cause__) is ValueError and info.value.__cause__.args == ("inner",)

        class SubTypeError(TypeError):
            pass

        for error, call in [(SubTypeError("sub"), lambda e: LT([Index(e)])),
                            (OverflowError("big"), lambda e: P.from_texts([], cap_len=Index(e)))]:
            args = error.args
            with pytest.raises(type(error)) as info:
                call(error)
            assert info.value is error and error.args == args

    @pytest.mark.parametrize("call", [
        lambda: LS("a\ud800"),
        lambda: P.from_texts(["ok", "\udfff"]),
        lambda: P.from_texts(["a"]).render("\ud800"),
        lambda: T.from_texts_with_tokenizer(["\ud800"], "whitespace"),
        lambda: T.from_texts_with_tokenizer(["a"], "\ud800"),
        lambda: T.from_texts_with_tokenizer(["a"], "whitespace").render_texts("\ud800"),
    ])
    def test_lone_surrogate(self, call):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert "surrogates not allowed" in str(info.value)
        assert not str(info.value).startswith("argument ")


class TestAbnormalEnds:
    def test_overstated_length_only_sizes_storage(self):
        # Conversions take the items that iteration yields.
        assert LT(AbcOverstated([1, 2])).tokens == [1, 2]
        assert P.from_texts(AbcOverstated(["abcd", "abcd"])).render("x") == ["abcd", "x"]
        w = T.from_texts_with_tokenizer(AbcOverstated(["a b c d", "a b c d"]), "whitespace")
        assert w.render_texts("x") == ["a b c d", "x"]
        t = T.from_tokens(AbcOverstated([AbcOverstated([1, 2, 3, 4]), [1, 2, 3, 4]]))
        assert t.render([0]) == [[1, 2, 3, 4], [0]]
        # render reads items 0 .. len - 1 by index: the third access fails.
        for as_numpy in (False, True):
            with pytest.raises(IndexError):
                t.render(AbcOverstated([7, 8]), as_numpy=as_numpy)
        assert t.render([0]) == [[1, 2, 3, 4], [0]]


    def test_missing_numpy_raises_panic_exception(self):
        result = run_python("""
            import sys
            sys.modules["numpy"] = None
            import palimp
            t = palimp.PalimpTokens.from_tokens([[1, 2, 3, 4], [1, 2, 3, 4]])
            calls = [lambda: t.render([5]), lambda: t.render([5], as_numpy=True),
                     lambda: palimp.PyLiteralTokens([1]).as_numpy(), lambda: t.render([5])]
            for call in calls:
                try:
                    call()
                except Exception:
                    print("caught as Exception")
                except BaseException as e:
                    kind = type(e)
                    assert kind.__name__ == "PanicException", kind
                    assert kind.__bases__ == (BaseException,), kind.__bases__
                    assert e.args == (str(e),)
                    assert str(e).startswith("Failed to access NumPy array API capsule"), str(e)
                    print("panic")
            assert not hasattr(palimp, "PanicException")
            print(t.segments())
            print(palimp.PalimpText.from_texts(["abcd", "abcd"]).render("x"))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "panic", "panic", "panic", "panic",
            "[[LiteralTokens(tokens=[1, 2, 3, 4])], [ReferenceTokens(message=0, start=0, len=4)]]",
            "['abcd', 'x']",
        ]

    def test_import_in_sub_interpreter_fails(self):
        pytest.importorskip("_testcapi")
        result = run_python('''
            import os, _testcapi
            import palimp
            _testcapi.run_in_subinterp("""
            import os
            try:
                import palimp
            except ImportError:
                os.write(1, b"ImportError\\\\n")
            else:
                os.write(1, b"imported\\\\n")
            """)
            os.write(1, repr(palimp.PalimpTokens.from_tokens([[1]]).render([])).encode() + b"\\n")
        ''')
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["ImportError", "[[1]]"]

    # One of each: a legacy sub-interpreter (its own import machinery would
    # allow the module) and an isolated one (it would refuse it after the
    # entry point ran).  Neither may keep the module from the main interpreter.
    SUB_IMPORT = """
        import os
        try:
            import palimp
        except ImportError as e:
            os.write(1, ("ImportError: " + str(e) + "\\n").encode())
        else:
            os.write(1, b"imported\\n")
    """

    def test_sub_interpreter_never_owns_the_module(self):
        testcapi = pytest.importorskip("_testcapi")
        if sys.version_info >= (3, 13):
            interpreters = pytest.importorskip("_interpreters")
        else:
            interpreters = pytest.importorskip("_xxsubinterpreters")
        assert testcapi and interpreters
        result = run_python(f"""
            import os, sys, textwrap, _testcapi
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            code = textwrap.dedent({self.SUB_IMPORT!r})
            _testcapi.run_in_subinterp(code)            # legacy, before the main interpreter
            isolated = interpreters.create()
            interpreters.run_string(isolated, code)     # isolated, before it
            interpreters.destroy(isolated)
            import palimp
            os.write(1, repr(palimp.PalimpTokens.from_tokens([[1]]).render([])).encode() + b"\\n")
            _testcapi.run_in_subinterp(code)            # and after it
            del sys.modules["palimp"]
            import palimp as again                      # the same module, made once
            os.write(1, (repr(again is palimp) + "\\n").encode())
        """)
        assert result.returncode == 0, result.stderr
        refused = "ImportError: palimp can be imported in one interpreter per process only"
        lines = result.stdout.splitlines()
        # An isolated sub-interpreter may refuse the module before its entry runs.
        assert lines[1].startswith("ImportError: ")
        assert lines[:1] + lines[2:] == [refused, "[[1]]", refused, "True"]

    @pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
    def test_out_of_memory_raises_memory_error(self):
        result = run_python("""
            import resource
            import numpy as np
            import palimp

            def address_space():
                for line in open("/proc/self/status"):
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

            # Text that does not repeat: every window is new and indexed.
            rng = np.random.default_rng(5)
            text = rng.integers(33, 127, 30_000_000, dtype=np.uint8).tobytes().decode("ascii")
            tokens = rng.integers(0, 2**24, 15_000_000, dtype=np.uint32)
            limit = address_space() + 256 * 2**20
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            calls = [lambda: palimp.PalimpText.from_texts([text, text]),
                     lambda: palimp.PalimpText.from_texts([text, text], exact_mode=False),
                     lambda: palimp.PalimpTokens.from_tokens([tokens, tokens]),
                     lambda: palimp.PalimpTokens.from_tokens([tokens, tokens], exact_mode=False)]
            for call in calls:
                try:
                    call()
                    print("built")
                except MemoryError:
                    print("MemoryError")
            print(palimp.PalimpText.from_texts(["abcd", "abcd"]).render("x"))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["MemoryError"] * 4 + ["['abcd', 'x']"]
