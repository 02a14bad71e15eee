"""Kill the agent with SIGKILL in the middle of resumable uploads.

Every upload (a random-size file, a few hundred KB to a few MB, half of
them over an existing target) is interrupted once by a SIGKILL from a timer
thread: half the kills at a random moment of the whole exchange, half when
the agent's temp file has reached a random share of the file. The agent is
then restarted on the same server root and port and the upload resumed with
the master library. An observer thread reads the target all along: it must
never hold anything but the old content or the whole new content.

    VEMO_TEST_BUILD=<build dir> python3 tests/soak/kill_uploads.py [-n 100]

Prints what it tried and what survived; exits non-zero on any mismatch.
"""
import argparse
import collections
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

TESTS = pathlib.Path(__file__).resolve().parents[1]
for path in (TESTS / "support", TESTS.parent / "master"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import agent_process  # noqa: E402
from harness import BUILD  # noqa: E402
from raw_transfer import TEMP, sha1  # noqa: E402
from vemo_master import VemoError, transfer  # noqa: E402

MIN_SIZE = 200 * 1024
MAX_SIZE = 4 * 1024 * 1024
SESSION_TIMEOUT = 30.0


def file_sha1(path):
    try:
        with open(str(path), "rb") as f:
            return sha1(f.read())
    except FileNotFoundError:
        return None


class TargetWatch(object):
    """Reads `path` over and over from a thread; a digest (None: no file)
    not in `allowed` is recorded as a violation."""

    def __init__(self, path, allowed):
        self.path = path
        self.allowed = allowed
        self.seen = []
        self.reads = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(0.02):
            digest = file_sha1(self.path)
            self.reads += 1
            if digest not in self.allowed:
                self.seen.append(digest)

    def stop(self):
        self._stop.set()
        self._thread.join(10)
        return self.seen


class Killer(object):
    """SIGKILLs the agent after `delay` seconds, as soon as `temp` holds
    `at_bytes` bytes (polled), or once the upload is over, whichever comes
    first."""

    def __init__(self, agent, delay, temp, at_bytes=None):
        self.agent, self.delay = agent, delay
        self.temp, self.at_bytes = temp, at_bytes
        self.upload_over = threading.Event()
        self.temp_size_at_kill = None
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _reached(self):
        try:
            return os.stat(str(self.temp)).st_size >= self.at_bytes
        except FileNotFoundError:
            return False

    def _run(self):
        deadline = time.monotonic() + self.delay
        poll = 0.0005 if self.at_bytes is not None else None
        while not (self.at_bytes is not None and self._reached()):
            left = deadline - time.monotonic()
            if left <= 0 or self.upload_over.wait(min(left, poll or left)):
                break
        self.agent.proc.kill()
        self.agent.proc.wait(10)
        try:
            self.temp_size_at_kill = os.stat(str(self.temp)).st_size
        except FileNotFoundError:
            self.temp_size_at_kill = None

    def join(self):
        self.upload_over.set()
        self._thread.join(SESSION_TIMEOUT)


def upload(agent, src, target_dir, name):
    session = agent.session(timeout=SESSION_TIMEOUT)
    try:
        return transfer.upload(session, str(src), str(target_dir), name)
    finally:
        session.close()


def calibrate(agent, work, rng):
    """Seconds a whole upload of MAX_SIZE takes here, key exchange included."""
    src = work / "calibration.bin"
    src.write_bytes(rng.randbytes(MAX_SIZE))
    times = []
    for i in range(3):
        started = time.monotonic()
        upload(agent, src, work / "calibration", "c%d.bin" % i)
        times.append(time.monotonic() - started)
    return min(times)


def kill_uploads(root, work, uploads, seed=None, log=print):
    """Runs `uploads` uploads against an agent serving `root`, killing it
    once during each; returns a Counter of what happened."""
    rng = random.Random(seed)
    work = pathlib.Path(work)
    targets = work / "targets"
    counts = collections.Counter()
    agent = agent_process.start_agent(root)
    port = agent.port
    try:
        full_time = calibrate(agent, work, rng)
        log("calibration: %d bytes in %.3f s" % (MAX_SIZE, full_time))
        for i in range(uploads):
            size = rng.randint(MIN_SIZE, MAX_SIZE)
            content = rng.randbytes(size)
            src = work / "src.bin"
            src.write_bytes(content)
            name = "f%03d.bin" % i
            target = targets / name
            # Before the new content is in place the target is missing, or
            # holds all of its old content.
            allowed = {sha1(content), None}
            if i % 2:
                targets.mkdir(parents=True, exist_ok=True)
                old = rng.randbytes(rng.randint(1, MAX_SIZE))
                target.write_bytes(old)
                allowed = {sha1(content), sha1(old)}
            watch = TargetWatch(target, allowed)
            temp = targets / (name + TEMP)
            if i % 4 < 2:
                delay = rng.uniform(0, full_time * size / MAX_SIZE)
                killer = Killer(agent, delay, temp)
                aim = "after %.3f s" % delay
                counts["kills at a random moment"] += 1
            else:
                at_bytes = rng.randint(1, size)
                killer = Killer(agent, SESSION_TIMEOUT, temp, at_bytes)
                aim = "at byte %d" % at_bytes
                counts["kills at a random byte count"] += 1
            counts["uploads"] += 1
            try:
                upload(agent, src, targets, name)
                counts["uploads finished before the kill"] += 1
                outcome = "finished first"
            except (OSError, VemoError) as e:
                counts["uploads cut by the kill"] += 1
                outcome = "cut (%s)" % type(e).__name__
            killer.join()
            agent.stop()
            counts["kills"] += 1
            if killer.temp_size_at_kill:
                counts["kills leaving a partial temp file"] += 1
            if file_sha1(target) not in allowed:
                counts["partial or lost targets after a kill"] += 1

            agent = agent_process.start_agent(root, port=port)
            counts["restarts"] += 1
            try:
                result = upload(agent, src, targets, name)
                resumed = "in place" if result.skipped else "from %d" % result.offset
            except (OSError, VemoError) as e:
                counts["failed resumes"] += 1
                result, resumed = None, "failed: %r" % e
            if result is None:
                pass
            elif result.skipped:
                counts["resumes finding the file in place"] += 1
            elif result.offset:
                counts["resumes from an offset"] += 1
                if result.offset != killer.temp_size_at_kill:
                    counts["resumes not from the kept bytes"] += 1
            else:
                counts["resumes from the start"] += 1
            log("upload %d: %d bytes, kill %s: %s, temp %s at the kill, resumed %s"
                % (i, size, aim, outcome, killer.temp_size_at_kill, resumed))
            violations = watch.stop()
            counts["target reads"] += watch.reads
            counts["partial or lost targets observed"] += len(violations)
            if file_sha1(target) != sha1(content):
                counts["mismatches"] += 1
                log("upload %d: target differs from the source" % i)
            if temp.exists():
                counts["temp files left after the resume"] += 1
    finally:
        agent.stop()
    return counts


FAILURES = ("mismatches", "failed resumes", "partial or lost targets after a kill",
            "partial or lost targets observed", "temp files left after the resume",
            "resumes not from the kept bytes")


def install_root(base):
    root = pathlib.Path(base) / "server"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(root / "vemo")],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
    return root


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--uploads", type=int, default=100)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    base = pathlib.Path(tempfile.mkdtemp(prefix="kill-uploads-"))
    try:
        root = install_root(base)
        work = base / "work"
        work.mkdir()
        print("build %s, seed %d, %d uploads" % (BUILD, seed, args.uploads), flush=True)
        started = time.monotonic()
        counts = kill_uploads(root, work, args.uploads, seed,
                              log=lambda text: print(text, flush=True))
        for key in sorted(set(counts) | set(FAILURES)):
            print("%-40s %d" % (key, counts[key]))
        print("elapsed %.1f s" % (time.monotonic() - started))
        failed = any(counts[key] for key in FAILURES)
        print("FAILED" if failed else "OK")
        return 1 if failed else 0
    finally:
        shutil.rmtree(str(base), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
