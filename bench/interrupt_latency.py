"""How soon Ctrl-C ends a long call: SIGINT latency per method.

For each call below, a worker process builds the input once, times one
uninterrupted call, then runs the call again and again; this process sends
it SIGINT at a different offset into each run (stratified over 3-95% of the
uninterrupted time, so that every stretch of the call is hit) and reads back
when KeyboardInterrupt reached Python.  The latency is the time from the
signal to the exception, both read from the system's monotonic clock.  A run
that ended before its signal arrived is not counted (and another offset is
tried).  Median and maximum latency are printed per call, with the maximum
of the processor time the worker spent in between (from /proc, to a clock
tick or two, 10-20 ms): on a busy machine a wall-time maximum far above it was spent waiting
for a processor, not working without a poll.

The inputs are long on purpose: 16 Mi characters or tokens in 1,024
unrelated messages (every window is new, so the engines index all of them),
objects holding 16 M segments for the result builders, and 10^7 absent
entries.

    python bench/interrupt_latency.py                  # every call, 30 trials each
    python bench/interrupt_latency.py --calls 'text.*' --trials 10
    python bench/interrupt_latency.py --json out.json
"""

import argparse
import fnmatch
import json
import os
import pathlib
import random
import signal
import statistics
import subprocess
import sys
import time

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

MI = 1 << 20
MESSAGES = 1024
SYMBOLS = 16 * MI  # characters or tokens in all, for the engines' calls
SEGMENTS = 16_000_000  # for the result builders
ABSENT = 10**7
TRIALS = 30
SEED = 17


# ---------------------------------------------------------------------------
# Inputs (built in the worker)
# ---------------------------------------------------------------------------

def _rng(k=0):
    import numpy as np
    return np.random.default_rng(SEED + k)


def unrelated_texts():
    """MESSAGES texts of random printable characters (94 of them, so no
    window of four repeats by design), SYMBOLS characters in all."""
    import numpy as np
    codes = _rng().integers(33, 127, SYMBOLS, dtype=np.uint8)
    n = SYMBOLS // MESSAGES
    return [codes[i * n:(i + 1) * n].tobytes().decode("ascii") for i in range(MESSAGES)]


def unrelated_arrays():
    import numpy as np
    ids = _rng().integers(0, 2**31, SYMBOLS, dtype=np.uint32)
    n = SYMBOLS // MESSAGES
    return [ids[i * n:(i + 1) * n] for i in range(MESSAGES)]


def unrelated_words():
    """MESSAGES texts of random five-letter words, SYMBOLS characters in all."""
    import numpy as np
    words = SYMBOLS // 6
    letters = _rng().integers(97, 123, (words, 6), dtype=np.uint8)
    letters[:, 5] = 32
    flat = letters.tobytes().decode("ascii")
    n = len(flat) // MESSAGES // 6 * 6
    return [flat[i * n:(i + 1) * n] for i in range(MESSAGES)]


def many_pieces(base, sep, pairs, rng):
    """A second message of `pairs` (separator, four symbols of `base`)
    pairs: its segments alternate a one-symbol literal and a reference of
    four, 2 * pairs of them."""
    import numpy as np
    at = rng.integers(0, len(base) - 4, pairs)
    out = np.empty((pairs, 5), dtype=base.dtype)
    out[:, 0] = sep
    for k in range(4):
        out[:, k + 1] = base[at + k]
    return out.reshape(-1)


def segmented_text():
    import numpy as np
    rng = _rng(1)
    base = rng.integers(97, 123, MI, dtype=np.uint8)
    second = many_pieces(base, ord("#"), SEGMENTS // 2, rng)
    return [base.tobytes().decode("ascii"), second.tobytes().decode("ascii")]


def segmented_tokens():
    import numpy as np
    rng = _rng(2)
    base = rng.integers(0, 2**16, MI, dtype=np.uint32)
    return [base, many_pieces(base, 2**20, SEGMENTS // 2, rng)]


def segmented_words():
    """The same shape as segmented_tokens through the whitespace tokenizer:
    words of a vocabulary of 4,096, and a separator word."""
    import numpy as np
    rng = _rng(3)
    vocab = np.array([f"w{i:x}" for i in range(4096)] + ["#"])
    base = rng.integers(0, 4096, MI, dtype=np.int64)
    second = many_pieces(base, 4096, SEGMENTS // 2, rng)
    return [" ".join(vocab[base].tolist()), " ".join(vocab[second].tolist())]


def calls():
    """Name -> a function that builds the input and returns the call."""
    import palimp
    P, T = palimp.PalimpText, palimp.PalimpTokens

    def text_object():
        return P.from_texts(segmented_text())

    def tokens_object():
        return T.from_tokens(segmented_tokens())

    def absent_object():
        return P.from_texts([None] * ABSENT)

    def with_(make_obj, method, *args, **kwargs):
        def setup():
            obj = make_obj()
            return lambda: getattr(obj, method)(*args, **kwargs)
        return setup

    def from_(cls, method, make_input, *args, **kwargs):
        def setup():
            x = make_input()
            return lambda: getattr(cls, method)(x, *args, **kwargs)
        return setup

    lists = lambda: [a.tolist() for a in unrelated_arrays()]  # noqa: E731
    return {
        "PalimpText.from_texts": from_(P, "from_texts", unrelated_texts),
        "PalimpText.from_texts approximate": from_(P, "from_texts", unrelated_texts, exact_mode=False),
        "PalimpTokens.from_tokens": from_(T, "from_tokens", unrelated_arrays),
        "PalimpTokens.from_tokens approximate": from_(T, "from_tokens", unrelated_arrays, exact_mode=False),
        "PalimpTokens.from_tokens lists": from_(T, "from_tokens", lists),
        "PalimpTokens.from_texts_with_tokenizer": from_(T, "from_texts_with_tokenizer", unrelated_words,
                                                        "whitespace"),
        "PalimpText.segments": with_(text_object, "segments"),
        "PalimpText.render": with_(text_object, "render", "x"),
        "PalimpText.compression_ratio": with_(text_object, "compression_ratio"),
        "PalimpTokens.segments": with_(tokens_object, "segments"),
        "PalimpTokens.render": with_(tokens_object, "render", [0]),
        "PalimpTokens.render as_numpy": with_(tokens_object, "render", [0], as_numpy=True),
        "PalimpTokens.render_texts": with_(lambda: T.from_texts_with_tokenizer(segmented_words(), "whitespace"),
                                           "render_texts", "x"),
        "PalimpText.from_texts absent": from_(P, "from_texts", lambda: [None] * ABSENT),
        "PalimpText.segments absent": with_(absent_object, "segments"),
        "PalimpText.render absent": with_(absent_object, "render", "x"),
    }


# ---------------------------------------------------------------------------
# The worker: runs one call on request, reports when it ended and how
# ---------------------------------------------------------------------------

def cpu_ticks(pid="self"):
    """User and system time of a process so far, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return int(fields[11]) + int(fields[12])


def worker(name):
    signal.signal(signal.SIGINT, signal.default_int_handler)
    call = calls()[name]()
    out = sys.stdout
    # The second of two runs: the first also pays for the process's first
    # touch of its memory.
    for _ in range(2):
        t0 = time.monotonic()
        result = call()
        full = time.monotonic() - t0
        del result
    out.write(f"ready {full}\n")
    out.flush()
    for line in sys.stdin:
        if line.strip() != "go":
            break
        result = None
        done = 0
        try:
            start = time.monotonic_ns()
            out.write(f"start {start}\n")
            out.flush()
            result = call()
            done = time.monotonic_ns() - start
            result = None
            time.sleep(60)  # the signal on its way ends this
        except KeyboardInterrupt:
            end = time.monotonic_ns()
            ticks = cpu_ticks()
            result = None
            out.write(f"completed {done} 0\n" if done else f"interrupted {end} {ticks}\n")
            out.flush()


# ---------------------------------------------------------------------------
# The driver
# ---------------------------------------------------------------------------

def measure(name, trials, log):
    proc = subprocess.Popen([sys.executable, __file__, "--worker", name], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        kind, value = proc.stdout.readline().split()
        assert kind == "ready", kind
        full = float(value)
        rng = random.Random(SEED)
        latencies, cpu, missed = [], [], 0
        tick = 1 / os.sysconf("SC_CLK_TCK")
        slots = list(range(trials))
        rng.shuffle(slots)
        while len(latencies) < trials and missed < 3 * trials:
            slot = slots[len(latencies) % trials]
            share = 0.03 + 0.92 * (slot + rng.random()) / trials
            proc.stdin.write("go\n")
            kind, start = proc.stdout.readline().split()
            assert kind == "start", kind
            deadline = int(start) + int(share * full * 1e9)
            delay = (deadline - time.monotonic_ns()) / 1e9
            if delay > 0:
                time.sleep(delay)
            ticks = cpu_ticks(proc.pid)
            sent = time.monotonic_ns()
            os.kill(proc.pid, signal.SIGINT)
            kind, end, end_ticks = proc.stdout.readline().split()
            if kind == "interrupted":
                latencies.append((int(end) - sent) / 1e9)
                cpu.append((int(end_ticks) - ticks) * tick)
            else:  # the call was quicker than that: aim within its time
                missed += 1
                full = min(full, int(end) / 1e9)
        proc.stdin.write("stop\n")
        proc.stdin.close()
        proc.wait(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    row = {"call": name, "seconds": full, "trials": len(latencies), "missed": missed, "latencies": latencies,
           "cpu_latencies": cpu}
    nan = float("nan")
    if latencies:
        row.update(median=statistics.median(latencies), max=max(latencies), cpu_max=max(cpu))
    log(f"  {name:<40} call {full:6.2f} s  median {row.get('median', nan) * 1e3:7.1f} ms  "
        f"max {row.get('max', nan) * 1e3:7.1f} ms  (processor {row.get('cpu_max', nan) * 1e3:5.0f} ms)  "
        f"{len(latencies)} trials, {missed} ended first")
    return row


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--calls", help="comma-separated call names or shell patterns (default: all)")
    ap.add_argument("--trials", type=int, default=TRIALS, help=f"signals per call (default {TRIALS})")
    ap.add_argument("--json", type=pathlib.Path, help="write the rows here as JSON")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker(args.worker)
        return 0
    names = list(calls())
    if args.calls:
        patterns = [p.strip() for p in args.calls.split(",") if p.strip()]
        names = [n for n in names if any(fnmatch.fnmatchcase(n, p) for p in patterns)]

    def log(msg):
        print(msg, flush=True)

    log(f"SIGINT latency, {args.trials} trials per call (signal sent from another process)")
    rows = [measure(n, args.trials, log) for n in names]
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(rows, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
