"""Writing the output: standard output ("-"), or a file that appears only
when complete."""

import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator
from typing import BinaryIO


class SinkError(Exception):
    """The output cannot be written; the message says why."""


@contextlib.contextmanager
def open_sink(path: str, source: str) -> Iterator[BinaryIO]:
    """A binary stream for the output.  A file is written under a temporary
    name in its directory and renamed to `path` when the block ends without
    an exception, so an interrupted or failed run leaves `path` as it was;
    the temporary file is removed in every case.  Refuses to write over the
    input `source`."""
    if path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    if source != "-":
        with contextlib.suppress(OSError):
            if os.path.samefile(path, source):
                raise SinkError(f"the output {path} is the input")
    directory, name = os.path.split(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory)
    except OSError as error:
        raise SinkError(f"cannot write {path}: {error.strerror}") from None
    try:
        with open(fd, "wb") as f:
            yield f
            try:
                f.flush()
                os.fsync(f.fileno())
                # mkstemp makes the file private; the output gets the usual mode.
                umask = os.umask(0)
                os.umask(umask)
                os.chmod(temporary, 0o666 & ~umask)
                os.replace(temporary, path)
            except OSError as error:
                raise SinkError(f"cannot write {path}: {error.strerror}") from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
