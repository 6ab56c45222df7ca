"""The progress bar of the many-series mode."""

from __future__ import annotations

import math
import sys
import time


class Progress:
    """A one-line progress bar on a stream: series done, rate and time left.

    The work is ``passes`` passes over ``total`` series (one per algorithm ranked, one per future
    forecast); the bar shows the current pass, the time left is that of the whole run. Drawn only
    once the run has lasted ``delay`` seconds and at most every ``interval`` seconds; ``close``
    ends the line when anything was drawn.
    """

    def __init__(
        self,
        total,
        passes=1,
        label="series",
        stream=None,
        enabled=True,
        delay=1.0,
        interval=0.2,
        clock=time.monotonic,
        width=20,
    ):
        self.total, self.passes, self.label = max(0, int(total)), max(1, int(passes)), label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled, self.delay, self.interval = enabled, delay, interval
        self.clock, self.width = clock, width
        self.done = 0  # over all passes
        self.pass_no, self.pass_name, self.pass_start = 0, "", 0
        self.start = clock()
        self.last = None
        self._width_seen = 0

    def begin(self, name: str) -> None:
        """Starts the next pass."""
        self.pass_no += 1
        self.pass_name = name
        self.pass_start = self.done

    def text(self) -> str:
        elapsed = max(1e-9, self.clock() - self.start)
        rate = self.done / elapsed
        in_pass = self.done - self.pass_start
        frac = in_pass / self.total if self.total else 1.0
        filled = int(round(frac * self.width))
        bar = "#" * filled + "-" * (self.width - filled)
        left = self.total * self.passes - self.done
        if left <= 0:
            tail = f"{_duration(elapsed)} in all"
        elif rate > 0:
            tail = f"{_duration(left / rate)} left"
        else:
            tail = "time left unknown"
        stage = f"{self.pass_name} ({self.pass_no}/{self.passes}) " if self.pass_name else ""
        return f"{stage}[{bar}] {in_pass}/{self.total} {self.label}  {rate:.1f}/s  {tail}"

    def update(self, n: int = 1) -> None:
        self.done = min(self.total * self.passes, self.done + n)
        if not self.enabled:
            return
        now = self.clock()
        if now - self.start < self.delay:
            return
        finished = self.done >= self.total * self.passes
        if self.last is not None and now - self.last < self.interval and not finished:
            return
        self.last = now
        # Pad to the terminal's last line length so a shorter line leaves no remnants behind.
        line = self.text()
        self.stream.write("\r" + line.ljust(self._width_seen))
        self._width_seen = len(line)
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self.last is not None:
            self.stream.write("\n")
            self.stream.flush()


def _duration(seconds: float) -> str:
    seconds = int(math.ceil(seconds))
    m, s = divmod(seconds, 60)
    h, m = divmod(m, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"
