"""Every public method, called many times on its success and failure paths,
leaves nothing behind: no live Python objects, no allocated blocks, no traced
memory and, for large inputs, no resident memory.

A leak of one object or one small buffer per call grows each count by the
number of calls (thousands here), so the limits sit at a tenth of that and
far above what warm caches and free lists wobble by.  Native buffers do not
show in the interpreter's counts; large inputs make a leak of even one copy
per call stand out in the resident size.

`python tests/python/test_leaks.py` prints the figures of every case.
"""

import gc
import os
import signal
import sys
import tracemalloc

import numpy as np
import pytest

import palimp
from probes import AbcItems, CallBack, Index

P = palimp.PalimpText
T = palimp.PalimpTokens
CALLS = 2000        # per small case
LIMIT = CALLS // 10  # objects or blocks; a leak of one per call gives CALLS
TRACED_LIMIT = 16 * 1024  # bytes; a leak of one small object per call gives > 64 KiB
BIG_CALLS = 30
RSS_LIMIT = 8 << 20  # bytes; a leaked copy of one input per call gives > 30 MiB


def fails(exc, call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{call} did not raise {exc.__name__}")
    return run


def succeeds(call, *args, **kwargs):
    return lambda: call(*args, **kwargs)


def interrupted(call, *args, **kwargs):
    """The call with SIGALRM raising KeyboardInterrupt a millisecond in,
    inside the call or, when it is quicker, just after it."""
    def run():
        previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
        try:
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.001)
                call(*args, **kwargs)
                signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
            except KeyboardInterrupt:
                pass
        finally:
            # A signal still on its way is dropped, not raised in here.
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
            signal.signal(signal.SIGALRM, previous)
    return run


TOKENS = [[1, 2, 3, 4, 5, 6], None, [9, 1, 2, 3, 4, 5, 6, 8], [], [1, 2, 3, 4, 5, 6, 8]]
TEXTS = ["héllo wonderful world", None, "X héllo wonderful world! 😀", "", "héllo wonderful"]
t_exact = T.from_tokens(TOKENS)
t_approx = T.from_tokens(TOKENS, exact_mode=False)
t_words = T.from_texts_with_tokenizer(["a b c d e", "a b c d e f"], "whitespace", min_match_len=2)
p_exact = P.from_texts(TEXTS)
p_approx = P.from_texts(TEXTS, exact_mode=False, cap_len=8, ncap=2)
literal = palimp.PyLiteralTokens([1, 2, 3])


SMALL = {
    # successes
    "from_tokens": succeeds(T.from_tokens, TOKENS, min_match_len=2),
    "from_tokens approximate": succeeds(T.from_tokens, TOKENS, exact_mode=False, cap_len=3, lookback=5),
    "from_tokens arrays": succeeds(T.from_tokens, [np.arange(8, dtype=np.int64), np.arange(8, dtype=">u2")]),
    "from_texts_with_tokenizer": succeeds(T.from_texts_with_tokenizer, ["a b", None, "a b c"], "whitespace"),
    "tokens segments": succeeds(t_approx.segments),
    "render list": succeeds(t_exact.render, [7, 8]),
    "render arrays": succeeds(t_exact.render, np.array([7, 8], dtype=np.uint32), as_numpy=True),
    "render range": succeeds(t_approx.render, range(3)),
    "render shared callback": succeeds(t_words.render, [CallBack(t_words, False)]),
    "render_texts": succeeds(t_words.render_texts, "x y"),
    "from_texts": succeeds(P.from_texts, TEXTS, min_match_len=3),
    "from_texts approximate": succeeds(P.from_texts, TEXTS, exact_mode=False),
    "text segments": succeeds(p_exact.segments),
    "text render": succeeds(p_approx.render, "<é>"),
    "compression_ratio": succeeds(p_exact.compression_ratio),
    "value classes": succeeds(lambda: (repr(palimp.PyLiteralSegment("é").text),
                                       repr(palimp.PyReferenceSegment(1, 2**64 - 1, 0)),
                                       repr(palimp.PyReferenceTokens(1, 2, 3)), literal.tokens, repr(literal))),
    "as_numpy": succeeds(literal.as_numpy),
    # failures
    "messages not a sequence": fails(TypeError, T.from_tokens, 5),
    "messages str": fails(TypeError, P.from_texts, "abc"),
    "token id out of range": fails(OverflowError, T.from_tokens, [[1, 2, 3], [1, -1]]),
    "token id not an int": fails(TypeError, T.from_tokens, [[1, 2], [1.5]]),
    "token array of floats": fails(TypeError, T.from_tokens, [np.ones(4)]),
    "item access fails": fails(KeyError, T.from_tokens, [[1], AbcItems([1, 2], item_error=KeyError(1))]),
    "index raises": fails(ValueError, T.from_tokens, [[Index(ValueError("v"), fresh=True)]]),
    "text not a str": fails(TypeError, P.from_texts, ["a", 5]),
    "lone surrogate": fails(UnicodeEncodeError, P.from_texts, ["a", "b\ud800"]),
    "bad flag": fails(TypeError, P.from_texts, [], exact_mode=1),
    "bad size": fails(OverflowError, T.from_tokens, [], ncap=-1),
    "size index raises": fails(TypeError, P.from_texts, ["a"], cap_len=Index(TypeError("t"), fresh=True)),
    "unknown tokenizer": fails(TypeError, T.from_texts_with_tokenizer, ["a"], "nope"),
    "hf tokenizer": fails(TypeError, T.from_texts_with_tokenizer, ["a"], "hf:model"),
    "binding: unexpected keyword": fails(TypeError, P.from_texts, [], minmatch=3),
    "binding: too many": fails(TypeError, T.from_tokens, [], True),
    "binding: missing": fails(TypeError, palimp.PyReferenceSegment, 1),
    "no constructor": fails(TypeError, P),
    "render not a sequence": fails(TypeError, t_exact.render, 5),
    "render id too large": fails(TypeError, t_exact.render, [1, 2**32]),
    "render negative id": fails(OverflowError, t_approx.render, (1, -1)),
    "render strided array": fails(TypeError, t_exact.render, np.arange(6, dtype=np.uint32)[::2]),
    "render item access fails": fails(KeyError, t_exact.render, AbcItems([1, 2], item_error=KeyError(1))),
    "render bad flag": fails(TypeError, t_exact.render, [1], as_numpy=1),
    "render exclusive callback": fails(RuntimeError, t_words.render, [CallBack(t_words, True)]),
    "render_texts without tokenizer": fails(TypeError, t_exact.render_texts, "x"),
    "render_texts not a str": fails(TypeError, t_words.render_texts, 5),
    "text render not a str": fails(TypeError, p_exact.render, None),
    "value class bad text": fails(TypeError, palimp.PyLiteralSegment, 5),
    "value class bad size": fails(OverflowError, palimp.PyReferenceTokens, -1, 0, 0),
    "value class bad tokens": fails(OverflowError, palimp.PyLiteralTokens, [1, 2**32]),
}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(call, calls):
    """Growth of (live objects, allocated blocks, traced bytes) over `calls`
    calls, after warming up."""
    for _ in range(max(10, calls // 10)):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        return (len(gc.get_objects()) - objects, sys.getallocatedblocks() - blocks,
                tracemalloc.get_traced_memory()[0] - traced)
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("name", SMALL)
def test_calls_leave_nothing_behind(name):
    objects, blocks, traced = measure(SMALL[name], CALLS)
    assert objects < LIMIT and blocks < LIMIT and traced < TRACED_LIMIT, (objects, blocks, traced)


def test_limits_catch_a_leak():
    """The same measure sees a leak of one small object per call (a list,
    which the collector tracks, holding a value object, which it does not)."""
    kept = []
    objects, blocks, traced = measure(lambda: kept.append([palimp.PyLiteralTokens([1])]), CALLS)
    assert objects >= CALLS and blocks >= CALLS and traced > TRACED_LIMIT


def big_inputs():
    rng = np.random.default_rng(5)
    base = rng.integers(0, 50000, 20000).tolist()
    tokens = [base[:5000 + 1000 * i] + rng.integers(0, 50000, 500).tolist() for i in range(15)]
    words = " ".join(f"w{i}é" for i in rng.integers(0, 3000, 6000))
    texts = [words[:20000 + 2000 * i] + f" new {i} 😀" for i in range(15)]
    # A message of 400,000 segments: a new token, then four of `base`.
    pieces = np.array(base)[rng.integers(0, len(base) - 4, 200_000)[:, None] + np.arange(4)]
    many = [base, np.hstack([np.full((200_000, 1), 60000), pieces]).reshape(-1).tolist()]
    return tokens, texts, many


def big_cases():
    tokens, texts, many = big_inputs()
    t = T.from_tokens(tokens)
    m = T.from_tokens(many)
    m_text = P.from_texts(["".join(map(chr, m_tokens)) for m_tokens in many])
    p = P.from_texts(texts, exact_mode=False)
    w = T.from_texts_with_tokenizer(texts, "whitespace")
    return {
        "from_tokens": succeeds(T.from_tokens, tokens),
        "from_tokens approximate": succeeds(T.from_tokens, tokens, exact_mode=False),
        "segments + render": succeeds(lambda: (t.segments(), t.render([1]), t.render([], as_numpy=True))),
        "from_tokens fails at the end": fails(OverflowError, T.from_tokens, tokens + [[1, -1]]),
        "from_texts": succeeds(P.from_texts, texts),
        "text segments + render + ratio": succeeds(lambda: (p.segments(), p.render("x"), p.compression_ratio())),
        "from_texts fails at the end": fails(TypeError, P.from_texts, texts + [5]),
        "from_texts_with_tokenizer": succeeds(T.from_texts_with_tokenizer, texts, "whitespace"),
        "render_texts": succeeds(w.render_texts, "x"),
        # Ended by Ctrl-C wherever it lands.
        "from_tokens interrupted": interrupted(T.from_tokens, tokens + many),
        "from_texts interrupted": interrupted(P.from_texts, texts * 4, exact_mode=False),
        "from_texts_with_tokenizer interrupted": interrupted(T.from_texts_with_tokenizer, texts * 4, "whitespace"),
        "segments interrupted": interrupted(lambda: (m.segments(), m_text.segments())),
        "render interrupted": interrupted(lambda: (m.render([1, 2]), m_text.render("x"), m_text.compression_ratio())),
    }


def measure_rss(call, calls):
    for _ in range(5):
        call()
    gc.collect()
    before = rss()
    for _ in range(calls):
        call()
    gc.collect()
    return rss() - before


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer holds freed memory in quarantine")
def test_large_calls_keep_resident_memory_flat():
    grown = {name: measure_rss(call, BIG_CALLS) for name, call in big_cases().items()}
    assert max(grown.values()) < RSS_LIMIT, grown


if __name__ == "__main__":
    print(f"{'case':<34} {'objects':>8} {'blocks':>8} {'traced B':>9}   ({CALLS} calls each)")
    for name, call in SMALL.items():
        print(f"{name:<34} {' '.join(f'{x:>8}' for x in measure(call, CALLS))}")
    print(f"{'large case':<34} {'RSS growth KiB':>16}   ({BIG_CALLS} calls each)")
    for name, call in big_cases().items():
        print(f"{name:<34} {measure_rss(call, BIG_CALLS) // 1024:>16}")
