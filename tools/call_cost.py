"""The fixed cost of palimp's calls and the cost of its result objects,
counted, not timed: instructions under callgrind (repeatable where timings
drift) and heap allocations through tools/alloc_count.c.

    python tools/call_cost.py                # the smallest call of each method
    python tools/call_cost.py --corpus       # per segment and per conversation, transcript corpus
    python tools/call_cost.py --module DIR   # a build of the module in DIR
    python tools/call_cost.py --time-against DIR   # ns per segment, us per conversation, interleaved

Instructions of a case are the difference between two runs of this script
under callgrind, one making CALLS calls and one making none, over CALLS,
less the loop's own instructions (shown as "empty loop").
Allocations are counted in-process, after a warm-up.  Needs valgrind and a
C compiler (for the counting shim).

--time-against times the corpus and conversation cases of the module
measured and of the build in DIR in one process, alternating between them,
and prints the median of the repetitions with their range (and for whole
conversations the median ratio of the two): the only timing here, for
comparing two builds on a machine whose speed drifts.
"""

import argparse
import ctypes
import gc
import importlib.util
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORPUS = pathlib.Path(os.environ.get("PALIMP_CORPORA", ROOT.parent / "shared" / "corpora")) / \
    "fastchat_dummy_transcripts.jsonl"

# The smallest calls: (name, setup, statement).
SMALL = [
    ("empty loop", "", "pass"),
    ("PalimpText.from_texts", "", 'P.from_texts(["a", "a"])'),
    ("PalimpText.from_texts approximate", "", 'P.from_texts(["a", "a"], exact_mode=False)'),
    ("PalimpText.from_texts+segments", "", 'P.from_texts(["a", "a"]).segments()'),
    ("PalimpText.segments", 't = P.from_texts(["a", "a"])', "t.segments()"),
    ("PalimpText.render", 't = P.from_texts(["a", "a"])', 't.render("x")'),
    ("PalimpText.compression_ratio", 't = P.from_texts(["a", "a"])', "t.compression_ratio()"),
    ("PalimpTokens.from_tokens", "", "T.from_tokens([[97], [97]])"),
    ("PalimpTokens.segments", "k = T.from_tokens([[97], [97]])", "k.segments()"),
    ("PalimpTokens.render", "k = T.from_tokens([[97], [97]]); rep = [7]", "k.render(rep)"),
]
CALLS = 2000

# Per segment on the transcript corpus: (name, how objects are built, statement).
CORPUS_CASES = [
    ("PalimpText.segments", "P.from_texts(c)", "o.segments()"),
    ("PalimpText.render", "P.from_texts(c)", 'o.render("x")'),
    ("PalimpTokens.segments", 'T.from_texts_with_tokenizer(c, "whitespace")', "o.segments()"),
    ("PalimpTokens.render", 'T.from_texts_with_tokenizer(c, "whitespace")', "o.render([7])"),
]
PASSES = 5

# A whole call per conversation of the corpus, as a user makes it: (name, statement on c).
CONVERSATION_CASES = [
    ("PalimpText.from_texts(c).segments()", "P.from_texts(c).segments()"),
    ("  approximate", "P.from_texts(c, exact_mode=False).segments()"),
]


def import_palimp(module_dir):
    if module_dir is None:
        import palimp
        return palimp
    # A build of its own, also beside an already imported one.
    path = next(pathlib.Path(module_dir).glob("palimp*.so"))
    spec = importlib.util.spec_from_file_location("palimp", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def loop(setup, statement, names):
    """A function running `statement` n times, after `setup`, in `names`."""
    source = f"{setup}\ndef run(n):\n    for _ in range(n):\n        {statement}\n"
    exec(source, names)
    return names["run"]


def child(args):
    """Runs one case in this process: the mode a measuring parent asks for."""
    palimp = import_palimp(args.module)
    import numpy  # noqa: F401  (imported up front: render loads NumPy's API once)
    names = {"P": palimp.PalimpText, "T": palimp.PalimpTokens}
    if args.case_kind == "small":
        _, setup, statement = SMALL[args.case]
        run = loop(setup, statement, names)
        segments = 1
    elif args.case_kind == "conversation":  # "segments" here count conversations
        _, statement = CONVERSATION_CASES[args.case]
        names["objs"] = conversations()
        run = loop("", f"for c in objs: {statement}", names)
        segments = len(names["objs"])
    else:
        _, build, statement = CORPUS_CASES[args.case]
        names["objs"] = [eval(build, dict(names, c=c)) for c in conversations()]
        run = loop("", f"for o in objs: {statement}", names)
        segments = sum(len(s) for o in names["objs"] for s in o.segments())
    run(2)  # warm up: lazily made objects, free lists, the interpreter's caches
    if args.count == "allocations":
        counter = ctypes.CDLL(None).alloc_count
        counter.restype = ctypes.c_uint64
        before = counter()
        run(args.calls)
        print((counter() - before) / args.calls / segments)
    else:
        run(args.calls)
        print(segments)


def conversations():
    with open(CORPUS, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def run_child(kind, case, calls, count, module, env=None, prefix=()):
    cmd = [*prefix, sys.executable, __file__, "--child", kind, str(case), "--calls", str(calls), "--count", count]
    if module:
        cmd += ["--module", module]
    out = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True)
    return float(out.stdout.split()[-1])


def instructions(kind, case, calls, module):
    """Instructions of `calls` calls (callgrind totals, calls minus none), and the segments per call."""
    totals = []
    segments = 1.0
    # Threads of a numeric library and hash randomisation would make the
    # totals differ from run to run.
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    for n in (calls, 0):
        with tempfile.NamedTemporaryFile(suffix=".out") as out:
            segments = run_child(kind, case, n, "instructions", module, env,
                                 ("valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}")) or segments
            summary = next(line for line in open(out.name) if line.startswith("summary:"))
            totals.append(int(summary.split()[1]))
    return (totals[0] - totals[1]) / calls, segments


def alternate(runs, repetitions, clock, per):
    """Times of PASSES passes of runs["measured"] and runs["other"], taken in
    turn (the order swapped every repetition), each divided by `per`."""
    times = {label: [] for label in runs}
    for r in range(repetitions):
        for label in (("measured", "other") if r % 2 == 0 else ("other", "measured")):
            gc.collect()
            start = clock()
            runs[label](PASSES)
            times[label].append((clock() - start) / per)
    return times


def time_against(module, other, repetitions=11):
    builds = {"measured": import_palimp(module), "other": import_palimp(other)}
    convs = conversations()
    print(f"ns per segment, transcript corpus (median of {repetitions}, range; results freed)")
    for name, build, statement in CORPUS_CASES:
        runs, segments = {}, set()
        for label, palimp in builds.items():
            names = {"P": palimp.PalimpText, "T": palimp.PalimpTokens}
            names["objs"] = [eval(build, dict(names, c=c)) for c in convs]
            segments.add(sum(len(s) for o in names["objs"] for s in o.segments()))
            runs[label] = loop("", f"for o in objs: {statement}", names)
        assert len(segments) == 1, "the two builds give different segments"
        count = segments.pop()
        times = alternate(runs, repetitions, time.perf_counter_ns, PASSES * count)
        for label, t in times.items():
            print(f"  {name:24s} {label:8s} {statistics.median(t):6.1f}  ({min(t):.1f} .. {max(t):.1f})")
    print(f"us per conversation, CPU time (median of {repetitions}, range; results freed)")
    for name, statement in CONVERSATION_CASES:
        runs = {}
        for label, palimp in builds.items():
            names = {"P": palimp.PalimpText, "T": palimp.PalimpTokens, "objs": convs}
            runs[label] = loop("", f"for c in objs: {statement}", names)
        times = alternate(runs, repetitions, time.process_time_ns, PASSES * len(convs) * 1000)
        for label, t in times.items():
            print(f"  {name:36s} {label:8s} {statistics.median(t):6.2f}  ({min(t):.2f} .. {max(t):.2f})")
        ratios = sorted(o / m for o, m in zip(times["other"], times["measured"]))
        print(f"  {'':36s} other / measured: median {statistics.median(ratios):.3f} ({ratios[0]:.3f} .. {ratios[-1]:.3f})")


def shim():
    built = ROOT / "build" / "alloc_count.so"
    built.parent.mkdir(exist_ok=True)
    subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-o", str(built),
                    str(ROOT / "tools" / "alloc_count.c")], check=True)
    return str(built)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--module", help="directory holding a built palimp module to measure")
    parser.add_argument("--corpus", action="store_true", help="cost per segment on the transcript corpus")
    parser.add_argument("--time-against", metavar="DIR", help="time the corpus cases against the build in DIR")
    parser.add_argument("--child", nargs=2, metavar=("KIND", "CASE"), help=argparse.SUPPRESS)
    parser.add_argument("--calls", type=int, default=CALLS, help=argparse.SUPPRESS)
    parser.add_argument("--count", default="instructions", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        args.case_kind, args.case = args.child[0], int(args.child[1])
        child(args)
        return
    if args.module:
        args.module = os.path.abspath(args.module)
    if args.time_against:
        time_against(args.module, args.time_against)
        return
    env = dict(os.environ, LD_PRELOAD=shim())
    if args.corpus:
        print(f"per segment, transcript corpus ({PASSES} passes over every conversation; results freed)")
        for i, (name, _, _) in enumerate(CORPUS_CASES):
            per_pass, segments = instructions("corpus", i, PASSES, args.module)
            allocations = run_child("corpus", i, PASSES, "allocations", args.module, env)
            print(f"  {name:36s} {per_pass / segments:8.1f} instructions  {allocations:5.2f} allocations"
                  f"  ({segments:.0f} segments)")
        print(f"per conversation, transcript corpus ({PASSES} passes; results freed)")
        for i, (name, _) in enumerate(CONVERSATION_CASES):
            per_pass, count = instructions("conversation", i, PASSES, args.module)
            allocations = run_child("conversation", i, PASSES, "allocations", args.module, env)
            print(f"  {name:36s} {per_pass / count:8.0f} instructions  {allocations:5.2f} allocations")
        return
    print(f"per call, smallest input ({CALLS} calls; results freed)")
    loop_cost = 0.0
    for i, (name, _, _) in enumerate(SMALL):
        per_call, _ = instructions("small", i, CALLS, args.module)
        allocations = run_child("small", i, CALLS, "allocations", args.module, env)
        print(f"  {name:36s} {per_call - loop_cost:8.0f} instructions  {allocations:5.2f} allocations")
        if i == 0:
            loop_cost = per_call


if __name__ == "__main__":
    main()
