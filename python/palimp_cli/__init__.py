"""The `palimp` command (`python -m palimp_cli`) and the plain form of text
segments it reads and writes.

    palimp compress corpus.jsonl segments.jsonl
    palimp restore segments.jsonl corpus.jsonl
    palimp stats corpus.jsonl

`to_plain` turns the segments of `palimp.PalimpText` into plain data (a str
for new text, [message, start, len] for a reference, None for an absent
message), which `json.dumps` writes as it is; `from_plain` gives the messages
back.
"""

from palimp_cli.command import main
from palimp_cli.plain import PlainDataError, PlainMessage, PlainSegment, compress, from_plain, plain_row, to_plain

__all__ = ["PlainDataError", "PlainMessage", "PlainSegment", "compress", "from_plain", "main", "plain_row",
           "to_plain"]
