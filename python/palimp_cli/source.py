"""Reading the input: a file, standard input ("-") or a .zst file, cut into
batches of whole lines."""

import os
import sys
from collections.abc import Iterator
from typing import BinaryIO

from palimp_cli.work import Batch

# Bytes read at a time, and so the size of most batches: large enough that
# sending a batch to a worker costs little against compressing it, small
# enough that several batches keep two workers busy on a few MB.
BATCH_BYTES = 1 << 19


class SourceError(Exception):
    """The input cannot be opened or read; the message says why."""


def open_source(path: str) -> tuple[BinaryIO, int | None]:
    """The input as a binary stream, and its size in bytes where a fraction
    of it read means something (a plain regular file)."""
    if path == "-":
        return sys.stdin.buffer, None
    try:
        f = open(path, "rb")
    except OSError as error:
        raise SourceError(f"cannot read {path}: {error.strerror}") from None
    if not path.endswith(".zst"):
        size = os.fstat(f.fileno()).st_size
        return f, size if size > 0 else None
    try:
        import zstandard
    except ImportError:
        f.close()
        raise SourceError(f"reading {path} needs zstandard: pip install zstandard") from None
    # Frames written with a long window (up to 2 GiB) are read as well.
    reader = zstandard.ZstdDecompressor(max_window_size=1 << 31).stream_reader(f, closefd=True)
    return reader, None


def read_batches(stream: BinaryIO, name: str) -> Iterator[Batch]:
    """Consecutive whole lines of `stream`, about BATCH_BYTES at a time; a
    line longer than that is one batch."""
    first = 1
    pending = bytearray()
    while True:
        try:
            chunk = stream.read(BATCH_BYTES)
        except Exception as error:  # OSError, or zstandard's ZstdError for a damaged frame
            raise SourceError(f"cannot read {name}: {error}") from None
        if not chunk:
            break
        cut = chunk.rfind(b"\n") + 1
        if cut == 0:
            pending += chunk
            continue
        pending += chunk[:cut]
        data = bytes(pending)
        pending = bytearray(chunk[cut:])
        yield Batch(first, data)
        first += data.count(b"\n")
    if pending:
        yield Batch(first, bytes(pending))
