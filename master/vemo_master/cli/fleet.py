"""Running one command on many agents at once (--hosts FILE): each host's
result is printed as it ends, and on a terminal one status line shows how
far the fleet is."""
import concurrent.futures
import re
import sys
import threading
import time

from .output import address, error, print_text
from .progress import INTERVAL, human_bytes
from .runner import LocalDigests, run

# Characters kept in per-host directory names; the rest become "_".
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


def per_host_dir(target):
    """Directory name of a host's downloads: <host>_<port>."""
    return _UNSAFE.sub("_", "%s_%d" % (target.host, target.port))


class _HostProgress(object):
    """A transfer's progress, counted into the board's total."""

    def __init__(self, board, key):
        self.board = board
        self.key = key

    def __call__(self, done, total):
        self.board.moved(self.key, done)

    def verifying(self):
        pass

    def finish(self):
        pass


class Board(object):
    """Results as hosts end, and one status line on a terminal stream."""

    def __init__(self, total, quiet, stream=None):
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = bool(isatty and isatty())
        self.quiet = quiet
        self.total = total
        self.lock = threading.Lock()
        self.running = {}
        self.bytes = {}
        self.results = {}
        self.last_draw = 0.0
        self.start = time.monotonic()

    def _line(self):
        failed = sum(1 for r in self.results.values() if not r["ok"])
        return "%d/%d hosts done, %d running, %d not ok, %s moved, %ds" % (
            len(self.results), self.total, len(self.running), failed,
            human_bytes(sum(self.bytes.values())),
            time.monotonic() - self.start)

    def _draw(self, force=False):
        now = time.monotonic()
        if self.enabled and (force or now - self.last_draw >= INTERVAL):
            self.last_draw = now
            self.stream.write("\r" + self._line()[:79] + "\x1b[K")
            self.stream.flush()

    def _clear(self):
        if self.enabled:
            self.stream.write("\r\x1b[K")

    def started(self, index, target):
        with self.lock:
            self.running[index] = target
            self._draw()

    def moved(self, index, done):
        with self.lock:
            self.bytes[index] = done
            self._draw()

    def ended(self, index, document):
        with self.lock:
            self.running.pop(index, None)
            self.results[index] = document
            self._clear()
            if not self.quiet:
                if document["ok"]:
                    print_text(document["text"], prefix=address(
                        document["host"], document["port"]) + ": ")
                else:
                    error(document["error"])
            self._draw(force=True)

    def finish(self):
        with self.lock:
            self._clear()
            if self.enabled:
                self.stream.flush()

    def states(self, targets):
        """Each host's document so far; running and waiting ones too."""
        shown = []
        for index, target in enumerate(targets):
            document = self.results.get(index)
            if document is None:
                state = "interrupted" if index in self.running else (
                    "not started")
                document = {"host": target.host, "port": target.port,
                            "ok": False, "status": state,
                            "bytes": self.bytes.get(index, 0),
                            "seconds": 0.0}
            shown.append(document)
        return shown


def run_all(targets, args, board):
    """Result documents in the order of `targets`; one host's failure
    never stops the others."""
    digests = LocalDigests()

    def one(index, target):
        board.started(index, target)
        document = run(target, args, per_host_dir=per_host_dir(target),
                       local_sha1=digests,
                       progress=lambda label: _HostProgress(board, index))
        board.ended(index, document)
        return document

    pool = concurrent.futures.ThreadPoolExecutor(
        max_workers=min(args.parallel, len(targets)))
    try:
        futures = [pool.submit(one, i, t) for i, t in enumerate(targets)]
        results = [f.result() for f in futures]
    except BaseException:
        # Interrupted: start nothing more; running hosts end with the process.
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    finally:
        board.finish()
    pool.shutdown()
    return results
