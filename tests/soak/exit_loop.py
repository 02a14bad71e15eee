"""Exit soak: start an agent, run a short session, interrupt it; N times.

    python3 tests/soak/exit_loop.py [-n 300] [--load 2] [--jobs 1] [--poll 0.05] [--keep-cores]

Each cycle starts a real agent on its own copy of the installed tree, runs
a short session against it (heartbeats, a small and a large directory
listing, a plugin call that raises, a missing plugin) and sends SIGINT,
sometimes with the session still open.  An exit is clean when the agent
printed "exit service" last and ended with status 0; anything else (a
signal, another status, no "exit service", no end within the bound) is
counted as a failure and its tail of output is printed.

`--load K` keeps K busy-looping processes running for the whole run: the
exit faults this catches depend on thread timing and show up far more
often on a loaded machine.  `--jobs J` runs J cycles at once.  `--poll S`
records the task-queue worker with a poll period of S seconds (default
0.05; 0 leaves it its own 1 s): the worker thread then wakes often enough
to be caught by the interpreter's teardown in a fair share of the exits,
where its own period makes that rare.  Core files are allowed
(RLIMIT_CORE); when the kernel writes them into the agent's working
directory, `--keep-cores` keeps and lists them, otherwise they go with the
cycle's root.  Exit status 0 when every exit was clean.
"""
import argparse
import collections
import multiprocessing
import os
import pathlib
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "master"))
sys.path.insert(0, str(HERE.parent / "support"))

import exit_cycle  # noqa: E402
from harness import BUILD  # noqa: E402


def busy():
    while True:
        pass


def install(base):
    tree = pathlib.Path(base) / "installed"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(tree / "vemo")],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    return tree


def run_one(tree, base, i, opts):
    root = pathlib.Path(base) / ("server-%d" % i)
    shutil.copytree(str(tree), str(root), symlinks=True)
    try:
        outcome = exit_cycle.cycle(root, i, exit_cycle.prepare(root, opts.poll or None))
        side = root / "vemo" / "client-side"
        cores = sorted(p for p in side.glob("core*") if p.is_file())
        if cores and opts.keep_cores:
            kept = pathlib.Path(base).parent / ("exit-loop-core-%d-%d" % (os.getpid(), i))
            shutil.move(str(cores[0]), str(kept))
            outcome = outcome._replace(detail=outcome.detail + "\ncore kept: %s" % kept)
        return outcome
    finally:
        shutil.rmtree(str(root), ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=300, help="cycles")
    parser.add_argument("--load", type=int, default=0, help="busy-loop processes")
    parser.add_argument("--jobs", type=int, default=1, help="cycles at once")
    parser.add_argument("--poll", type=float, default=0.05,
                        help="task-queue poll period (s); 0: the worker's own")
    parser.add_argument("--keep-cores", action="store_true")
    opts = parser.parse_args()

    # An agent started from a background job would inherit an ignored
    # SIGINT and never see the interrupt this loop is about.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    _, hard = resource.getrlimit(resource.RLIMIT_CORE)
    resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))
    loaders = [multiprocessing.Process(target=busy, daemon=True) for _ in range(opts.load)]
    for p in loaders:
        p.start()

    counts = collections.Counter()
    lock = threading.Lock()
    next_cycle = [0]
    base = tempfile.mkdtemp(prefix="vemo-exit-loop-")
    try:
        tree = install(base)

        def worker():
            while True:
                with lock:
                    i = next_cycle[0]
                    next_cycle[0] += 1
                if i >= opts.n:
                    return
                try:
                    outcome = run_one(tree, base, i, opts)
                except Exception as exc:  # a cycle that could not run is counted too
                    outcome = exit_cycle.Outcome("error", repr(exc))
                with lock:
                    counts[outcome.kind] += 1
                    if outcome.kind != "clean":
                        print("cycle %d: %s\n%s" % (i, outcome.kind, outcome.detail), flush=True)
                    done = sum(counts.values())
                    if done % 25 == 0:
                        print("  %d/%d cycles: %s" % (done, opts.n, dict(counts)), flush=True)

        threads = [threading.Thread(target=worker) for _ in range(opts.jobs)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        for p in loaders:
            p.terminate()
        shutil.rmtree(base, ignore_errors=True)

    bad = opts.n - counts["clean"]
    print("exits: %d clean, %d not clean of %d (load %d, jobs %d, poll %s): %s" % (
        counts["clean"], bad, opts.n, opts.load, opts.jobs, opts.poll or "own",
        dict(counts)), flush=True)
    return 0 if bad == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
