"""Text segments as plain data, and the messages rebuilt from it.

One message's segments become a list whose entries are a str (a literal: new
text) or [message, start, len] (a reference: the UTF-8 bytes start .. start +
len of the earlier message at position `message` of the same list); an absent
message becomes None.  This is what `palimp compress` writes and `palimp
restore` reads, and it is plain JSON.
"""

from collections.abc import Iterable, Sequence
from typing import TypeAlias

from palimp import PalimpText, PyLiteralSegment, PyReferenceSegment

PlainSegment: TypeAlias = str | list[int]
PlainMessage: TypeAlias = list[PlainSegment] | None


class PlainDataError(ValueError):
    """Plain segments that do not describe messages: the reason, in words."""


def plain_row(segments: Iterable[PyLiteralSegment | PyReferenceSegment]) -> list[PlainSegment]:
    """One message's segments as plain data."""
    # type() rather than isinstance(): the segment classes are final, and this
    # runs once per segment of a corpus.
    return [s.text if type(s) is PyLiteralSegment else [s.message, s.start, s.len]
            for s in segments]


def to_plain(messages: Sequence[str | None],
             segments: Sequence[Sequence[PyLiteralSegment | PyReferenceSegment]]) -> list[PlainMessage]:
    """The segments of `messages` (as `PalimpText.segments()` gives them) as
    plain data; an absent message and an empty one both have no segments, so
    `messages` tells them apart."""
    return [None if m is None else plain_row(row) for m, row in zip(messages, segments, strict=True)]


def compress(messages: Sequence[str | None], *, exact_mode: bool = True, min_match_len: int = 4,
             cap_len: int = 64, ncap: int = 64) -> tuple[list[PlainMessage], float]:
    """The plain segments of one conversation and its compression ratio."""
    p = PalimpText.from_texts(messages, exact_mode=exact_mode, min_match_len=min_match_len,
                              cap_len=cap_len, ncap=ncap)
    return to_plain(messages, p.segments()), p.compression_ratio()


def from_plain(rows: Iterable[object]) -> list[str | None]:
    """The messages that plain segments describe.  Raises PlainDataError,
    naming the message and segment, when `rows` is not such data: an entry
    neither a list nor None, a segment neither a str nor three integers, a
    reference to a message that is not an earlier present one or to bytes
    beyond its end, or a message whose bytes are not UTF-8."""
    encoded: list[bytes | None] = []
    for i, row in enumerate(rows):
        if row is None:
            encoded.append(None)
            continue
        if type(row) is not list:
            raise PlainDataError(f"message {i} is neither a list of segments nor null")
        data = bytearray()
        for j, s in enumerate(row):
            if type(s) is str:
                data += s.encode()
                continue
            if type(s) is not list or len(s) != 3 or any(type(x) is not int or x < 0 for x in s):
                raise PlainDataError(f"message {i}, segment {j}: neither a str nor [message, start, len]")
            message, start, length = s
            source = encoded[message] if message < i else None
            if source is None:
                raise PlainDataError(f"message {i}, segment {j}: refers to message {message}, "
                                     "which is not an earlier present message")
            if length > len(source) - start:
                raise PlainDataError(f"message {i}, segment {j}: bytes {start} to {start + length} "
                                     f"of message {message}, which has {len(source)}")
            data += source[start:start + length]
        encoded.append(bytes(data))
    out: list[str | None] = []
    for i, e in enumerate(encoded):
        try:
            out.append(None if e is None else e.decode())
        except UnicodeDecodeError as error:
            raise PlainDataError(f"message {i} is not UTF-8 at byte {error.start}") from None
    return out
