"""Compress the bundled sample of successive chat transcripts with both
engines, print what each produced, then take one message apart: its text
with each reference marked, what each reference points to, and the bytes it
saves."""

import json
import pathlib
import time

import palimp
from palimp_cli import plain_row

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "transcripts_sample.jsonl"
SHOWN_CHARACTERS = 60


def shown(text):
    """`text` on one line: line breaks as ⏎, long texts cut in the middle."""
    text = text.replace("\n", "⏎")
    if len(text) > SHOWN_CHARACTERS:
        half = SHOWN_CHARACTERS // 2
        text = f"{text[:half]} … {text[-half:]}"
    return f'"{text}"'


def main():
    conversations = [json.loads(line) for line in SAMPLE.read_text(encoding="utf-8").splitlines() if line]
    total_bytes = sum(len(m.encode()) for conv in conversations for m in conv)
    print(f"sample: {len(conversations)} conversations, "
          f"{sum(map(len, conversations))} messages, {total_bytes:,} bytes of UTF-8\n")
    print(f"{'engine':<12}{'literals':>9}{'references':>12}{'ratio (lower is better)':>26}{'time':>11}")
    exact_segments = None
    for name, exact in (("exact", True), ("approximate", False)):
        start = time.perf_counter()
        segments = [palimp.PalimpText.from_texts(conv, exact_mode=exact).segments() for conv in conversations]
        elapsed = time.perf_counter() - start
        rows = [plain_row(msg) for conv in segments for msg in conv]
        literals = sum(isinstance(s, str) for row in rows for s in row)
        # The ratio over the whole sample: literal bytes plus one per reference.
        kept = sum(len(s.encode()) if isinstance(s, str) else 1 for row in rows for s in row)
        print(f"{name:<12}{literals:>9}{sum(map(len, rows)) - literals:>12}{kept / total_bytes:>26.3f}"
              f"{elapsed * 1e3:>8.2f} ms")
        if exact:
            exact_segments = segments

    # The shortest message that the exact engine wrote as a reference, a
    # sentence or more of new text, and another reference.
    candidates = []
    for c, conv in enumerate(conversations):
        for m, segs in enumerate(exact_segments[c]):
            row = plain_row(segs)
            if any(isinstance(a, list) and isinstance(b, str) and len(b) >= 20 and isinstance(z, list)
                   for a, b, z in zip(row, row[1:], row[2:])):
                candidates.append((len(conv[m].encode()), c, m))
    size, c, m = min(candidates)
    row = plain_row(exact_segments[c][m])
    marked, references = [], []
    for s in row:
        if isinstance(s, str):
            marked.append(s)
        else:
            references.append(s)
            marked.append(f"[{len(references)}]")
    print(f"\nline {c + 1} of the sample, message {m} (messages count from 0), exact engine, "
          "each reference shown as [n]:\n")
    print("    " + "".join(marked).rstrip("\n").replace("\n", "\n    "))
    print()
    for n, (message, start, length) in enumerate(references, start=1):
        source = conversations[c][message].encode()[start:start + length].decode()
        print(f"  [{n}] message {message}, bytes {start} to {start + length}: {shown(source)}")
    new_bytes = sum(len(s.encode()) for s in row if isinstance(s, str))
    kept = new_bytes + len(references)
    print(f"\n{size} bytes, kept as {new_bytes} bytes of new text and {len(references)} references "
          f"(counted as one byte each): {size - kept} bytes saved, ratio {kept / size:.3f} (lower is better)")


if __name__ == "__main__":
    main()
