"""A one-line progress bar for transfers, drawn on a terminal only."""
import os
import sys
import time

MAX_BAR = 24
MIN_BAR = 5
# Redrawing more often than this only costs time.
INTERVAL = 0.2


def human_bytes(n):
    if n < 1024:
        return "%d B" % n
    n = float(n)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        n /= 1024
        if n < 1024 or unit == "TiB":
            break
    return "%.1f %s" % (n, unit)


def human_seconds(seconds):
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    if hours:
        return "%d:%02d:%02d" % (hours, minutes, seconds)
    return "%d:%02d" % (minutes, seconds)


class Progress(object):
    """Callable as progress(done, total) by the transfer functions.

    The rate counts only bytes moved by this run, so a resumed transfer
    does not look faster than it is. Quiet unless `stream` is a terminal.
    """

    def __init__(self, label, stream=None, enabled=None, clock=time.monotonic,
                 columns=None):
        self.label = label
        self.columns = columns
        self.phase = None
        self.stream = sys.stderr if stream is None else stream
        if enabled is None:
            isatty = getattr(self.stream, "isatty", None)
            enabled = bool(isatty and isatty())
        self.enabled = enabled
        self.clock = clock
        self.start = None
        self.first = 0
        self.last_draw = None
        self.drawn = False
        self.done = 0
        self.total = 0

    def __call__(self, done, total):
        now = self.clock()
        if self.start is None:
            self.start, self.first = now, done
        self.done, self.total = done, total
        if not self.enabled:
            return
        if (self.last_draw is not None and done < total
                and now - self.last_draw < INTERVAL):
            return
        self.last_draw = now
        self._draw(self.line(now))

    def _draw(self, text):
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()
        self.drawn = True

    def _width(self):
        """Columns the line may use: one less than the terminal's, so that
        the cursor never wraps."""
        if self.columns is not None:
            return self.columns - 1
        try:
            return os.get_terminal_size(self.stream.fileno()).columns - 1
        except (OSError, AttributeError, ValueError):
            return 79

    def verifying(self):
        """The bytes are through; the SHA-1 comparison runs."""
        self.phase = "verifying SHA-1"
        if self.enabled and self.start is not None:
            self._draw(self.line(self.clock()))

    def line(self, now):
        total = max(self.total, 1)
        share = min(1.0, self.done / float(total)) if self.total else 1.0
        elapsed = now - self.start
        moved = self.done - self.first
        rate = moved / elapsed if elapsed > 0 else 0.0
        if self.phase is not None:
            left = self.phase
        elif self.done >= self.total:
            left = "done " + human_seconds(elapsed)
        elif rate > 0:
            left = "ETA " + human_seconds((self.total - self.done) / rate)
        else:
            left = "ETA --:--"
        tail = " %3d%% %s/%s %s/s %s" % (
            int(share * 100), human_bytes(self.done), human_bytes(self.total),
            human_bytes(rate), left)
        width = self._width()
        label = self.label
        room = width - len(tail) - len(label) - 3
        if room < MIN_BAR:
            # Narrow pane: the label gives way first, then the bar.
            label = label[:max(0, width - len(tail) - MIN_BAR - 4)]
            room = width - len(tail) - len(label) - 3
        bar = min(MAX_BAR, room)
        if bar < MIN_BAR:
            return (label + tail)[:width]
        filled = int(share * bar)
        return "%s [%s%s]%s" % (label, "#" * filled, " " * (bar - filled),
                                tail)

    def finish(self):
        """Ends the bar's line so that what follows starts on its own."""
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False
