"""Shared helpers: structural checks of segment lists, a subprocess runner,
and optional test dependencies."""

import importlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import palimp
from palimp_cli import plain_row

ROOT = Path(__file__).resolve().parents[2]


def require(module):
    """Import `module` (mypy, dask.distributed, ...), or skip the test when it
    is not installed; where PALIMP_REQUIRE_ALL is set (make test, make wheels)
    a missing module is a failure instead."""
    if os.environ.get("PALIMP_REQUIRE_ALL"):
        return importlib.import_module(module)
    return pytest.importorskip(module)


def compact(segments):
    """Segment lists as plain data: ("L", tokens-or-text) or (message, start, len).
    Text rows go through the command's converter, so that every test of text
    segments checks it too."""
    out = []
    for segs in segments:
        if any(isinstance(s, (palimp.PyLiteralTokens, palimp.PyReferenceTokens)) for s in segs):
            out.append([("L", s.tokens) if isinstance(s, palimp.PyLiteralTokens) else (s.message, s.start, s.len)
                        for s in segs])
        else:
            assert all(isinstance(s, (palimp.PyLiteralSegment, palimp.PyReferenceSegment)) for s in segs)
            out.append([("L", p) if isinstance(p, str) else tuple(p) for p in plain_row(segs)])
    return out


def _check_shape(row, min_match_len, exact):
    """Guarantees every engine gives beyond tiling."""
    kinds = ["L" if r[0] == "L" else "R" for r in row]
    if exact:
        assert "LL" not in "".join(kinds), row  # literal runs end only at a hit
    else:
        for a, b in zip(row, row[1:]):  # contiguous references were merged
            if a[0] != "L" and b[0] != "L":
                assert not (a[0] == b[0] and a[1] + a[2] == b[1]), row
    for r in row:
        if r[0] == "L":
            assert len(r[1]) > 0, row
        else:
            assert r[2] >= max(min_match_len, 1), row


def check_token_segments(messages, segments, *, min_match_len=4, exact=True):
    """Every engine message is tiled by its segments; every reference points
    into a strictly earlier engine message (present entries only) and names
    tokens equal to the ones it replaces."""
    present = [[int(t) for t in m] for m in messages if m is not None]
    rows = compact(segments)
    assert len(rows) == len(present)
    for i, (tokens, row) in enumerate(zip(present, rows)):
        rebuilt = []
        for r in row:
            if r[0] == "L":
                rebuilt += r[1]
                continue
            message, start, length = r
            assert message < i
            source = present[message]
            assert start + length <= len(source)
            span = source[start:start + length]
            assert span == tokens[len(rebuilt):len(rebuilt) + length], (i, r)
            rebuilt += span
        assert rebuilt == tokens
        _check_shape(row, min_match_len, exact)
    if rows and present[0]:
        assert rows[0] == [("L", present[0])]
    return rows


def check_text_segments(messages, segments, *, min_match_len=4, exact=True):
    """Text-mode counterpart: references count positions of the caller's list
    (None included) and bytes of the referenced message's UTF-8, and each
    span lies on character boundaries and equals the bytes it replaces."""
    encoded = [None if m is None else m.encode() for m in messages]
    rows = compact(segments)
    assert len(rows) == len(messages)
    for i, (data, row) in enumerate(zip(encoded, rows)):
        if data is None:
            assert row == []
            continue
        rebuilt = b""
        for r in row:
            if r[0] == "L":
                rebuilt += r[1].encode()
                continue
            message, start, length = r
            assert message < i and encoded[message] is not None
            source = encoded[message]
            assert start + length <= len(source)
            span = source[start:start + length]
            span.decode()  # both ends on character boundaries
            assert span == data[len(rebuilt):len(rebuilt) + length], (i, r)
            rebuilt += span
        assert rebuilt == data
        # References count characters inside the engine: convert for the check.
        chars = [r if r[0] == "L" else (r[0], len(encoded[r[0]][:r[1]].decode()),
                                        len(encoded[r[0]][r[1]:r[1] + r[2]].decode()))
                 for r in row]
        _check_shape(chars, min_match_len, exact)
    return rows


def rendered_tokens(rows, replacement):
    """What `render` must give for compacted token rows."""
    return [[t for r in row for t in (r[1] if r[0] == "L" else replacement)] for row in rows]


def rendered_texts(rows, replacement):
    """What `PalimpText.render` must give for compacted text rows."""
    out = ["".join(r[1] if r[0] == "L" else replacement for r in row) for row in rows]
    return [text or None for text in out]


def expected_ratio(messages, rows):
    numerator = sum(len(r[1].encode()) if r[0] == "L" else 1 for row in rows for r in row)
    denominator = sum(len(m.encode()) for m in messages if m is not None)
    return 1.0 if denominator == 0 else numerator / denominator


def run_python(code, timeout=120):
    """Run `code` in a fresh interpreter of this environment."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


def run_module(*args, timeout=600, cwd=None):
    """Run `python -m ARGS...` in this environment."""
    return subprocess.run([sys.executable, "-m", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, cwd=cwd)
