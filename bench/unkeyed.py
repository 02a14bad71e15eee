"""Masters beside peers without the key.  Another process (from 127.0.0.2,
another host to the agent) keeps 64 silent
and 64 trickling peers (a byte of a client hello every 0.5 s) connected,
each reconnecting as soon as the agent drops it.  Measured against an idle
round on the same agent: a keyed master's heartbeat every 100 ms (p50, p99,
longest gap between replies) and a new master's connect-to-key time; then
50 masters connecting at once, all keyed."""
import argparse
import multiprocessing
import socket
import statistics
import threading
import time

from common import running_agent
from tls_hello import client_hello

from vemo_master import Session

HEARTBEATS = 100
INTERVAL = 0.1
NEW_MASTERS = 20
BURST = 50
# The attacking host: another loopback address than the masters'.
ELSEWHERE = ("127.0.0.2", 0)


def _peer_slot(port, trickle, stop):
    """One peer slot: connect, stay silent or trickle, reconnect when dropped."""
    hello = client_hello()
    while not stop.is_set():
        try:
            sock = socket.create_connection(("127.0.0.1", port), 5, source_address=ELSEWHERE)
        except OSError:
            stop.wait(0.05)
            continue
        with sock:
            sock.settimeout(0.5)
            at = 0
            while not stop.is_set():
                if trickle:
                    try:
                        sock.sendall(hello[at % len(hello):at % len(hello) + 1])
                    except OSError:
                        break
                    at += 1
                try:
                    if not sock.recv(4096):
                        break
                except socket.timeout:
                    continue
                except OSError:
                    break


def pester(port, silent, trickling, stop):
    threads = [threading.Thread(target=_peer_slot, args=(port, i >= silent, stop), daemon=True)
               for i in range(silent + trickling)]
    for t in threads:
        t.start()
    stop.wait()
    for t in threads:
        t.join(2)


def pct(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def connect_to_key(agent):
    started = time.monotonic()
    with Session("127.0.0.1", agent.port, agent.public_key, timeout=30) as s:
        s.exchange_key()
        elapsed = time.monotonic() - started
        assert s.heartbeat()
    return elapsed


def heartbeat_until(session, done):
    """Heartbeats every INTERVAL until done(count so far): their latencies,
    and the gaps between replies."""
    latencies, gaps = [], []
    last = time.monotonic()
    while not done(len(latencies)):
        sent = time.monotonic()
        assert session.heartbeat()
        now = time.monotonic()
        latencies.append(now - sent)
        gaps.append(now - last)
        last = now
        time.sleep(max(0.0, INTERVAL - (time.monotonic() - sent)))
    return latencies, gaps


def measure(agent):
    """Heartbeat latencies and gaps of one keyed master, and connect-to-key
    times of new masters meanwhile."""
    keyed = agent.session(timeout=30)
    connects, failures = [], []
    done = threading.Event()

    def newcomers():
        while not done.is_set() and len(connects) + len(failures) < NEW_MASTERS:
            try:
                connects.append(connect_to_key(agent))
            except Exception as e:  # noqa: BLE001 - counted
                failures.append(e)
            time.sleep(0.2)

    t = threading.Thread(target=newcomers)
    t.start()
    latencies, gaps = heartbeat_until(keyed, lambda count: count >= HEARTBEATS)
    done.set()
    t.join()
    keyed.close()
    return latencies, gaps, connects, failures


def burst(agent):
    times, failures = [], []

    def one():
        try:
            times.append(connect_to_key(agent))
        except Exception as e:  # noqa: BLE001 - counted
            failures.append(e)

    threads = [threading.Thread(target=one) for _ in range(BURST)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.monotonic() - started, len(times), failures


def report(name, latencies, gaps, connects, failures):
    ms = 1000.0
    print("%-9s heartbeat p50 %6.1f ms  p99 %6.1f ms  longest gap %6.1f ms | "
          "connect-to-key median %6.1f ms  max %6.1f ms (%d keyed, %d failed%s)"
          % (name, statistics.median(latencies) * ms, pct(latencies, 0.99) * ms,
             max(gaps) * ms, statistics.median(connects or [0]) * ms, max(connects or [0]) * ms,
             len(connects), len(failures), (": %r" % failures[0]) if failures else ""))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--silent", type=int, default=64)
    parser.add_argument("--trickling", type=int, default=64)
    args = parser.parse_args()
    with running_agent() as agent:
        report("idle", *measure(agent))
        total, keyed, failures = burst(agent)
        print("idle      %d masters at once: %d keyed, %d failed, all in %.2f s"
              % (BURST, keyed, len(failures), total))
        stop = multiprocessing.Event()
        attackers = multiprocessing.Process(
            target=pester, args=(agent.port, args.silent, args.trickling, stop))
        attackers.start()
        time.sleep(2.0)
        try:
            report("attacked", *measure(agent))
            total, keyed, failures = burst(agent)
            print("attacked  %d masters at once: %d keyed, %d failed, all in %.2f s "
                  "(%d silent + %d trickling peers reconnecting)"
                  % (BURST, keyed, len(failures), total, args.silent, args.trickling))
        finally:
            stop.set()
            attackers.join(10)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
