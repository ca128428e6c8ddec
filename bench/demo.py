"""Compress the bundled sample of successive chat transcripts with both
engines, print what each produced, and show one rendered message."""

import json
import pathlib
import time

import palimp

SAMPLE = pathlib.Path(__file__).resolve().parent.parent / "data" / "transcripts_sample.jsonl"
MARKER = "[[...]]"


def main():
    conversations = [json.loads(line) for line in SAMPLE.read_text(encoding="utf-8").splitlines() if line]
    total_bytes = sum(len(m.encode()) for conv in conversations for m in conv)
    print(f"sample: {len(conversations)} conversations, "
          f"{sum(map(len, conversations))} messages, {total_bytes:,} bytes of UTF-8\n")
    print(f"{'engine':<12}{'messages':>9}{'literals':>10}{'references':>12}{'ratio':>8}{'time':>11}")
    shown = None
    for name, exact in (("exact", True), ("approximate", False)):
        start = time.perf_counter()
        compressed = [palimp.PalimpText.from_texts(conv, exact_mode=exact) for conv in conversations]
        segments = [c.segments() for c in compressed]
        elapsed = time.perf_counter() - start
        literals = sum(isinstance(s, palimp.PyLiteralSegment) for conv in segments for msg in conv for s in msg)
        references = sum(isinstance(s, palimp.PyReferenceSegment) for conv in segments for msg in conv for s in msg)
        # The ratio over the whole sample: literal bytes plus one per reference.
        kept = sum(len(s.text.encode()) if isinstance(s, palimp.PyLiteralSegment) else 1
                   for conv in segments for msg in conv for s in msg)
        messages = sum(len(conv) for conv in segments)
        print(f"{name:<12}{messages:>9}{literals:>10}{references:>12}{kept / total_bytes:>8.3f}"
              f"{elapsed * 1e3:>9.2f} ms")
        if exact:
            shown = compressed[0]
    last = shown.render(MARKER)[-1]
    print(f"\nthe last message of the first conversation, each reference shown as {MARKER}:\n")
    print(last)


if __name__ == "__main__":
    main()
