"""What the Python-run `kelvo` commands (batch, ros2) share: exit statuses,
NAME=VALUE controls and the progress line on standard error."""

from __future__ import annotations

import time
from typing import List

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class _Usage(Exception):
    pass


def _controls(items: List[str]) -> dict:
    out = {}
    for text in items:
        name, eq, value = text.partition("=")
        try:
            if not eq or not name:
                raise ValueError
            out[name] = int(value)
        except ValueError:
            raise _Usage(f"--set expects NAME=VALUE with an integer value; got '{text}'")
    return out


class _Progress:
    """One line on a terminal, redrawn at most a few times a second; a line
    every few seconds otherwise."""

    def __init__(self, stream, label: str = "kelvo batch"):
        self._stream = stream
        self._label = label
        self._tty = stream.isatty()
        self._t0 = time.monotonic()
        self._last = 0.0

    def __call__(self, done: int, expected: int):
        now = time.monotonic()
        if now - self._last < (0.25 if self._tty else 5.0) and done < expected:
            return
        self._last = now
        fps = done / (now - self._t0) if now > self._t0 else 0.0
        pct = 100.0 * done / expected if expected else 100.0
        line = f"{self._label}: {done}/{expected} frames ({pct:.0f} %), {fps:.1f} fps"
        self._stream.write(("\r" + line) if self._tty else line + "\n")
        self._stream.flush()

    def close(self):
        if self._tty and self._last:
            self._stream.write("\n")
