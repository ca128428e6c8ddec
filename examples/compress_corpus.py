#!/usr/bin/env python3
"""Compress every conversation of a JSON Lines corpus in parallel with Dask.

Each input line is one conversation: a JSON list of its successive messages
(str, or null for an absent message).  Each output line is a JSON object for
the input line of the same number:

    {"line": 1, "ratio": 0.42, "segments": [["user: hi\\n\\n"], [[0, 0, 10], "..."], null]}

with one entry per message: null for an absent message, otherwise a list of
segments, each either a str (new text) or [message, start, len] (the UTF-8
bytes start .. start + len of an earlier message of the same line).
`rebuild` turns such an entry back into the messages.

    python examples/compress_corpus.py corpus.jsonl out.jsonl             # local cluster
    python examples/compress_corpus.py corpus.jsonl out.jsonl --workers 2
    python examples/compress_corpus.py corpus.jsonl out.jsonl --scheduler tcp://10.0.0.5:8786
    python examples/compress_corpus.py corpus.jsonl out.jsonl --workers 0  # in-process

palimp holds the interpreter lock for every call, so the work is spread over
processes: a local cluster starts one single-threaded worker process per
core (or --workers N), and --scheduler joins an existing cluster, whose
workers must have palimp installed.  The input is read and the output written
by this process, so only it needs the files.
"""

import argparse
import contextlib
import json
import os
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, TextIO, TypeAlias

import palimp

# A segment as plain JSON data: new text, or [message, start, len].
JsonSegment: TypeAlias = str | list[int]


def compress_conversation(messages: list[str | None], exact_mode: bool = True,
                          min_match_len: int = 4) -> dict[str, Any]:
    """The segments of one conversation as plain data, and its ratio."""
    p = palimp.PalimpText.from_texts(messages, exact_mode=exact_mode, min_match_len=min_match_len)
    segments: list[list[JsonSegment] | None] = []
    for message, row in zip(messages, p.segments()):
        if message is None:
            segments.append(None)
            continue
        segments.append([s.text if isinstance(s, palimp.PyLiteralSegment) else [s.message, s.start, s.len]
                         for s in row])
    return {"ratio": p.compression_ratio(), "segments": segments}


def rebuild(segments: list[list[JsonSegment] | None]) -> list[str | None]:
    """The messages of one conversation from its stored segments."""
    encoded: list[bytes | None] = []
    for row in segments:
        if row is None:
            encoded.append(None)
            continue
        data = bytearray()
        for s in row:
            if isinstance(s, str):
                data += s.encode()
            else:
                message, start, length = s
                source = encoded[message]
                assert source is not None, "a reference names an absent message"
                data += source[start:start + length]
        encoded.append(bytes(data))
    return [None if e is None else e.decode() for e in encoded]


@dataclass
class Batch:
    """Consecutive non-blank input lines, travelling as one str (one copy
    each way, where a list of lines would be serialized line by line)."""

    first: int  # number of the first line in the input file, from 1
    text: str   # the lines, each ending in a line break
    count: int  # how many lines


def compress_batch(batch: Batch, exact_mode: bool, min_match_len: int) -> Batch:
    """Runs on a worker: the output lines of a batch of input lines."""
    out = []
    for number, line in enumerate(batch.text.splitlines(), start=batch.first):
        result = compress_conversation(json.loads(line), exact_mode, min_match_len)
        out.append(json.dumps({"line": number, **result}, ensure_ascii=False) + "\n")
    return Batch(batch.first, "".join(out), len(out))


def read_batches(path: str, size: int) -> Iterator[Batch]:
    """Batches of up to `size` lines.  Blank lines are skipped but counted, so
    output numbers are line numbers of the input."""
    lines: list[str] = []
    first = 1
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, start=1):
            if not line.strip():
                if lines:
                    yield Batch(first, "".join(lines), len(lines))
                    lines = []
                continue
            if not lines:
                first = number
            lines.append(line if line.endswith("\n") else line + "\n")
            if len(lines) == size:
                yield Batch(first, "".join(lines), len(lines))
                lines = []
    if lines:
        yield Batch(first, "".join(lines), len(lines))


def progress_bar(total: int) -> Any:
    """A tqdm bar on stderr when it is a terminal; a silent stand-in otherwise."""
    from tqdm import tqdm

    return tqdm(total=total, unit="conv", file=sys.stderr, disable=None)


def run_in_process(batches: Iterator[Batch], out: TextIO, bar: Any, exact_mode: bool, min_match_len: int) -> None:
    for batch in batches:
        out.write(compress_batch(batch, exact_mode, min_match_len).text)
        bar.update(batch.count)


def run_on_cluster(client: Any, batches: Iterator[Batch], out: TextIO, bar: Any,
                   exact_mode: bool, min_match_len: int, in_flight: int) -> None:
    """Keeps `in_flight` batches on the cluster and writes the results in
    input order as they arrive."""
    from dask.distributed import as_completed

    ready: dict[int, str] = {}
    order: list[int] = []  # first line numbers of the submitted batches
    queue = as_completed()

    def submit_next() -> None:
        batch = next(batches, None)
        if batch is not None:
            order.append(batch.first)
            queue.add(client.submit(compress_batch, batch, exact_mode, min_match_len, pure=False))

    for _ in range(in_flight):
        submit_next()
    written = 0
    for future in queue:
        result = future.result()
        future.release()
        ready[result.first] = result.text
        bar.update(result.count)
        submit_next()
        while written < len(order) and order[written] in ready:
            out.write(ready.pop(order[written]))
            written += 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus", help="JSON Lines input, one list of messages per line")
    parser.add_argument("output", help="JSON Lines output, one object per input line")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="use the running Dask cluster at ADDRESS")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster (default: one per core); "
                             "0 compresses in this process, without Dask")
    parser.add_argument("--batch", type=int, default=1024, help="conversations per task (default: 1024)")
    parser.add_argument("--approximate", action="store_true", help="use the capped approximate engine")
    parser.add_argument("--min-match-len", type=int, default=4, help="shortest reference (default: 4)")
    args = parser.parse_args(argv)
    if args.batch < 1 or args.workers < 0:
        parser.error("--batch must be at least 1 and --workers at least 0")

    with open(args.corpus, encoding="utf-8") as f:
        total = sum(1 for line in f if line.strip())
    batches = read_batches(args.corpus, args.batch)
    exact_mode = not args.approximate
    with open(args.output, "w", encoding="utf-8") as out, contextlib.ExitStack() as stack:
        start = time.perf_counter()
        if args.scheduler is None and args.workers == 0:
            where, client = "in this process", None
        else:
            from dask.distributed import Client, LocalCluster

            if args.scheduler is not None:
                client = stack.enter_context(Client(args.scheduler))
                client.wait_for_workers(1)
            else:
                cluster = stack.enter_context(LocalCluster(
                    n_workers=args.workers, threads_per_worker=1, processes=True,
                    host="127.0.0.1", dashboard_address=None))
                client = stack.enter_context(Client(cluster))
            workers = len(client.scheduler_info()["workers"])
            where = f"on {workers} workers (cluster ready after {time.perf_counter() - start:.1f} s)"
        start = time.perf_counter()
        with progress_bar(total) as bar:
            if client is None:
                run_in_process(batches, out, bar, exact_mode, args.min_match_len)
            else:
                run_on_cluster(client, batches, out, bar, exact_mode, args.min_match_len,
                               in_flight=max(2, 4 * workers))
        elapsed = time.perf_counter() - start
    print(f"{total} conversations compressed in {elapsed:.2f} s {where}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
