"""A one-line progress report on a terminal, nothing anywhere else."""

import time
from typing import TextIO

# Redraws at most this often, in seconds: a terminal is slow to write to.
REDRAW_SECONDS = 0.1
BAR_WIDTH = 20


class Progress:
    """Counts conversations and input bytes; on a terminal, redraws one line
    with the counts, their rates and, when the input size is known, a bar."""

    def __init__(self, stream: TextIO, label: str, total_bytes: int | None) -> None:
        self.stream = stream
        self.enabled = stream.isatty()
        self.label = label
        self.total_bytes = total_bytes
        self.conversations = 0
        self.input_bytes = 0
        self.start = time.perf_counter()
        self.drawn = 0.0

    def add(self, conversations: int, input_bytes: int) -> None:
        self.conversations += conversations
        self.input_bytes += input_bytes
        if self.enabled and time.perf_counter() - self.drawn >= REDRAW_SECONDS:
            self.draw()

    def elapsed(self) -> float:
        return time.perf_counter() - self.start

    def draw(self) -> None:
        self.drawn = time.perf_counter()
        seconds = max(self.elapsed(), 1e-9)
        megabytes = self.input_bytes / 1e6
        bar = ""
        if self.total_bytes:
            fraction = min(self.input_bytes / self.total_bytes, 1.0)
            filled = round(fraction * BAR_WIDTH)
            bar = f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {fraction:4.0%} "
        # \r and "erase to the end of the line": the next draw overwrites this one.
        self.stream.write(f"\r{self.label}: {bar}{self.conversations:,} conversations, {megabytes:,.1f} MB, "
                          f"{self.conversations / seconds:,.0f} conv/s, {megabytes / seconds:,.1f} MB/s\x1b[K")
        self.stream.flush()

    def finish(self) -> None:
        """The last counts, and the line ended."""
        if self.enabled:
            self.draw()
            self.stream.write("\n")
            self.stream.flush()
