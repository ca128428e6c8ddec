"""The work on one batch of input lines, in whichever process runs it.

A batch travels as the bytes of whole input lines and its result as the bytes
of whole output lines: two flat buffers, which cost next to nothing to send
between processes, where segment objects would cost more to pickle than to
compute.  Blank lines are skipped but counted, so line numbers are those of
the input file.
"""

import json
from dataclasses import dataclass

from palimp_cli.plain import PlainDataError, compress, from_plain


@dataclass(frozen=True, slots=True)
class Batch:
    first: int   # number of the batch's first line in the input, from 1
    data: bytes  # whole lines; all but perhaps the input's last end in b"\n"


@dataclass(frozen=True, slots=True)
class Options:
    exact_mode: bool = True
    min_match_len: int = 4
    cap_len: int = 64
    ncap: int = 64


@dataclass(frozen=True, slots=True)
class Done:
    data: bytes         # the output lines, each ending in b"\n"
    conversations: int
    messages: int
    message_bytes: int  # UTF-8 bytes of the messages (stats only)
    kept_bytes: int     # literal bytes plus one per reference (stats only)
    input_bytes: int    # bytes of the batch


class InputError(Exception):
    """A line that cannot be read: its number in the input and why."""

    def __init__(self, line: int, reason: str) -> None:
        super().__init__(line, reason)  # both, so that the error pickles
        self.line = line
        self.reason = reason


def _lines(batch: Batch) -> list[str]:
    try:
        text = batch.data.decode()
    except UnicodeDecodeError as error:
        line = batch.first + batch.data.count(b"\n", 0, error.start)
        raise InputError(line, "not UTF-8") from None
    # Not splitlines(): JSON strings may hold U+2028 and other breaks raw.
    return text.split("\n")


def _load(line: str, number: int) -> object:
    try:
        return json.loads(line)
    except json.JSONDecodeError as error:
        raise InputError(number, f"not JSON: {error.msg} at column {error.colno}") from None


# One encoder for every line: json.dumps with a keyword argument builds one
# per call.
_encode = json.JSONEncoder(ensure_ascii=False).encode


def _utf8_size(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode())  # isascii() is O(1)


def compress_batch(batch: Batch, options: Options, keep_output: bool = True) -> Done:
    """Each conversation of the batch compressed; with `keep_output`, one JSON
    object per line: {"line": N, "ratio": r, "segments": [...]}."""
    out: list[str] = []
    conversations = messages = message_bytes = kept_bytes = 0
    for number, line in enumerate(_lines(batch), start=batch.first):
        if not line or line.isspace():
            continue
        conversation = _load(line, number)
        if type(conversation) is not list:
            raise InputError(number, "not a JSON list of messages")
        try:
            segments, ratio = compress(conversation, exact_mode=options.exact_mode,
                                       min_match_len=options.min_match_len, cap_len=options.cap_len,
                                       ncap=options.ncap)
        except (TypeError, UnicodeEncodeError):
            for i, m in enumerate(conversation):
                if m is not None and type(m) is not str:
                    raise InputError(number, f"message {i} is neither a string nor null") from None
                if type(m) is str and not m.isascii():
                    try:
                        m.encode()
                    except UnicodeEncodeError:
                        raise InputError(number, f"message {i} holds a lone surrogate, which UTF-8 "
                                                 "cannot encode") from None
            raise
        conversations += 1
        messages += len(conversation)
        if keep_output:
            # What json.dumps writes for {"line": ..., "ratio": ..., "segments": ...}.
            out.append(f'{{"line": {number}, "ratio": {ratio!r}, "segments": {_encode(segments)}}}')
        else:
            size = sum(_utf8_size(m) for m in conversation if m is not None)
            message_bytes += size
            kept_bytes += round(ratio * size)  # exact: the ratio is kept / size
    data = "\n".join(out).encode() + b"\n" if out else b""
    return Done(data, conversations, messages, message_bytes, kept_bytes, len(batch.data))


def restore_batch(batch: Batch, options: Options, keep_output: bool = True) -> Done:
    """The messages of each line of `palimp compress` output, one JSON list
    per line."""
    del options  # restoring takes no options; the signature is compress_batch's
    out: list[str] = []
    conversations = messages = 0
    for number, line in enumerate(_lines(batch), start=batch.first):
        if not line or line.isspace():
            continue
        record = _load(line, number)
        if type(record) is not dict or "segments" not in record:
            raise InputError(number, 'not a JSON object with "segments"')
        if type(record["segments"]) is not list:
            raise InputError(number, '"segments" is not a list')
        try:
            conversation = from_plain(record["segments"])
        except PlainDataError as error:
            raise InputError(number, str(error)) from None
        conversations += 1
        messages += len(conversation)
        if keep_output:
            out.append(_encode(conversation))
    data = "\n".join(out).encode() + b"\n" if out else b""
    return Done(data, conversations, messages, 0, 0, len(batch.data))
