"""A progress bar on stderr for long runs, for the command line and for the
library's long calls (``locate_file(..., progress=True)`` where tqdm is not
installed).

It appears only when the stream is a terminal and the work has already taken
``delay`` seconds, so quick runs, pipes and files see nothing.
"""

from __future__ import annotations

import sys
import time
from typing import Optional, TextIO

_WIDTH = 30


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Progress:
    """A bar for ``total`` steps: call :meth:`update` with the steps done and
    :meth:`close` at the end (or use it as a context manager). Without a
    ``total`` (None) it counts the steps done."""

    def __init__(self, total: Optional[int], label: str, stream: Optional[TextIO] = None,
                 delay: float = 2.0, enabled: Optional[bool] = None) -> None:
        self.total = None if total is None else max(int(total), 1)
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = _is_terminal(self.stream) if enabled is None else enabled
        self.delay = delay
        self._started = time.monotonic()
        self._drawn_at = None  # type: Optional[float]
        self._line_length = 0

    def update(self, done: int) -> None:
        """Redraw for ``done`` steps (at most ten times a second, and only after
        ``delay`` seconds on a terminal)."""
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._started < self.delay:
            return
        if self._drawn_at is not None and now - self._drawn_at < 0.1:
            return
        self._drawn_at = now
        if self.total is None:
            self._draw("%s  %d" % (self.label, done))
            return
        fraction = min(max(done / self.total, 0.0), 1.0)
        filled = int(fraction * _WIDTH)
        elapsed = now - self._started
        eta = elapsed * (1 - fraction) / fraction if fraction > 0 else 0.0
        line = "%s [%s%s] %3d%%  %d/%d  %ds left" % (
            self.label, "#" * filled, "." * (_WIDTH - filled), fraction * 100, done,
            self.total, eta + 0.5)
        self._draw(line)

    def _draw(self, line: str) -> None:
        self._line_length = max(self._line_length, len(line))
        self.stream.write("\r" + line.ljust(self._line_length))
        self.stream.flush()

    def close(self) -> None:
        """Clear the bar's line, if one was drawn."""
        if self._drawn_at is not None:
            self.stream.write("\r" + " " * self._line_length + "\r")
            self.stream.flush()
            self._drawn_at = None

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
