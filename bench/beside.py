"""No master waits for another.  Master A runs one long operation at a time
(bench/long_operations.py); meanwhile master B heartbeats every 100 ms on
its own connection and master C connects fresh (TLS and key exchange) again
and again.  Each row prints the medians over --rounds of B's heartbeat p50,
p99 and longest gap between replies, C's connect-to-key median and maximum,
and A's own time, against an idle round on the same agent.

With --against BUILD, every round also runs A's operation on an agent of
that build (the main before the change), side by side, and prints A's time
as a ratio of the two medians.  With --silent/--trickling, peers without the
key (from another loopback address, reconnecting when dropped) pester the
agent under test through every row."""
import argparse
import math
import contextlib
import multiprocessing
import pathlib
import statistics
import tempfile
import time

import long_operations
import unkeyed
from common import running_agent
from unkeyed import connect_to_key, heartbeat_until, pct

NAN = math.nan


def _master_a(agent, operation, scratch, busy, out):
    took = None
    try:
        a = agent.session(timeout=60)
        started = time.monotonic()
        if operation:
            operation(agent, a, scratch)
        else:
            time.sleep(long_operations.PAUSE)
        took = time.monotonic() - started
        a.close()
    finally:
        busy.clear()
        out.put(("a", took))


def _master_b(agent, busy, out):
    b = agent.session(timeout=60)
    out.put(("b", heartbeat_until(b, lambda count: not busy.is_set())))
    b.close()


def _master_c(agent, busy, out):
    connects = []
    while busy.is_set():
        connects.append(connect_to_key(agent))
        time.sleep(0.1)
    out.put(("c", connects))


def one_round(agent, operation, scratch, alone=False):
    """(A's seconds, B p50, B p99, B longest gap, C median, C max), with A,
    B and C each a process of its own; B and C left out when `alone`."""
    fork = multiprocessing.get_context("fork")
    busy, out = fork.Event(), fork.Queue()
    busy.set()
    masters = [fork.Process(target=_master_a, args=(agent, operation, scratch, busy, out))]
    if not alone:
        masters += [fork.Process(target=_master_b, args=(agent, busy, out)),
                    fork.Process(target=_master_c, args=(agent, busy, out))]
    for m in masters:
        m.start()
    results = dict(out.get(timeout=600) for _ in masters)
    for m in masters:
        m.join(10)
    if results["a"] is None:
        raise RuntimeError("A's operation failed: its traceback is above")
    # An agent that holds every connection for A's operation may answer B
    # and C not at all before A ends.
    (latencies, gaps), connects = results.get("b", ([], [])), results.get("c", [])
    latencies, gaps, connects = latencies or [NAN], gaps or [NAN], connects or [NAN]
    return (results["a"], statistics.median(latencies), pct(latencies, 0.99), max(gaps),
            statistics.median(connects), max(connects))


def row(name, rounds, before=None):
    medians = [statistics.median(r[i] for r in rounds) for i in range(6)]
    ms = [value * 1000.0 for value in medians[1:]]
    line = ("%-22s A %6.2f s | B p50 %5.1f p99 %6.1f gap %6.1f ms | C median %5.1f max %6.1f ms"
            % ((name, medians[0]) + tuple(ms)))
    if before:
        a_before = statistics.median(r[0] for r in before)
        line += " | before: A %6.2f s, ratio %.2f" % (a_before, medians[0] / a_before)
    print(line, flush=True)


def prepared(stack, build=None):
    kwargs = {"build": pathlib.Path(build)} if build else {}
    agent = stack.enter_context(running_agent(**kwargs))
    scratch = stack.enter_context(tempfile.TemporaryDirectory(prefix="vemo-beside-"))
    long_operations.prepare(agent, scratch)
    return agent, scratch


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--against", metavar="BUILD", help="build directory of the main before")
    parser.add_argument("--silent", type=int, default=0)
    parser.add_argument("--trickling", type=int, default=0)
    parser.add_argument("--only", nargs="*", help="operation names to run")
    parser.add_argument("--alone", action="store_true",
                        help="A only, without B and C: the operation's own time")
    args = parser.parse_args()
    operations = [None] + [op for op in long_operations.OPERATIONS
                           if not args.only or op.__name__ in args.only]
    with contextlib.ExitStack() as stack:
        agent, scratch = prepared(stack)
        old = prepared(stack, args.against) if args.against else None
        stop = multiprocessing.Event()
        if args.silent + args.trickling:
            attackers = multiprocessing.Process(
                target=unkeyed.pester, args=(agent.port, args.silent, args.trickling, stop))
            attackers.start()
            stack.callback(attackers.join, 10)
            stack.callback(stop.set)
            time.sleep(2.0)
            print("%d silent + %d trickling peers without the key" % (args.silent, args.trickling))
        for operation in operations:
            now, before = [], []
            for _ in range(args.rounds):
                now.append(one_round(agent, operation, scratch, args.alone))
                if old:
                    before.append(one_round(old[0], operation, old[1], args.alone))
            row(operation.__name__ if operation else "idle", now, before)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
