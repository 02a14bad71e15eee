"""A one-line progress bar for transfers, drawn on a terminal only."""
import sys
import time

WIDTH = 24
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

    def __init__(self, label, stream=None, enabled=None, clock=time.monotonic):
        self.label = label
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
        self.stream.write("\r" + self.line(now) + "\x1b[K")
        self.stream.flush()
        self.drawn = True

    def line(self, now):
        total = max(self.total, 1)
        share = min(1.0, self.done / float(total)) if self.total else 1.0
        filled = int(share * WIDTH)
        elapsed = now - self.start
        moved = self.done - self.first
        rate = moved / elapsed if elapsed > 0 else 0.0
        if self.done >= self.total:
            left = "done " + human_seconds(elapsed)
        elif rate > 0:
            left = "ETA " + human_seconds((self.total - self.done) / rate)
        else:
            left = "ETA --:--"
        return "%s %3d%% [%s%s] %s/%s %s/s %s" % (
            self.label, int(share * 100), "#" * filled, " " * (WIDTH - filled),
            human_bytes(self.done), human_bytes(self.total),
            human_bytes(rate), left)

    def finish(self):
        """Ends the bar's line so that what follows starts on its own."""
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
            self.drawn = False
