# A one-line progress bar on a text stream, for runs long enough to need one.
# It is drawn only where the caller asks; nothing here decides whether to show it.
from __future__ import annotations

import time
from typing import TextIO

_WIDTH = 30


class Progress:
    """Redraws ``label done/total [###---] pct elapsed`` in place, at most ten times a second."""

    def __init__(self, total: int, label: str, stream: TextIO | None) -> None:
        self._total = max(total, 0)
        self._label = label
        self._stream = stream
        self._done = 0
        self._start = time.monotonic()
        self._last_draw = 0.0
        self._drawn = -1

    def advance(self, count: int) -> None:
        self._done = min(self._done + count, self._total)
        now = time.monotonic()
        if now - self._last_draw >= 0.1 or self._done == self._total:
            self._last_draw = now
            self._draw(now)

    def close(self) -> None:
        if self._stream is not None:
            if self._drawn != self._done:
                self._draw(time.monotonic())
            self._stream.write("\n")
            self._stream.flush()

    def _draw(self, now: float) -> None:
        if self._stream is None:
            return
        self._drawn = self._done
        share = self._done / self._total if self._total else 1.0
        filled = int(share * _WIDTH)
        bar = "#" * filled + "-" * (_WIDTH - filled)
        self._stream.write(f"\r{self._label} {self._done}/{self._total} [{bar}] {share:4.0%} {now - self._start:6.1f}s")
        self._stream.flush()
