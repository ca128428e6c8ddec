"""A long compression ends with the exception of a signal handler that
raises (KeyboardInterrupt for Ctrl-C) soon after the signal, not when the
work is done, and leaves the module usable."""

import signal
import time

import numpy as np
import pytest

import palimp


def _run_interrupted(call, delay):
    """Runs call() with SIGALRM raising KeyboardInterrupt after `delay`
    seconds; returns how long the call took to end."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.perf_counter() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _random_tokens(n, seed):
    return np.random.default_rng(seed).integers(0, 2**24, n, dtype=np.uint32)


def _random_text(n, seed):
    return np.random.default_rng(seed).integers(33, 127, n, dtype=np.uint8).tobytes().decode("ascii")


# Messages that do not repeat each other: every window is indexed and every
# position of the second is looked up, which takes a while.
CALLS = {
    "tokens": lambda: palimp.PalimpTokens.from_tokens([_random_tokens(3_000_000, 1), _random_tokens(3_000_000, 2)]),
    "text": lambda: palimp.PalimpText.from_texts([_random_text(4_000_000, 1), _random_text(4_000_000, 2)]),
    "tokens, approximate": lambda: palimp.PalimpTokens.from_tokens(
        [_random_tokens(3_000_000, 1), _random_tokens(3_000_000, 2)], exact_mode=False),
    "text, approximate": lambda: palimp.PalimpText.from_texts(
        [_random_text(4_000_000, 1), _random_text(4_000_000, 2)], exact_mode=False),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_a_signal_ends_a_long_call_early(name):
    call = CALLS[name]
    start = time.perf_counter()
    call()
    full = time.perf_counter() - start
    # The signal comes a tenth of the way in; the call must end long before
    # it would have finished (a generous margin on a busy machine).
    taken = _run_interrupted(call, full / 10)
    assert taken < full / 2, (taken, full)
    # Nothing is left half-built: the next call works.
    assert palimp.PalimpText.from_texts(["abcd", "abcd"]).render("x") == ["abcd", "x"]


def _interrupted_inside(call):
    """Runs call() under a signal every millisecond whose handler raises
    KeyboardInterrupt the third time it runs; returns whether the call
    ended with it.  A call that does not poll for signals runs the handler
    once, when it returns (signals that arrive while one is pending are
    merged): only a call that polls runs it three times."""
    runs = [0]

    def handler(signum, frame):
        runs[0] += 1
        if runs[0] == 3:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            call()
        except KeyboardInterrupt:
            return True
        return False
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _many_pieces(base, sep, pairs, seed):
    """A second message whose segments alternate a one-symbol literal and a
    reference of four symbols of `base`."""
    at = np.random.default_rng(seed).integers(0, len(base) - 4, pairs)
    out = np.empty((pairs, 5), dtype=base.dtype)
    out[:, 0] = sep
    for k in range(4):
        out[:, k + 1] = base[at + k]
    return out.reshape(-1)


@pytest.fixture(scope="module")
def results():
    """Objects with a few million segments, for the result builders."""
    rng = np.random.default_rng(5)
    letters = rng.integers(97, 123, 1 << 16, dtype=np.uint8)
    ids = rng.integers(0, 2**16, 1 << 16, dtype=np.uint32)
    words = np.array([f"w{i:x}" for i in range(4096)] + ["#"])
    word_ids = rng.integers(0, 4096, 1 << 16)
    out = {
        "text": palimp.PalimpText.from_texts(
            [letters.tobytes().decode(), _many_pieces(letters, ord("#"), 1_500_000, 1).tobytes().decode()]),
        "tokens": palimp.PalimpTokens.from_tokens([ids, _many_pieces(ids, 2**20, 1_500_000, 2)]),
        "words": palimp.PalimpTokens.from_texts_with_tokenizer(
            [" ".join(words[word_ids]), " ".join(words[_many_pieces(word_ids, 4096, 500_000, 3)])], "whitespace"),
    }
    out["ratio"] = out["text"].compression_ratio()
    return out


# Every method, on inputs whose conversion, compression or result takes
# tens of milliseconds or more: the method and its arguments (keywords in a
# dict at the end), prepared before the signals start.
EVERY_CALL = {
    "from_texts": lambda r: (palimp.PalimpText.from_texts, [_random_text(1_000_000, 1), _random_text(1_000_000, 2)]),
    "from_texts absent entries": lambda r: (palimp.PalimpText.from_texts, [None] * 5_000_000),
    "from_tokens lists": lambda r: (palimp.PalimpTokens.from_tokens,
                                    [_random_tokens(10_000, k).tolist() for k in range(100)]),
    "from_texts_with_tokenizer": lambda r: (palimp.PalimpTokens.from_texts_with_tokenizer,
                                            [" ".join(map(str, _random_tokens(300_000, 3)))], "whitespace"),
    "PalimpText.segments": lambda r: (r["text"].segments,),
    "PalimpText.render": lambda r: (r["text"].render, "x"),
    "PalimpText.compression_ratio": lambda r: (r["text"].compression_ratio,),
    "PalimpTokens.segments": lambda r: (r["tokens"].segments,),
    "PalimpTokens.render": lambda r: (r["tokens"].render, [0]),
    "PalimpTokens.render as_numpy": lambda r: (r["tokens"].render, np.array([0], dtype=np.uint32), {"as_numpy": True}),
    "PalimpTokens.render_texts": lambda r: (r["words"].render_texts, "x"),
}


@pytest.mark.parametrize("name", sorted(EVERY_CALL))
def test_every_call_polls_for_signals(name, results):
    method, *args = EVERY_CALL[name](results)
    kwargs = args.pop() if args and isinstance(args[-1], dict) else {}
    assert _interrupted_inside(lambda: method(*args, **kwargs)), f"{name} ran to its end"
    # The objects and the module keep working.
    assert results["text"].compression_ratio() == results["ratio"]
    assert palimp.PalimpText.from_texts(["abcd", "abcd"]).render("x") == ["abcd", "x"]
