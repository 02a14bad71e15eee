"""Peers without the key never make the loop wait: silent sockets, half
and trickled handshakes and port checks sit beside masters that are served
at once, with the agent's own (long) handshake bound in force."""
import socket
import subprocess
import threading
import time

import pytest

import agent_process
from tls_hello import client_hello

# Peers without the key come from another address than the masters, as an
# attacker's host would.
ELSEWHERE = ("127.0.0.2", 0)

# The agent's handshake bound is 10 s: a master that had to wait behind
# even one stalled peer would take that long.  This is far below it and
# far above a connect on a loaded machine.
ANSWERED_WITHIN = 5.0


def keyed_in_time(agent):
    started = time.monotonic()
    s = agent.session(timeout=ANSWERED_WITHIN)
    assert s.heartbeat()
    return time.monotonic() - started


def raw_peer(agent):
    return socket.create_connection(("127.0.0.1", agent.port), 5, source_address=ELSEWHERE)


def trickle_forever(sock, stop):
    hello = client_hello()
    i = 0
    while not stop.is_set() and i < len(hello):
        try:
            sock.sendall(hello[i:i + 1])
        except OSError:
            return
        i += 1
        stop.wait(0.2)


@pytest.fixture
def stallers(agent):
    """Silent sockets, half client hellos and trickled ones, all open."""
    stop = threading.Event()
    socks, threads = [], []
    hello = client_hello()
    for i in range(12):
        sock = raw_peer(agent)
        socks.append(sock)
        if i % 3 == 1:
            sock.sendall(hello[:len(hello) // 2])
        elif i % 3 == 2:
            t = threading.Thread(target=trickle_forever, args=(sock, stop))
            t.start()
            threads.append(t)
    yield socks
    stop.set()
    for t in threads:
        t.join()
    for sock in socks:
        sock.close()


def test_masters_are_served_beside_peers_that_never_finish(agent, stallers):
    keyed = agent.session(timeout=ANSWERED_WITHIN)
    for _ in range(3):
        # A new master and one keyed before: neither waits for a staller.
        assert keyed_in_time(agent) < ANSWERED_WITHIN
        assert keyed.heartbeat()
        stallers.append(raw_peer(agent))


def test_a_burst_of_masters_all_get_their_keys(agent, stallers):
    results = []

    def one():
        try:
            results.append(keyed_in_time(agent))
        except Exception as e:  # noqa: BLE001 - counted below
            results.append(e)

    threads = [threading.Thread(target=one) for _ in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failures = [r for r in results if isinstance(r, Exception)]
    assert not failures and len(results) == 50


def reconnect_until(stop, port):
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), 5, source_address=ELSEWHERE) as sock:
                sock.recv(1)  # until the agent drops it to make room
        except OSError:
            pass


def test_a_host_that_keeps_reconnecting_only_displaces_itself(server_root):
    agent = agent_process.start_agent(server_root, setup="a.max_unkeyed = 8")
    stop = threading.Event()
    threads = [threading.Thread(target=reconnect_until, args=(stop, agent.port)) for _ in range(16)]
    try:
        for t in threads:
            t.start()
        time.sleep(0.5)
        failed = 0
        for _ in range(20):
            try:
                keyed_in_time(agent)
            except Exception:  # noqa: BLE001 - counted
                failed += 1
        assert failed == 0
    finally:
        stop.set()
        agent.stop()
        for t in threads:
            t.join()


def test_port_checks_cost_at_most_one_short_line(agent):
    for _ in range(20):
        raw_peer(agent).close()
    for _ in range(5):
        sock = raw_peer(agent)
        sock.sendall(b"GET / HTTP/1.0\r\n\r\n")
        sock.recv(100)
        sock.close()
    # Served after all of them, so all of them have been seen.
    assert agent.session().heartbeat()
    output = agent.output()
    assert "Traceback" not in output
    before_key = [line for line in output.splitlines() if line.startswith("before the key")]
    assert len(before_key) <= 1


def test_listen_backlog_has_room_for_many_masters(agent):
    # For a listening socket, ss shows the backlog as Send-Q.
    out = subprocess.run(["ss", "-ltnH", "sport = :%d" % agent.port],
                         capture_output=True, text=True, check=True).stdout.split()
    assert out[0] == "LISTEN" and int(out[2]) >= 128
