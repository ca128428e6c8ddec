"""Types of the palimp module: successive messages rewritten as new material
plus references into earlier messages."""

from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, final, overload

import numpy as np
import numpy.typing as npt

__all__ = [
    "PalimpText",
    "PalimpTokens",
    "PyLiteralSegment",
    "PyReferenceSegment",
    "PyLiteralTokens",
    "PyReferenceTokens",
]

# One token message: ints (or anything with __index__: bool, NumPy integer
# scalars) in a list, tuple, range or bytes, or a NumPy integer array.
_TokenIds: TypeAlias = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
# The replacement of PalimpTokens.render: ints, or a one-dimensional uint32
# array (other dtypes are taken as sequences of ints only when they are not
# NumPy arrays).
_Replacement: TypeAlias = Sequence[SupportsIndex] | npt.NDArray[np.uint32]
_U32Array: TypeAlias = npt.NDArray[np.uint32]

@final
class PalimpText:
    """Compressor of a list of texts; built by PalimpText.from_texts."""

    @classmethod
    def from_texts(
        cls,
        messages: Sequence[str | None],
        *,
        exact_mode: bool = True,
        min_match_len: SupportsIndex = 4,
        lookback: SupportsIndex | None = None,
        cap_len: SupportsIndex = 64,
        ncap: SupportsIndex = 64,
    ) -> PalimpText:
        """Compress `messages`, a list of str in which None marks an absent
        message.  Every later message is rewritten as literal text plus
        references into strictly earlier messages.

        exact_mode: True for the exact engine (the longest earlier match among
        the first 64 places holding the same window), False for the capped
        approximate engine (bounded work per position).
        min_match_len: the shortest run, in characters, that may become a
        reference.
        lookback: accepted for compatibility; changes no result.
        cap_len, ncap: approximate engine only: the longest window compared
        and the most candidates examined per position.
        """

    def segments(self) -> list[list[PyLiteralSegment | PyReferenceSegment]]:
        """One list of segments per entry of the input list (an absent entry
        has the empty list).  A reference names a position in the input list
        and counts UTF-8 bytes of that message, not str indices."""

    def render(self, replacement: str) -> list[str | None]:
        """Every message with each reference replaced by `replacement` (once
        per reference, whatever its length); None where the result is empty,
        including absent messages."""

    def compression_ratio(self) -> float:
        """Literal UTF-8 bytes plus one per reference, over all input bytes:
        lower is better; 1.0 when nothing was referenced or the input is
        empty."""

@final
class PalimpTokens:
    """Compressor of token id sequences; built by PalimpTokens.from_tokens or
    PalimpTokens.from_texts_with_tokenizer.  Absent (None) messages are
    dropped: results and message indices count present messages only."""

    @classmethod
    def from_tokens(
        cls,
        messages: Sequence[_TokenIds | None] | npt.NDArray[np.integer[Any]],
        *,
        exact_mode: bool = True,
        min_match_len: SupportsIndex = 4,
        lookback: SupportsIndex | None = None,
        cap_len: SupportsIndex = 64,
        ncap: SupportsIndex = 64,
    ) -> PalimpTokens:
        """Compress `messages`: sequences of token ids from 0 to 4294967295
        (lists, tuples, NumPy integer arrays; a two-dimensional integer array
        is a list of its rows), or None for an absent message.

        exact_mode: True for the exact engine, False for the capped
        approximate engine.  min_match_len: the shortest run, in tokens, that
        may become a reference.  lookback: accepted; changes no result.
        cap_len, ncap: approximate engine only: the longest window compared
        and the most candidates examined per position.
        """

    @classmethod
    def from_texts_with_tokenizer(
        cls,
        messages: Sequence[str | None],
        tokenizer: str,
        *,
        exact_mode: bool = True,
        min_match_len: SupportsIndex = 4,
        lookback: SupportsIndex | None = None,
        cap_len: SupportsIndex = 64,
        ncap: SupportsIndex = 64,
    ) -> PalimpTokens:
        """Tokenizer opt-in: accept texts and a tokenizer name, return
        token-mode compressor.

        The one tokenizer is "whitespace": one id per blank-separated word, in
        order of first appearance.  Other names raise TypeError.  The keyword
        arguments are those of from_tokens.
        """

    def segments(self) -> list[list[PyLiteralTokens | PyReferenceTokens]]:
        """One list of segments per present message; references count
        tokens and name present messages only."""

    @overload
    def render(self, replacement: _Replacement, *, as_numpy: Literal[False] = False) -> list[list[int]]:
        """Every present message with each reference replaced by the ids of
        `replacement` (once per reference), as lists of ints."""

    @overload
    def render(self, replacement: _Replacement, *, as_numpy: Literal[True]) -> list[_U32Array]:
        """Every present message with each reference replaced by the ids of
        `replacement`, as writeable uint32 arrays handed over without a
        copy."""

    @overload
    def render(self, replacement: _Replacement, *, as_numpy: bool) -> list[list[int]] | list[_U32Array]:
        """Lists of ints, or uint32 arrays when `as_numpy` is true."""

    def render_texts(self, replacement: str) -> list[str]:
        """Decode rendered token outputs back to text using the stored
        tokenizer.  Raises a TypeError if the instance was not created with a
        tokenizer."""

@final
class PyLiteralSegment:
    """New text of a text message (the repr says LiteralSegment)."""

    def __new__(cls, text: str) -> PyLiteralSegment:
        """A literal text segment; tied to no compressor."""

    @property
    def text(self) -> str:
        """The literal text."""

@final
class PyReferenceSegment:
    """A span of an earlier text message (the repr says ReferenceSegment)."""

    def __new__(cls, message: SupportsIndex, start: SupportsIndex, len: SupportsIndex) -> PyReferenceSegment:
        """A reference to `len` bytes from byte `start` of message `message`;
        each a number from 0 to 2**64 - 1, checked against nothing."""

    @property
    def message(self) -> int:
        """Position of the referenced message in the input list."""

    @property
    def start(self) -> int:
        """Byte offset in the UTF-8 encoding of the referenced message."""

    @property
    def len(self) -> int:
        """Length in bytes of UTF-8."""

@final
class PyLiteralTokens:
    """New token ids of a token message (the repr says LiteralTokens)."""

    def __new__(cls, tokens: _TokenIds) -> PyLiteralTokens:
        """A literal run of token ids, each from 0 to 4294967295."""

    @property
    def tokens(self) -> list[int]:
        """The ids, as a new list at every read."""

    def as_numpy(self) -> _U32Array:
        """The ids as a new uint32 array of their own."""

@final
class PyReferenceTokens:
    """A span of an earlier token message (the repr says ReferenceTokens)."""

    def __new__(cls, message: SupportsIndex, start: SupportsIndex, len: SupportsIndex) -> PyReferenceTokens:
        """A reference to `len` tokens from token `start` of message
        `message`; each a number from 0 to 2**64 - 1, checked against
        nothing."""

    @property
    def message(self) -> int:
        """Index of the referenced message among the present messages."""

    @property
    def start(self) -> int:
        """Start of the span, in tokens."""

    @property
    def len(self) -> int:
        """Length of the span, in tokens."""
