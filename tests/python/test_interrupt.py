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
