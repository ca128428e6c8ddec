"""Digests of every segment list the engines produce on the benchmark's inputs.

An engine change that must leave the segments as they are is checked by
running this before and after and comparing the output: one line per input
set, mode and engine, with a SHA-256 of all its segment lists.

    .venv/bin/python tools/segment_digests.py > before.txt
    ... rebuild ...
    .venv/bin/python tools/segment_digests.py | diff before.txt -

The sets are the corpora of ../shared/corpora and the benchmark's synthetic
transcripts (4 MB unless --sizes says otherwise, English and multilingual);
token mode runs on one uint32 array of code points per message, as the
benchmark does.
"""

import argparse
import hashlib
import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import inputs  # noqa: E402
import palimp  # noqa: E402


def text_digest(convs, exact):
    h = hashlib.sha256()
    for conv in convs:
        for row in palimp.PalimpText.from_texts(conv, exact_mode=exact).segments():
            for s in row:
                if type(s) is palimp.PyLiteralSegment:
                    h.update(b"L" + s.text.encode() + b"\0")
                else:
                    h.update(b"R%d,%d,%d;" % (s.message, s.start, s.len))
            h.update(b"\n")
    return h.hexdigest()[:16]


def token_digest(convs, exact):
    h = hashlib.sha256()
    for conv in convs:
        arrays = [np.frombuffer(m.encode("utf-32-le"), dtype=np.uint32) for m in conv if m is not None]
        for row in palimp.PalimpTokens.from_tokens(arrays, exact_mode=exact).segments():
            for s in row:
                if type(s) is palimp.PyLiteralTokens:
                    h.update(b"L" + s.as_numpy().tobytes() + b"\0")
                else:
                    h.update(b"R%d,%d,%d;" % (s.message, s.start, s.len))
            h.update(b"\n")
    return h.hexdigest()[:16]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpora", type=pathlib.Path, default=inputs.ROOT.parent / "shared" / "corpora")
    ap.add_argument("--sizes", default="4", help="synthetic sizes in MB, comma-separated ('' for none)")
    args = ap.parse_args()
    sets = []
    if args.corpora.is_dir():
        sets += [(inputs.set_name(p), lambda p=p: inputs.load_corpus(p)) for p in inputs.corpus_files(args.corpora)]
    for size in filter(None, args.sizes.split(",")):
        for variant in ("english", "multilingual"):
            inputs.ensure_synthetic(variant, int(size))
            sets.append((f"{variant}-{size}MB", lambda v=variant, s=int(size): inputs.load_synthetic(v, s)))
    for name, load in sets:
        convs = load()
        for mode, digest in (("text", text_digest), ("tokens", token_digest)):
            for exact in (True, False):
                print(f"{name:<32} {mode:<6} {'exact' if exact else 'approx':<6} {digest(convs, exact)}", flush=True)


if __name__ == "__main__":
    main()
