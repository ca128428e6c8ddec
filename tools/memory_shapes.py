"""Peak memory per symbol on input that never repeats, by the shape of the input.

Each (shape, engine) runs in a process of its own: the input is built, the
resident set noted and its high-water mark reset, then one call
(`from_texts` or `from_tokens`) runs and the new high-water mark, less the
resident set before the call, is divided by the symbols of the input; then
the same after `segments()` as well.  Resident memory moves in whole pages and includes what the allocator
keeps, which is what a user sees.

    .venv/bin/python tools/memory_shapes.py            # 8 Mi symbols per shape
    .venv/bin/python tools/memory_shapes.py --mi 2 --shapes two-texts,tokens
"""

import argparse
import json
import pathlib
import random
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHAPES = ["unrelated-messages", "two-texts", "tokens", "crafted-spread", "crafted-one-window"]


def build(shape, symbols):
    rng = random.Random(f"shape-{shape}")
    printable = bytes(range(32, 127))
    if shape == "unrelated-messages":  # 1,024 random texts
        per = symbols // 1024
        return "text", [bytes(rng.choices(printable, k=per)).decode() for _ in range(1024)]
    if shape == "two-texts":
        return "text", [bytes(rng.choices(printable, k=symbols // 2)).decode() for _ in range(2)]
    import numpy as np
    if shape == "tokens":  # two arrays of random ids
        g = np.random.default_rng(1)
        return "tokens", [g.integers(0, 2**20, symbols // 2, dtype=np.uint32) for _ in range(2)]
    sys.path.insert(0, str(ROOT / "bench"))
    import inputs
    variant = shape.removeprefix("crafted-")
    scale = symbols / 2_200_000
    msgs, _, _ = inputs.crafted_windows(scale, variant)
    return "tokens", [np.array(m, dtype=np.uint32) for m in msgs]


def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def worker(shape, exact, symbols):
    import gc

    import palimp
    mode, msgs = build(shape, symbols)
    n = sum(len(m) for m in msgs)
    gc.collect()
    gc.disable()
    before = status("VmRSS:")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the high-water mark to the resident set now
    if mode == "text":
        p = palimp.PalimpText.from_texts(msgs, exact_mode=exact)
    else:
        p = palimp.PalimpTokens.from_tokens(msgs, exact_mode=exact)
    built = status("VmHWM:")
    segs = p.segments()
    peak = status("VmHWM:")
    pieces = sum(len(r) for r in segs)
    del segs, p
    print(json.dumps({"symbols": n, "built": built - before, "peak": peak - before, "segments": pieces}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mi", type=float, default=8, help="Mi symbols per shape (default 8)")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    symbols = int(args.mi * 2**20)
    if args.worker:
        worker(args.worker[0], args.worker[1] == "exact", symbols)
        return
    print(f"{'shape':<20} {'engine':<7} {'symbols':>10} {'segments':>9} {'build B/sym':>11} {'+segments':>9}")
    for shape in args.shapes.split(","):
        for engine in ("exact", "approx"):
            out = subprocess.run([sys.executable, __file__, "--mi", str(args.mi), "--worker", shape, engine],
                                 capture_output=True, text=True, check=True).stdout
            r = json.loads(out)
            print(f"{shape:<20} {engine:<7} {r['symbols']:>10} {r['segments']:>9} "
                  f"{r['built'] / r['symbols']:>11.1f} {r['peak'] / r['symbols']:>9.1f}",
                  flush=True)


if __name__ == "__main__":
    main()
