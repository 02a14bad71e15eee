"""Soak run against one live agent (not part of the pytest run).

    python3 tests/soak/soak.py [--cycles 10000] [--idle 1000] [--hold 5]

1. `cycles` times: connect, key exchange, heartbeat plus a listing or a
   SHA-1 check, close.
2. `idle` connections held open at once (TLS done; every second one also
   keyed), a fresh session served while they are held, then all closed.

The idle set is opened and closed `--idle-rounds` times (default 2).

The agent's descriptor count (/proc/<pid>/fd) and resident memory (VmRSS)
are taken after a warm-up (the baseline), after the cycles, while each
idle set is held and after it is closed.  Descriptors must be back to the
baseline exactly.  Resident memory after the cycles, and after the idle
sets once the agent has run malloc_trim(0) (through the test probe, see
probe.py), may stay up to RSS_SLACK_KIB above the baseline: the first use
of some code paths allocates once (imports, interned strings, OpenSSL
tables).  Without the trim, the ~37 KiB per held connection that the
allocator gets back stays mapped (heap fragmentation), which is why the
untrimmed figure after an idle set is printed but not checked.  Exit
status 0 when every check holds.

Idle connections are opened by `--parallel` threads (default 8), and a
refused or timed-out connect is retried up to RETRIES times; every retry
is counted and printed.  The agent drops connections
idle for an hour (its idle sweep); the hold here is far shorter.
"""
import argparse
import collections
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "master"))
sys.path.insert(0, str(HERE.parent / "support"))

import agent_process  # noqa: E402
import probe as probe_mod  # noqa: E402
from harness import BUILD  # noqa: E402
from vemo_master import Session, files  # noqa: E402

RSS_SLACK_KIB = 8 * 1024
WARMUP_CYCLES = 200
RETRIES = 5
SETTLE_TIMEOUT = 30.0
FD_LIMIT = 8192


MAX_UNKEYED = 256  # the agent's default max_unkeyed


def raise_fd_limit(want=FD_LIMIT):
    """Soft RLIMIT_NOFILE up to `want` (within the hard limit); the agent
    started afterwards inherits it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = want if hard == resource.RLIM_INFINITY else min(want, hard)
    if soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)


def agent_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def agent_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for pid %d" % pid)


def agent_fd_limit(pid):
    with open("/proc/%d/limits" % pid) as f:
        for line in f:
            if line.startswith("Max open files"):
                return int(line.split()[3])
    return None


def settle_fds(pid, expected, timeout=SETTLE_TIMEOUT):
    """Wait (bounded) until the agent holds `expected` descriptors; the
    count last seen."""
    deadline = time.monotonic() + timeout
    while True:
        count = agent_fds(pid)
        if count == expected or time.monotonic() > deadline:
            return count
        time.sleep(0.1)


def make_root(base):
    root = pathlib.Path(base) / "server"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(root / "vemo")],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    side = root / "vemo" / "client-side"
    (side / "data").mkdir(exist_ok=True)
    work = side / "soak"
    work.mkdir()
    for i in range(20):
        (work / ("f%02d.txt" % i)).write_text("line %d\n" % i * (i + 1))
    return root, work


def one_cycle(agent, work, i):
    s = Session("127.0.0.1", agent.port, agent.public_key, timeout=20.0)
    try:
        s.connect()
        s.exchange_key()
        if not s.heartbeat():
            raise AssertionError("heartbeat answered wrongly")
        if i % 2:
            listed = files.list_dir(s, str(work))
            if len(listed["files"]) != 20:
                raise AssertionError("listing has %d files" % len(listed["files"]))
        else:
            target = work / ("f%02d.txt" % (i % 20))
            if not files.sha1_matches(s, str(target), files.local_sha1(str(target))):
                raise AssertionError("sha1 mismatch")
    finally:
        s.close()


def run_cycles(agent, work, count, failures, report_every=1000):
    started = time.monotonic()
    for i in range(count):
        try:
            one_cycle(agent, work, i)
        except Exception as exc:  # counted and reported, the run goes on
            failures[type(exc).__name__] += 1
            if sum(failures.values()) <= 5:
                print("  cycle %d failed: %r" % (i, exc), flush=True)
        if report_every and (i + 1) % report_every == 0:
            print("  %6d cycles, %.0f s, fds %d, rss %d KiB, failures %d" % (
                i + 1, time.monotonic() - started, agent_fds(agent.proc.pid),
                agent_rss_kib(agent.proc.pid), sum(failures.values())), flush=True)
    return time.monotonic() - started


def open_idle(agent, count, parallel):
    """`count` connected sessions (every second one keyed), opened by
    `parallel` threads with bounded retries; (sessions, retries, errors)."""
    sessions = [None] * count
    retries = collections.Counter()
    errors = collections.Counter()
    lock = threading.Lock()
    next_index = [0]

    def worker():
        while True:
            with lock:
                i = next_index[0]
                next_index[0] += 1
            if i >= count:
                return
            for attempt in range(RETRIES + 1):
                s = Session("127.0.0.1", agent.port, agent.public_key, timeout=15.0)
                try:
                    s.connect()
                    if i % 2 == 0:
                        s.exchange_key()
                    sessions[i] = s
                    break
                except Exception as exc:
                    s.close()
                    with lock:
                        if attempt < RETRIES:
                            retries[type(exc).__name__] += 1
                        else:
                            errors[type(exc).__name__] += 1
                    time.sleep(0.05 * (attempt + 1))

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(parallel)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(600)
    return sessions, retries, errors


def probe(agent, code):
    """Run `code` inside the agent (see probe.py)."""
    s = agent.session(timeout=20.0)
    try:
        return probe_mod.probe(s, code)
    finally:
        s.close()


def idle_round(agent, work, opts, round_no, base_fds, checkpoint, checks):
    """Open, hold and close one idle set; the agent's RSS once closed."""
    pid = agent.proc.pid
    tag = "idle round %d" % round_no
    print("%s: opening %d (parallel %d)" % (tag, opts.idle, opts.parallel), flush=True)
    started = time.monotonic()
    sessions, retries, errors = open_idle(agent, opts.idle, opts.parallel)
    held = [s for s in sessions if s is not None]
    keyed = sum(1 for s in held if s.key is not None)
    print("%s: %d held (%d keyed, %d not) in %.1f s; retries %s; gave up %s" % (
        tag, len(held), keyed, len(held) - keyed, time.monotonic() - started,
        dict(retries) or 0, dict(errors) or 0), flush=True)
    # Connections without a key are capped (the oldest go first) and swept
    # when their budget ends; keyed ones stay.
    unkeyed_kept = min(len(held) - keyed, MAX_UNKEYED)
    held_fds = settle_fds(pid, base_fds + keyed + unkeyed_kept)
    checkpoint(tag + " held")
    checks.append((tag + ": all opened", len(held) == opts.idle))
    checks.append((tag + ": one agent fd each keyed, unkeyed capped",
                   base_fds + keyed <= held_fds <= base_fds + keyed + unkeyed_kept))

    fresh_ok = True
    try:
        one_cycle(agent, work, 1)
    except Exception as exc:
        fresh_ok = False
        print("fresh session while idle set held failed: %r" % exc)
    time.sleep(opts.hold)
    alive = 0
    for s in held:
        try:
            if s.key is not None and s.heartbeat():
                alive += 1
        except Exception:
            pass
    print("%s: after %.1f s hold: fresh session %s, %d of %d keyed answer heartbeat" % (
        tag, opts.hold, "served" if fresh_ok else "FAILED", alive, keyed), flush=True)
    checks.append((tag + ": served while held", fresh_ok))
    checks.append((tag + ": keyed ones still served", alive == keyed))

    for s in held:
        s.close()
    settled = settle_fds(pid, base_fds)
    fds, rss = checkpoint(tag + " closed")
    checks.append((tag + ": fds back once closed", settled == base_fds and fds == base_fds))
    return rss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=10000)
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--hold", type=float, default=5.0)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--idle-rounds", type=int, default=2)
    opts = parser.parse_args()

    limit = raise_fd_limit(max(FD_LIMIT, opts.idle * 2 + 256))
    print("client RLIMIT_NOFILE %s" % (limit,))
    base = tempfile.mkdtemp(prefix="vemo-soak-")
    root, work = make_root(base)
    agent = agent_process.start_agent(root, setup=probe_mod.SETUP)
    pid = agent.proc.pid
    print("agent pid %d port %d, its fd limit %s" % (pid, agent.port, agent_fd_limit(pid)))
    checks = []
    table = []

    def checkpoint(name):
        time.sleep(0.5)
        fds, rss = agent_fds(pid), agent_rss_kib(pid)
        table.append((name, fds, rss))
        print("checkpoint %-26s fds %4d  rss %7d KiB" % (name, fds, rss), flush=True)
        return fds, rss

    try:
        checkpoint("start")
        warm = collections.Counter()
        run_cycles(agent, work, WARMUP_CYCLES, warm, report_every=0)
        base_fds, base_rss = checkpoint("baseline (warmed)")

        failures = collections.Counter()
        print("cycles: %d" % opts.cycles, flush=True)
        took = run_cycles(agent, work, opts.cycles, failures)
        settle_fds(pid, base_fds)
        fds, rss = checkpoint("after cycles")
        print("cycles done in %.1f s (%.0f/s), failures %s" % (
            took, opts.cycles / took if took else 0, dict(failures) or 0))
        checks.append(("cycles without failure", not failures and not warm))
        checks.append(("fds back after cycles", fds == base_fds))
        checks.append(("rss within slack after cycles", rss - base_rss <= RSS_SLACK_KIB))

        closed_rss = []
        for round_no in range(1, opts.idle_rounds + 1):
            closed_rss.append(idle_round(agent, work, opts, round_no, base_fds, checkpoint,
                                         checks))
        if len(closed_rss) > 1:
            # Informational: freed TLS buffers stay mapped and fragment the
            # heap, so this moves by some MiB either way; the trimmed
            # figure below is the one checked.
            print("rss after last idle round vs first: %+d KiB" % (closed_rss[-1] - closed_rss[0]))
        # What the allocator still holds but no longer uses goes back to
        # the system; what remains above the baseline would be in use.
        trim = probe(agent, "import ctypes; reply = ctypes.CDLL('libc.so.6').malloc_trim(0)")
        _, rss = checkpoint("after malloc_trim(0)")
        print("malloc_trim answered %s" % trim.decode())
        checks.append(("rss within slack once trimmed", rss - base_rss <= RSS_SLACK_KIB))
        checks.append(("agent still running", agent.proc.poll() is None))
    finally:
        output = agent.stop()
        errors_text = agent.errors()
        shutil.rmtree(base, ignore_errors=True)

    print("\n%-26s %6s %10s %10s" % ("checkpoint", "fds", "rss KiB", "d-rss KiB"))
    for name, fds, rss in table:
        print("%-26s %6d %10d %+10d" % (name, fds, rss, rss - base_rss))
    print("rss slack allowed: %d KiB" % RSS_SLACK_KIB)
    lines = [line for line in output.splitlines() if line.strip() and line.strip() != "exit service"]
    print("agent stdout lines (besides 'exit service'): %d%s" % (
        len(lines), "" if not lines else "; first: %r" % lines[:3]))
    print("agent stderr bytes: %d" % len(errors_text))
    ok = all(result for _, result in checks)
    for name, result in checks:
        print("%-48s %s" % (name, "ok" if result else "FAILED"))
    print("SOAK %s" % ("PASSED" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
