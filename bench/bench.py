"""Benchmark palimp against zstandard level 3, and under hostile inputs.

Throughput.  For every input set (the shared corpora, synthetic successive
transcripts, a long text that does not repeat) and every case (both engines
in text and in token mode, rendering), one process times the case and
zstd-3 on the same input, alternating them repetition by repetition, at
least five repetitions each.  A palimp repetition is the whole loop over the
set's conversations of: build the object, read its segments, drop both (so
freeing is timed too).  Each figure is the median of the repetitions, and
the ratio to zstd-3 is the median of the ratios of paired repetitions;
their spread is printed next to them.

Memory.  A second process per input set, with an allocator wrapper
(bench/alloc_meter.c) preloaded and Python's objects on the same allocator,
counts the bytes that each call holds at its peak beyond what it started
with: for each conversation alone, and for the loop over the whole set.

Hostile inputs.  Crafted inputs (copies of windows piling up on one place,
hash collisions of long windows, ten million equal tokens, tiny messages,
absent entries, parameters at 0 and 2^64 - 1) run for both engines, each in
a process with a time limit, with their time and memory per input byte and
a check that the segments rebuild every message.

Run `python bench/bench.py --help` for the options; bench/README.md explains
the output.
"""

import argparse
import ctypes
import datetime
import fnmatch
import gc
import json
import math
import os
import pathlib
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time

# NumPy's math library starts worker threads on import; on a small machine
# they steal the processor from the measured calls.  Nothing here uses them.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import inputs  # noqa: E402

ROOT = inputs.ROOT
RESULTS = ROOT / "bench" / "results"
DEFAULT_OUT = RESULTS / "bench.json"
DEFAULT_CORPORA = ROOT.parent / "shared" / "corpora"
METER_SOURCE = ROOT / "bench" / "alloc_meter.c"
METER_LIB = ROOT / "build" / "bench" / "alloc_meter.so"

MB = inputs.MB
SIZES = (4, 16, 64, 256)
QUICK_SIZES = (4,)
UNIQUE_MB = 100
QUICK_UNIQUE_MB = 8
VARIANTS = ("english", "multilingual")
CASES = ("text-exact", "text-approx", "tokens-exact", "tokens-approx", "tokens-list", "render-list", "render-numpy",
         "render-text")
MEMORY_CASES = ("text-exact", "text-approx", "tokens-exact", "tokens-approx")
TOKEN_CASES = ("tokens-exact", "tokens-approx", "tokens-list", "render-list", "render-numpy")
UNIQUE_CASES = ("text-exact", "text-approx")
# A list of one int per code point costs gigabytes past this.
TOKENS_LIST_MAX_BYTES = 64 * 2**20
MIN_REPS = 5
MAX_REPS = 15
TARGET_SECONDS = 3.0  # spent per case, palimp and zstd-3 together, before stopping past MIN_REPS
REP_SECONDS = 0.25  # a repetition passes over the set as often as this takes
BUSY_CPU_SHARE = 0.9  # a repetition with less CPU than this share of wall time waited for the processor
ZSTD_LEVEL = 3
SMALL_CONVERSATION = 1000  # bytes: per-conversation memory is judged from here up
CRAFTED_SCALES = (1 / 16, 1 / 8, 1 / 4, 1 / 2, 1)
QUICK_CRAFTED_SCALES = (1 / 16, 1 / 4)
CRAFTED_VARIANTS = ("spread", "one-window", "short-messages")
HOSTILE_REPS = 5


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Memory: the allocator wrapper
# ---------------------------------------------------------------------------

def build_meter():
    """Compiles bench/alloc_meter.c when it is missing or older than its
    source; returns the library's path, or None without a C compiler."""
    try:
        if METER_LIB.exists() and METER_LIB.stat().st_mtime >= METER_SOURCE.stat().st_mtime:
            return METER_LIB
        METER_LIB.parent.mkdir(parents=True, exist_ok=True)
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(METER_LIB), str(METER_SOURCE)], check=True,
                       capture_output=True)
        return METER_LIB
    except (OSError, subprocess.CalledProcessError):
        return None


class Meter:
    """Bytes held now and at the peak, from the preloaded wrapper."""

    def __init__(self):
        lib = ctypes.CDLL(None)
        self._live, self._peak, self._reset = lib.alloc_meter_live, lib.alloc_meter_peak, lib.alloc_meter_reset
        self._live.restype = self._peak.restype = ctypes.c_int64

    def start(self):
        self.base = self._live()
        self._reset()

    def peak(self):
        return self._peak() - self.base


# ---------------------------------------------------------------------------
# The cases
# ---------------------------------------------------------------------------

def _utf32(m):
    import numpy as np
    return None if m is None else np.frombuffer(m.encode("utf-32-le"), dtype=np.uint32)


def prepare(case, convs):
    """The case's input, built before anything is measured: one entry per
    conversation."""
    if case == "zstd-3":
        return [b"".join(m.encode() for m in conv if m is not None) for conv in convs]
    if case in ("text-exact", "text-approx"):
        return convs
    if case == "render-text":
        import palimp
        return [palimp.PalimpText.from_texts(conv) for conv in convs]
    arrays = [[_utf32(m) for m in conv] for conv in convs]
    if case in ("tokens-exact", "tokens-approx"):
        return arrays
    if case == "tokens-list":
        return [[None if a is None else a.tolist() for a in conv] for conv in arrays]
    if case in ("render-list", "render-numpy"):
        import palimp
        return [palimp.PalimpTokens.from_tokens(conv) for conv in arrays]
    raise ValueError(f"unknown case {case}")


def call(case, item, params=None):
    """One call of the case on one conversation, its result dropped."""
    import palimp
    params = params or {}
    if case == "zstd-3":
        out = ZSTD.compress(item)
        return len(out)
    if case in ("text-exact", "text-approx"):
        p = palimp.PalimpText.from_texts(item, exact_mode=case == "text-exact", **params)
        s = p.segments()
        del p, s
    elif case in ("tokens-exact", "tokens-approx", "tokens-list"):
        p = palimp.PalimpTokens.from_tokens(item, exact_mode=case != "tokens-approx", **params)
        s = p.segments()
        del p, s
    elif case == "render-text":
        out = item.render("x")
        del out
    else:
        out = item.render([0], as_numpy=case == "render-numpy")
        del out
    return None


ZSTD = None


def timed_loop(case, state, loops=1):
    """Wall and CPU seconds of `loops` passes over every conversation, per
    pass."""
    w0, c0 = time.perf_counter(), time.process_time()
    for _ in range(loops):
        for item in state:
            call(case, item)
    return (time.perf_counter() - w0) / loops, (time.process_time() - c0) / loops


# ---------------------------------------------------------------------------
# Workers (each in a process of its own)
# ---------------------------------------------------------------------------

def load_set(source):
    kind = source["kind"]
    if kind == "corpus":
        return inputs.load_corpus(source["path"])
    if kind == "synthetic":
        return inputs.load_synthetic(source["variant"], source["size_mb"])
    if kind == "unique":
        return inputs.load_unique_text(source["size_mb"])
    raise ValueError(kind)


def describe(convs):
    conv_bytes = [sum(len(m.encode()) for m in conv if m is not None) for conv in convs]
    return conv_bytes, {"bytes": sum(conv_bytes), "code_points": sum(len(m) for c in convs for m in c if m is not None),
                        "conversations": len(convs), "messages": sum(len(c) for c in convs),
                        "largest_conversation": max(conv_bytes, default=0)}


def time_worker(source, case, opts):
    """Times `case` and zstd-3 alternately on one input set."""
    global ZSTD
    import zstandard
    convs = load_set(source)
    conv_bytes, result = describe(convs)
    if case == "tokens-list" and result["bytes"] > TOKENS_LIST_MAX_BYTES:
        result["skipped"] = f"input above {TOKENS_LIST_MAX_BYTES >> 20} MiB: lists of ints would cost gigabytes"
        return result
    ZSTD = zstandard.ZstdCompressor(level=ZSTD_LEVEL)
    peer, state = prepare("zstd-3", convs), prepare(case, convs)
    result["zstd_ratio"] = sum(len(ZSTD.compress(b)) for b in peer) / max(result["bytes"], 1)
    if case in ("text-exact", "text-approx"):
        import palimp
        exact = case == "text-exact"
        result["palimp_ratio"] = sum(palimp.PalimpText.from_texts(c, exact_mode=exact).compression_ratio() * n
                                     for c, n in zip(convs, conv_bytes)) / max(result["bytes"], 1)
    del convs
    result["module"] = _module_stamp()
    gc.collect()
    gc.disable()  # as timeit does: no collector pauses inside the timed calls
    # One untimed pass first (lazy set-up, first page faults), which also
    # tells how many passes make a repetition of at least rep_seconds: a
    # repetition of a few milliseconds would measure the scheduler.
    loops = {}
    for name, st in (("zstd-3", peer), (case, state)):
        wall, _ = timed_loop(name, st)
        loops[name] = max(1, math.ceil(opts["rep_seconds"] / max(wall, 1e-6))) if wall < opts["rep_seconds"] else 1
    reps = []
    while len(reps) < opts["max_reps"]:
        # Alternate which goes first, so that a drift in the machine's speed
        # weighs on both alike.
        order = ("zstd-3", case) if len(reps) % 2 == 0 else (case, "zstd-3")
        rep = {}
        for name in order:
            rep[name] = timed_loop(name, peer if name == "zstd-3" else state, loops[name])
        reps.append(rep)
        spent = sum((r[case][0] * loops[case] + r["zstd-3"][0] * loops["zstd-3"]) for r in reps)
        if len(reps) >= opts["min_reps"] and spent >= opts["target_seconds"]:
            break
    gc.enable()
    # CPU time is the figure: on a shared machine, wall time also counts the
    # time this process waited for a processor.
    result["seconds"] = [r[case][1] for r in reps]
    result["zstd_seconds"] = [r["zstd-3"][1] for r in reps]
    result["wall_seconds_per_rep"] = [r[case][0] for r in reps]
    result["zstd_wall_seconds_per_rep"] = [r["zstd-3"][0] for r in reps]
    result["passes_per_rep"] = loops
    result["cpu_share"] = min(r[case][1] / r[case][0] for r in reps if r[case][0] > 0)
    return result


def memory_worker(source, cases):
    """Peak bytes added by each case: per conversation and for the whole set.
    Runs with the allocator wrapper preloaded."""
    convs = load_set(source)
    conv_bytes, result = describe(convs)
    meter = Meter()
    out = {}
    for case in cases:
        state = prepare(case, convs)
        gc.collect()
        gc.disable()
        per_conv = []
        for item, nbytes in zip(state, conv_bytes):
            meter.start()
            call(case, item)
            per_conv.append((meter.peak(), nbytes))
        meter.start()
        for item in state:
            call(case, item)
        whole = meter.peak()
        gc.enable()
        del state
        largest = max(range(len(per_conv)), key=lambda i: per_conv[i][1])
        judged = [(p / n, p, n) for p, n in per_conv if n >= SMALL_CONVERSATION]
        worst = max(judged, default=None)
        out[case] = {"set_peak": whole, "set_per_byte": whole / max(result["bytes"], 1),
                     "largest_peak": per_conv[largest][0], "largest_bytes": per_conv[largest][1],
                     "largest_per_byte": per_conv[largest][0] / max(per_conv[largest][1], 1),
                     "worst_per_byte": worst[0] if worst else None, "worst_bytes": worst[2] if worst else None}
    result["memory"] = out
    return result


def rebuilds(msgs, mode, segs):
    """True when the segments give back every present message."""
    present = [m for m in msgs if m is not None] if mode == "tokens" else msgs
    if len(segs) != len(present):
        return False
    data = [None if m is None else (m.encode() if mode == "text" else m) for m in present]
    for m, lst in zip(data, segs):
        if m is None:
            if lst:
                return False
            continue
        parts = []
        for s in lst:
            if hasattr(s, "message"):
                src = data[s.message]
                if src is None or s.start + s.len > len(src):
                    return False
                parts.append(src[s.start:s.start + s.len])
            else:
                parts.append(s.text.encode() if mode == "text" else list(s.tokens))
        rebuilt = b"".join(parts) if mode == "text" else [t for p in parts for t in p]
        if rebuilt != (m if mode == "text" else list(m)):
            return False
    return True


def hostile_input(source):
    name = source["input"]
    if name == "crafted":
        return inputs.crafted_windows(source["scale"], source["variant"])
    if name == "thue-morse":
        return inputs.thue_morse_collisions()
    if name == "identical":
        return inputs.identical_tokens(source.get("n", 10**7))
    if name == "tiny":
        return inputs.tiny_messages(mode=source["mode"])
    if name == "absent":
        return inputs.absent_entries(mode=source["mode"])
    if name == "parameter":
        return inputs.extreme_parameters(inputs.load_corpus(source["path"]), source["param"], source["value"])
    raise ValueError(name)


def hostile_worker(source, opts, memory):
    """One hostile input and engine: time (median of up to HOSTILE_REPS
    repetitions within the time limit), or, with the wrapper preloaded, the
    peak memory; and whether the segments rebuild the messages."""
    import palimp
    msgs, mode, params = hostile_input(source)
    exact = source["engine"] == "exact"
    present = [m for m in msgs if m is not None]
    result = {"mode": mode, "messages": len(msgs), "symbols": sum(len(m) for m in present),
              "bytes": sum(len(m.encode()) for m in present) if mode == "text" else 4 * sum(len(m) for m in present)}

    def build():
        if mode == "text":
            return palimp.PalimpText.from_texts(msgs, exact_mode=exact, **params)
        return palimp.PalimpTokens.from_tokens(msgs, exact_mode=exact, **params)

    gc.collect()
    if memory:
        meter = Meter()
        meter.start()
        p = build()
        s = p.segments()
        del p, s
        result["peak"] = meter.peak()
        return result
    gc.disable()
    times, walls = [], []
    budget = opts["hostile_seconds"]
    while len(times) < HOSTILE_REPS:
        w0, c0 = time.perf_counter(), time.process_time()
        p = build()
        s = p.segments()
        if not times:
            segs = s
        del p, s
        times.append(time.process_time() - c0)
        walls.append(time.perf_counter() - w0)
        if sum(walls) * (len(walls) + 1) / len(walls) > budget / 2:
            break  # another repetition would run into the limit
    gc.enable()
    result["seconds"] = times  # CPU time, as in the throughput figures
    result["wall_seconds_per_rep"] = walls
    result["segments"] = sum(len(lst) for lst in segs)
    result["rebuilds"] = rebuilds(msgs, mode, segs)
    return result


def _module_stamp():
    """Which build of the module this process loaded: its path, size and
    modification time (a rebuild during a run shows up as a second stamp)."""
    import palimp
    st = os.stat(palimp.__file__)
    return f"{palimp.__file__}:{st.st_size}:{st.st_mtime_ns}"


# ---------------------------------------------------------------------------
# Running workers
# ---------------------------------------------------------------------------

def run_worker(job, timeout, mem_limit_gb, meter=None):
    """Runs one worker job in a fresh process; returns its result, or
    {"error": ...} / {"over_limit": ...}."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tmp:
        out_path = tmp.name
    env = dict(os.environ)
    if meter is not None:
        env["LD_PRELOAD"] = str(meter)
        env["PYTHONMALLOC"] = "malloc"
    cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--worker", json.dumps(job), "--result", out_path]

    def limit_memory():
        if mem_limit_gb:
            limit = int(mem_limit_gb * 2**30)
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout,
                              env=env, preexec_fn=limit_memory)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            tail = (proc.stderr or "").strip().splitlines()[-3:]
            if any("MemoryError" in line or "bad_alloc" in line for line in tail):
                return {"over_limit": f"memory over {mem_limit_gb:g} GiB", "wall_seconds": wall}
            why = f"killed by signal {-proc.returncode}" if proc.returncode < 0 else f"exit status {proc.returncode}"
            return {"error": why + (": " + " | ".join(tail) if tail else ""), "wall_seconds": wall}
        with open(out_path, encoding="utf-8") as f:
            result = json.load(f)
        result["wall_seconds"] = wall
        return result
    except subprocess.TimeoutExpired:
        return {"over_limit": f"over {timeout:g} s", "wall_seconds": timeout}
    finally:
        os.unlink(out_path)


def worker_main(job, result_path):
    kind = job["job"]
    if kind == "time":
        result = time_worker(job["set"], job["case"], job["opts"])
    elif kind == "memory":
        result = memory_worker(job["set"], job["cases"])
    elif kind == "hostile":
        result = hostile_worker(job["source"], job["opts"], job["memory"])
    else:
        raise ValueError(kind)
    with open(result_path, "w", encoding="utf-8") as f:
        json.dump(result, f)


# ---------------------------------------------------------------------------
# Figures
# ---------------------------------------------------------------------------

def spread(values):
    """(median, lowest, highest) of a list of numbers."""
    return statistics.median(values), min(values), max(values)


def derive(sets):
    for s in sets:
        for case, r in s["cases"].items():
            if "seconds" not in r:
                continue
            nbytes = r["bytes"]
            med, lo, hi = spread(r["seconds"])
            r["median_seconds"] = med
            r["spread"] = (hi - lo) / med if med > 0 else 0.0
            r["mb_per_s"] = nbytes / MB / med if med > 0 else None
            if case in TOKEN_CASES and med > 0:
                r["tokens_per_s"] = r["code_points"] / med
            ratios = [z / c for z, c in zip(r["zstd_seconds"], r["seconds"]) if c > 0]
            if ratios:
                r["vs_zstd3"], r["vs_zstd3_lo"], r["vs_zstd3_hi"] = spread(ratios)
            zmed = statistics.median(r["zstd_seconds"])
            r["zstd_mb_per_s"] = nbytes / MB / zmed if zmed > 0 else None
            r["seconds_per_mb"] = med / (nbytes / MB) if nbytes else None
            mem = s.get("memory", {}).get(case)
            if mem:
                r["memory"] = mem


def growth(sets):
    """Per-MB time and memory of the synthetic sets, by variant and case,
    with the factor from the smallest to the largest size measured."""
    rows = []
    for variant in VARIANTS:
        sized = sorted((s for s in sets if s.get("variant") == variant), key=lambda s: s["size_mb"])
        for case in CASES:
            points = []
            for s in sized:
                r = s["cases"].get(case, {})
                if "median_seconds" in r:
                    mem = r.get("memory", {}).get("set_per_byte")
                    points.append({"size_mb": s["size_mb"], "seconds_per_mb": r["seconds_per_mb"],
                                   "mem_per_input_byte": mem})
            if not points:
                continue
            row = {"variant": variant, "case": case, "points": points}
            if len(points) > 1:
                lo, hi = points[0], points[-1]
                row["time_growth"] = hi["seconds_per_mb"] / lo["seconds_per_mb"] if lo["seconds_per_mb"] else None
                if lo["mem_per_input_byte"] and hi["mem_per_input_byte"] is not None:
                    row["mem_growth"] = hi["mem_per_input_byte"] / lo["mem_per_input_byte"]
            rows.append(row)
    return rows


def _cell(value, width, digits, suffix=""):
    return f"{'-':>{width}}" if value is None else f"{value:>{width - len(suffix)}.{digits}f}{suffix}"


def print_throughput(sets):
    head = (f"{'input set':<28}{'case':<15}{'MB':>8}{'reps':>5}{'median s':>10}{'spread':>8}{'MB/s':>9}"
            f"{'x zstd3':>9}{'  [range]':<15}{'mem B/B':>9}{'largest':>9}{'worst':>8}")
    print("\n" + head)
    print("-" * len(head))
    for s in sets:
        for case, r in s["cases"].items():
            label = f"{s['name']:<28}{case:<15}"
            if "error" in r or "over_limit" in r:
                print(f"{label}{r.get('bytes', 0) / MB:>8.1f}  {'ERROR: ' + r['error'] if 'error' in r else r['over_limit']}")
                continue
            if "skipped" in r:
                print(f"{label}{r['bytes'] / MB:>8.1f}  skipped: {r['skipped']}")
                continue
            mem = r.get("memory", {})
            rng = (f"  [{r['vs_zstd3_lo']:.2f}-{r['vs_zstd3_hi']:.2f}]" if "vs_zstd3" in r else "")
            print(f"{label}{r['bytes'] / MB:>8.1f}{len(r['seconds']):>5}{r['median_seconds']:>10.4f}"
                  f"{_cell(100 * r['spread'], 8, 0, '%')}{_cell(r.get('mb_per_s'), 9, 1)}"
                  f"{_cell(r.get('vs_zstd3'), 9, 3)}{rng:<15}{_cell(mem.get('set_per_byte'), 9, 2)}"
                  f"{_cell(mem.get('largest_per_byte'), 9, 2)}{_cell(mem.get('worst_per_byte'), 8, 2)}")
        zs = [r["zstd_mb_per_s"] for r in s["cases"].values() if r.get("zstd_mb_per_s")]
        if zs:
            print(f"{s['name']:<28}{'zstd-3':<15}{s['bytes'] / MB:>8.1f}  {min(zs):.0f}-{max(zs):.0f} MB/s "
                  f"over its runs next to the cases; compressed/original {s.get('zstd_ratio', 0):.4f}")
    print("\nmedian s: median over the repetitions of the CPU time of one pass over the set (build, segments, "
          "free); spread: (highest - lowest) / median;\nx zstd3: median over repetitions of zstd-3's time over the "
          "case's in the same repetition (above 1: faster than zstd-3), [lowest-highest];\n"
          "mem B/B: peak bytes held beyond the start, per input byte, over the loop over the set; largest: "
          "for the largest conversation alone;\nworst: the highest of any conversation of "
          f"{SMALL_CONVERSATION} bytes or more alone")


def print_growth(rows):
    if not rows:
        return
    sizes = sorted({p["size_mb"] for row in rows for p in row["points"]})
    cols = "".join(f"{f'@{z}MB':>10}" for z in sizes)
    head = f"{'variant':<14}{'case':<16}{cols}{'growth':>9}"
    for title, key, gkey, digits in (("seconds per input MB (median)", "seconds_per_mb", "time_growth", 4),
                                     ("memory per input byte", "mem_per_input_byte", "mem_growth", 3)):
        print(f"\nsynthetic sets, {title}; growth: largest size over smallest")
        print(head)
        print("-" * len(head))
        for row in rows:
            by_size = {p["size_mb"]: p[key] for p in row["points"]}
            cells = "".join(_cell(by_size.get(z), 10, digits) for z in sizes)
            g = row.get(gkey)
            print(f"{row['variant']:<14}{row['case']:<16}{cells}{_cell(g, 8, 2)}{'x' if g is not None else ' '}")


def print_hostile(rows):
    if not rows:
        return
    print("\nhostile inputs (tokens count 4 bytes each; time: CPU time, median of the repetitions that fit the "
          "limit)")
    head = (f"{'input':<34}{'engine':<8}{'symbols':>11}{'reps':>5}{'median s':>10}{'ns/sym':>9}{'ns/B':>8}"
            f"{'mem B/B':>9}{'check':>7}")
    print(head)
    print("-" * len(head))
    for r in rows:
        label = f"{r['name']:<34}{r['engine']:<8}"
        if "over_limit" in r or "error" in r:
            print(f"{label}{r.get('symbols', 0):>11}  {r.get('over_limit') or 'ERROR: ' + r['error']}")
            continue
        med = statistics.median(r["seconds"])
        mem = r.get("peak")
        print(f"{label}{r['symbols']:>11}{len(r['seconds']):>5}{med:>10.4f}{med * 1e9 / max(r['symbols'], 1):>9.1f}"
              f"{med * 1e9 / max(r['bytes'], 1):>8.2f}{_cell(None if mem is None else mem / r['bytes'], 9, 2)}"
              f"{'ok' if r['rebuilds'] else 'FAIL':>7}")
    # Flatness of the crafted inputs: time per symbol, largest size over smallest.
    groups = {}
    for r in rows:
        if r.get("input") == "crafted" and "seconds" in r:
            groups.setdefault((r["variant"], r["engine"]), []).append(r)
    if groups:
        print("\ncrafted inputs, time per token across sizes (growth: largest over smallest measured)")
        for (variant, engine), rs in sorted(groups.items()):
            rs.sort(key=lambda r: r["symbols"])
            per = [statistics.median(r["seconds"]) * 1e9 / r["symbols"] for r in rs]
            cells = ", ".join(f"{r['symbols'] / 1e6:.2f}M: {p:.0f} ns" for r, p in zip(rs, per))
            over = [r for r in rows if r.get("input") == "crafted" and r.get("variant") == variant and
                    r["engine"] == engine and "over_limit" in r]
            tail = f"; {len(over)} larger size(s) over the limit" if over else ""
            print(f"  {variant:<16}{engine:<8}{cells}; growth {per[-1] / per[0]:.2f}x{tail}")


def _machine():
    import numpy
    info = {"cpu": "unknown", "cores": os.cpu_count(), "usable_cores": len(os.sched_getaffinity(0)),
            "python": platform.python_version(), "numpy": numpy.__version__, "platform": platform.platform()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        import zstandard
        info["zstandard"] = zstandard.__version__
    except ImportError:
        info["zstandard"] = None
    try:
        import hashlib
        import palimp
        with open(palimp.__file__, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:16]
        mtime = datetime.datetime.fromtimestamp(os.stat(palimp.__file__).st_mtime, datetime.timezone.utc)
        info["palimp_module"] = {"path": palimp.__file__, "sha256_16": digest,
                                 "modified": mtime.strftime("%Y-%m-%dT%H:%M:%SZ")}
    except (ImportError, OSError):
        info["palimp_module"] = None
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no", "--",
                                ".", ":!bench"], capture_output=True, text=True).stdout.strip()
        info["palimp_commit"] = commit + (" (with uncommitted changes outside bench/)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        info["palimp_commit"] = None
    try:
        info["load_average"] = os.getloadavg()
    except OSError:
        pass
    return info


# ---------------------------------------------------------------------------
# Comparing two runs
# ---------------------------------------------------------------------------

def compare(paths):
    """The ratios to zstd-3 and the memory of two or more JSON outputs side
    by side; a figure that differs by more than 10% between runs is shown
    with its range."""
    runs = [json.loads(pathlib.Path(p).read_text(encoding="utf-8")) for p in paths]
    print("runs: " + "; ".join(f"#{i + 1}: {r.get('label') or ''} {r['date']} commit {r['machine'].get('palimp_commit')}, "
                               f"module {(r['machine'].get('palimp_module') or {}).get('sha256_16')}"
                               for i, r in enumerate(runs)))
    head = f"{'input set':<28}{'case':<15}" + "".join(f"{f'x zstd3 #{i + 1}':>13}" for i in range(len(runs)))
    head += f"{'figure':>13}" + "".join(f"{f'mem #{i + 1}':>15}" for i in range(len(runs)))
    print(head)
    print("-" * len(head))
    keys = []
    for r in runs:
        for s in r["sets"]:
            for case in s["cases"]:
                if (s["name"], case) not in keys:
                    keys.append((s["name"], case))
    for name, case in keys:
        vals, mems = [], []
        for r in runs:
            c = next((s["cases"].get(case, {}) for s in r["sets"] if s["name"] == name), {})
            vals.append(c.get("vs_zstd3"))
            mems.append((c.get("memory", {}).get("set_per_byte"), c.get("memory", {}).get("largest_per_byte")))
        present = [v for v in vals if v is not None]
        if present:
            lo, hi = min(present), max(present)
            fig = f"{statistics.median(present):.2f}" if hi <= 1.1 * lo else f"{lo:.2f}-{hi:.2f}"
        else:
            fig = "-"
        print(f"{name:<28}{case:<15}" + "".join(_cell(v, 13, 3) for v in vals) + f"{fig:>13}" +
              "".join(f"{'-' if a is None else f'{a:.2f}'}/{'-' if b is None else f'{b:.2f}'}".rjust(15)
                      for a, b in mems))
    print("\nfigure: the median of the runs' ratios, or their range where they differ by more than 10%; "
          "mem: bytes per input byte, over the set / for its largest conversation")


# ---------------------------------------------------------------------------
# Main
# ---------------------------------------------------------------------------

def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="a development run of a few minutes: synthetic 4 MB only, an 8 MB unique text, two "
                         "sizes of the crafted inputs")
    ap.add_argument("--sizes", help="comma-separated synthetic sizes in MB (default 4,16,64,256)")
    ap.add_argument("--variants", default=",".join(VARIANTS), help="synthetic variants (english,multilingual)")
    ap.add_argument("--cases", help="comma-separated case names or shell patterns, e.g. 'text-*' "
                                    f"(cases: {', '.join(CASES)})")
    ap.add_argument("--corpora", type=pathlib.Path, default=DEFAULT_CORPORA,
                    help="folder of .jsonl / .jsonl.zst corpora (default ../shared/corpora)")
    ap.add_argument("--no-corpora", action="store_true", help="skip the corpora")
    ap.add_argument("--no-synthetic", action="store_true", help="skip the synthetic transcripts")
    ap.add_argument("--no-unique", action="store_true", help="skip the long text that does not repeat")
    ap.add_argument("--no-hostile", action="store_true", help="skip the hostile inputs")
    ap.add_argument("--only-hostile", action="store_true", help="the hostile inputs alone")
    ap.add_argument("--unique-mb", type=int, help=f"size of the unique text (default {UNIQUE_MB}, quick "
                                                  f"{QUICK_UNIQUE_MB})")
    ap.add_argument("--min-reps", type=int, default=MIN_REPS, help=f"repetitions at least (default {MIN_REPS})")
    ap.add_argument("--max-reps", type=int, default=MAX_REPS, help=f"repetitions at most (default {MAX_REPS})")
    ap.add_argument("--target-seconds", type=float, default=TARGET_SECONDS,
                    help="keep repeating past --min-reps until this much was spent (default %(default)s)")
    ap.add_argument("--rep-seconds", type=float, default=REP_SECONDS,
                    help="least duration of one repetition; small sets are passed over several times "
                         "(default %(default)s)")
    ap.add_argument("--timeout", type=float, default=3600.0, help="seconds allowed per (input set, case) process")
    ap.add_argument("--hostile-seconds", type=float, default=60.0,
                    help="time limit of each hostile input and engine (default %(default)s)")
    ap.add_argument("--mem-limit-gb", type=float, default=8.0,
                    help="address space allowed to each process, in GiB (0: none; default %(default)s)")
    ap.add_argument("--label", help="a name for this run, printed and kept in the JSON")
    ap.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT, help="JSON output (default bench/results/bench.json)")
    ap.add_argument("--compare", nargs="+", metavar="JSON", help="print two or more earlier outputs side by side")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--result", help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def throughput_sets(args, notes, have_zstd):
    sets = []
    if not args.no_corpora:
        if args.corpora.is_dir():
            for path in inputs.corpus_files(args.corpora):
                if path.name.endswith(".zst") and not have_zstd:
                    notes.append(f"skipped corpus {path.name}: needs zstandard")
                    continue
                sets.append({"name": inputs.set_name(path), "source": {"kind": "corpus", "path": str(path)}})
        else:
            notes.append(f"no corpora folder at {args.corpora}: corpora skipped")
    if not args.no_synthetic:
        sizes = sorted({int(x) for x in args.sizes.split(",")}) if args.sizes else list(
            QUICK_SIZES if args.quick else SIZES)
        for variant in [v for v in args.variants.split(",") if v]:
            if variant not in VARIANTS:
                sys.exit(f"unknown variant {variant!r} (known: {', '.join(VARIANTS)})")
            for size in sizes:
                sets.append({"name": f"{variant}-{size}MB", "variant": variant, "size_mb": size,
                             "source": {"kind": "synthetic", "variant": variant, "size_mb": size}})
    if not args.no_unique:
        size = args.unique_mb or (QUICK_UNIQUE_MB if args.quick else UNIQUE_MB)
        sets.append({"name": f"unique-{size}MB+excerpt", "unique": True,
                     "source": {"kind": "unique", "size_mb": size}})
    return sets


def hostile_sources(args):
    sources = []
    scales = QUICK_CRAFTED_SCALES if args.quick else CRAFTED_SCALES
    for variant in CRAFTED_VARIANTS:
        for scale in scales:
            sources.append({"name": f"crafted {variant} x{scale:g}", "input": "crafted", "variant": variant,
                          "scale": scale})
    sources.append({"name": "thue-morse blocks, L=128 C=1024", "input": "thue-morse"})
    sources.append({"name": "10^7 equal tokens, twice", "input": "identical", "n": 10**6 if args.quick else 10**7})
    for mode in ("tokens", "text"):
        sources.append({"name": f"10^4 tiny messages ({mode})", "input": "tiny", "mode": mode})
        sources.append({"name": f"10^5 absent entries ({mode})", "input": "absent", "mode": mode})
    chat = args.corpora / "fastchat_dummy_transcripts.jsonl"
    if chat.exists():
        for param in ("min_match_len", "cap_len", "ncap"):
            for value in (0, 2**64 - 1):
                sources.append({"name": f"chat, {param}={'0' if value == 0 else '2^64-1'}", "input": "parameter",
                              "path": str(chat), "param": param, "value": value})
    return sources


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        worker_main(json.loads(args.worker), args.result)
        return 0
    if args.compare:
        compare(args.compare)
        return 0

    notes = []
    try:
        import zstandard  # noqa: F401
        have_zstd = True
    except ImportError:
        have_zstd = False
    cases = list(CASES)
    if args.cases:
        patterns = [p.strip() for p in args.cases.split(",") if p.strip()]
        cases = [c for c in CASES if any(fnmatch.fnmatchcase(c, p) for p in patterns)]
    meter = build_meter()
    if meter is None:
        notes.append("no C compiler for bench/alloc_meter.c: memory not measured")
    opts = {"min_reps": args.min_reps, "max_reps": max(args.max_reps, args.min_reps),
            "target_seconds": args.target_seconds, "rep_seconds": args.rep_seconds,
            "hostile_seconds": args.hostile_seconds}

    machine = _machine()  # before the workers: the build they are meant to load
    sets = [] if args.only_hostile else throughput_sets(args, notes, have_zstd)
    if sets and not have_zstd:
        sys.exit("zstandard is not installed (pip install zstandard, or make install): it is the peer of every "
                 "throughput figure; --only-hostile runs without it")
    for s in sets:
        if s["source"]["kind"] == "synthetic":
            inputs.ensure_synthetic(s["source"]["variant"], s["source"]["size_mb"], log=log)
        s["cases"] = {}
        set_cases = [c for c in cases if c in UNIQUE_CASES] if s.get("unique") else cases
        for case in set_cases:
            log(f"  {s['name']:<26} {case:<15}")
            r = run_worker({"job": "time", "set": s["source"], "case": case, "opts": opts}, args.timeout,
                           args.mem_limit_gb)
            s["cases"][case] = r
            for key in ("bytes", "code_points", "conversations", "messages", "largest_conversation", "zstd_ratio"):
                if key in r:
                    s[key] = r[key]
            if "error" in r or "over_limit" in r:
                notes.append(f"{s['name']} {case}: {r.get('error') or r['over_limit']}")
        mem_cases = [c for c in set_cases if c in MEMORY_CASES and "seconds" in s["cases"].get(c, {})]
        if meter is not None and mem_cases:
            log(f"  {s['name']:<26} memory")
            r = run_worker({"job": "memory", "set": s["source"], "cases": mem_cases}, args.timeout, args.mem_limit_gb,
                           meter=meter)
            if "memory" in r:
                s["memory"] = r["memory"]
            else:
                notes.append(f"{s['name']} memory: {r.get('error') or r.get('over_limit')}")

    hostile = []
    if not args.no_hostile:
        over = set()  # (variant, engine) of crafted inputs that went over the limit at a smaller size
        for source in hostile_sources(args):
            for engine in ("exact", "approx"):
                full = dict(source, engine=engine)
                if source["input"] == "crafted" and (source["variant"], engine) in over:
                    r = {"over_limit": "not run: a smaller size was over the limit"}
                else:
                    log(f"  hostile {source['name']:<34} {engine}")
                    r = run_worker({"job": "hostile", "source": full, "opts": opts, "memory": False},
                                   args.hostile_seconds, args.mem_limit_gb)
                if "seconds" in r and meter is not None:
                    m = run_worker({"job": "hostile", "source": full, "opts": opts, "memory": True},
                                   args.hostile_seconds, args.mem_limit_gb, meter=meter)
                    if "peak" in m:
                        r["peak"] = m["peak"]
                if "over_limit" in r and source["input"] == "crafted":
                    over.add((source["variant"], engine))
                r.update({k: v for k, v in full.items() if k not in ("path",)})
                hostile.append(r)
                if "error" in r:
                    notes.append(f"hostile {source['name']} {engine}: {r['error']}")

    shares = [r["cpu_share"] for s in sets for r in s["cases"].values() if r.get("cpu_share") is not None]
    busy = [x for x in shares if x < BUSY_CPU_SHARE]
    if busy:
        notes.append(f"in {len(busy)} of {len(shares)} rows a repetition got under {BUSY_CPU_SHARE:.0%} of a "
                     f"processor (lowest {min(busy):.0%}): the machine was busy; the figures are CPU time")
    stamps = {r["module"] for s in sets for r in s["cases"].values() if "module" in r}
    if len(stamps) > 1:
        notes.append(f"palimp's module file changed during the run ({len(stamps)} builds loaded): "
                     "rows may not be comparable")
    derive(sets)
    growth_rows = growth(sets)
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    if sets:
        print_throughput(sets)
        print_growth(growth_rows)
    print_hostile(hostile)
    print(f"\nmemory measured by: {'allocator wrapper (bench/alloc_meter.c), Python objects on malloc' if meter else '-'}")
    print(f"machine: {machine['cpu']}, {machine['cores']} cores ({machine['usable_cores']} usable), load average "
          f"{' '.join(f'{x:.1f}' for x in machine.get('load_average', ()))} at the start; Python "
          f"{machine['python']}, NumPy {machine['numpy']}, zstandard {machine['zstandard']}")
    mod = machine.get("palimp_module") or {}
    print(f"palimp commit: {machine['palimp_commit'] or 'unknown'}; module sha256 {mod.get('sha256_16', '?')}, "
          f"built {mod.get('modified', '?')}; date: {date}")
    if args.label:
        print(f"label: {args.label}")
    print(f"command: {' '.join([pathlib.Path(sys.executable).name, 'bench/bench.py'] + (argv or sys.argv[1:]))}")
    for n in notes:
        print(f"note: {n}")

    args.out.parent.mkdir(parents=True, exist_ok=True)
    report = {"date": date, "label": args.label, "machine": machine, "mb": MB, "cases": cases, "argv": argv or sys.argv[1:],
              "options": {"quick": args.quick, **opts, "tokens_list_max_bytes": TOKENS_LIST_MAX_BYTES,
                          "seed": inputs.SEED, "mem_limit_gb": args.mem_limit_gb},
              "sets": [{k: v for k, v in s.items() if k != "memory"} for s in sets], "growth": growth_rows,
              "hostile": hostile, "notes": notes}
    args.out.write_text(json.dumps(report, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"\nJSON written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
