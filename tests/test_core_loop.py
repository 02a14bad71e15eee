"""The listener and the loop: start, sweep, stalls, stop."""
import signal
import socket
import subprocess
import sys
import time

import pytest

import agent_process
import exit_cycle
import probe
from harness import agent_env
from probe import probe_value

SHORT_BOUNDS = "a.handshake_timeout = 1.0\na.io_timeout = 1.0\n"


def test_interrupt_while_waiting_ends_run_with_exit_service(agent):
    assert agent.session().heartbeat()
    agent.proc.send_signal(signal.SIGINT)
    assert agent.proc.wait(10) == 0
    assert agent.output().strip().endswith("exit service")


# A thread of the agent's process sends SIGTERM to itself once the test
# asks: the signal lands on a thread that is not the loop's.
TERMINATE_FROM_A_THREAD = """
import os, signal, threading, time
def _terminate_when_asked():
    while not os.path.exists("terminate-now"):
        time.sleep(0.05)
    signal.pthread_kill(threading.get_ident(), signal.SIGTERM)
threading.Thread(target=_terminate_when_asked, daemon=True).start()
"""


def test_sigterm_on_another_thread_ends_run_like_an_interrupt(server_root):
    agent = agent_process.start_agent(server_root, setup=TERMINATE_FROM_A_THREAD)
    try:
        assert agent.session().heartbeat()
        (agent.install_dir / "terminate-now").touch()
        assert agent.proc.wait(10) == 0
    finally:
        agent.stop()
    assert agent.output().strip().endswith("exit service")
    assert "Traceback" not in agent.errors() + agent.output()


EXIT_CYCLES = 20
# Often enough that the task-queue thread is sometimes woken while the
# interpreter is being torn down, seldom enough that it is not always
# ended before the teardown starts.
TASK_QUEUE_POLL = 0.05


def test_repeated_interrupts_after_sessions_all_exit_cleanly(server_root):
    # The exit once died of SIGSEGV now and then: the worker thread was
    # ended by the interpreter's teardown with C++ frames on its stack.
    dirs = exit_cycle.prepare(server_root, TASK_QUEUE_POLL)
    outcomes = [exit_cycle.cycle(server_root, i, dirs) for i in range(EXIT_CYCLES)]
    bad = [(i, o.kind, o.detail) for i, o in enumerate(outcomes) if o.kind != "clean"]
    assert not bad


@pytest.mark.parametrize("port_text, error", [
    (None, "data/port.pl"), ("not a port", "invalid literal")])
def test_unusable_port_file_fails_run(server_root, port_text, error):
    cs = server_root / "vemo" / "client-side"
    port_file = cs / "data" / "port.pl"
    if port_text is None:
        port_file.unlink()  # the install writes the default port
    else:
        port_file.write_text(port_text)
    proc = subprocess.run(
        [sys.executable, "-c", "import client; client.zq_vemo_client().run()"],
        cwd=str(cs), env=agent_env(server_root), capture_output=True, text=True, timeout=30)
    assert proc.returncode != 0
    assert error in proc.stderr


def test_stalled_handshake_is_dropped_within_the_bound(server_root):
    running = agent_process.start_agent(server_root, setup=SHORT_BOUNDS)
    try:
        with socket.create_connection(("127.0.0.1", running.port), 5) as stalled:
            time.sleep(0.2)  # the agent is now inside the handshake
            started = time.monotonic()
            assert running.session(timeout=10).heartbeat()
            assert time.monotonic() - started < 5
            assert stalled.recv(1) == b""  # dropped by the agent
        assert "timed out" in running.output()
    finally:
        running.stop()


def test_stalled_half_frame_does_not_hold_other_clients(server_root):
    running = agent_process.start_agent(server_root, setup=SHORT_BOUNDS)
    try:
        stalled = running.session()
        stalled.sock.sendall(b"\x00\x01")  # 2 of the 5 header bytes
        time.sleep(0.2)
        started = time.monotonic()
        assert running.session(timeout=10).heartbeat()
        assert time.monotonic() - started < 5
    finally:
        running.stop()


def test_idle_sweep_forgets_old_connections_entirely(server_root):
    running = agent_process.start_agent(server_root, setup=probe.SETUP)
    try:
        old, recent, watcher = (running.session() for _ in range(3))
        old_fd = probe_value(old, "reply = fd")
        recent_fd = probe_value(recent, "reply = fd")
        # A heartbeat is read only once the loop has taken the probe's end
        # back, which marks the connection active: only then is it aged.
        assert old.heartbeat() and recent.heartbeat()
        probe_value(watcher, "import time\nnow = time.time()\n"
                    "a.timeouts[%d] = now - 3600\na.timeouts[%d] = now - 3599\nreply = 0"
                    % (old_fd, recent_fd))
        fresh = running.session()  # its accept runs the sweep
        state = probe_value(watcher, (
            "reply = [%d in a.connections, %d in a.addresses, %d in a.passwords, %d in a.timeouts,"
            " %d in a.connections]" % (old_fd, old_fd, old_fd, old_fd, recent_fd)))
        assert state == [False, False, False, False, True]
        assert old.sock.recv(1) == b""
        assert recent.heartbeat() and fresh.heartbeat()
        # A new connection on the swept number finds no key.
        reused = agent_process.Session("127.0.0.1", running.port, running.public_key)
        reused.connect()
        reused.key = b"k" * 32  # what a master holding the swept key might try
        reused.send_frame(probe.MsgType.HEARTBEAT)
        with pytest.raises((ConnectionError, OSError)):
            reused.recv_reply()
        reused.close()
    finally:
        running.stop()


def test_every_way_out_leaves_nothing_behind(server_root):
    # A frame stalled halfway, a peer that hangs up, a handshake that never
    # starts, and one evicted for a newer connection without a key.
    bounds = "a.handshake_timeout = 1.0\na.io_timeout = 1.0\na.max_unkeyed = 1\n"
    running = agent_process.start_agent(server_root, setup=probe.SETUP + bounds)
    try:
        watcher, stalled, leaving = (running.session() for _ in range(3))
        stalled.sock.sendall(b"\x00\x01")  # 2 of the 5 header bytes
        leaving.close()
        with socket.create_connection(("127.0.0.1", running.port), 10) as evicted, \
                socket.create_connection(("127.0.0.1", running.port), 10) as silent:
            assert evicted.recv(1) == b""
            assert silent.recv(1) == b""
        assert stalled.sock.recv(1) == b""
        me = probe_value(watcher, "reply = fd")
        keys = probe_value(watcher, "reply = [sorted(t) for t in (a.connections, a.addresses,"
                           " a.passwords, a.timeouts)]")
        assert keys == [[me]] * 4
    finally:
        running.stop()


def test_close_removes_every_table_entry_and_is_idempotent(probed_agent):
    s = probed_agent.session()
    other = probed_agent.session()
    fd = probe_value(s, "reply = fd")
    # Requests run beside the loop: a close asked for there hangs the
    # connection up at once, and the loop forgets it.
    probe_value(other, "a.on_close(%d)\na.on_close(%d)\nreply = 0" % (fd, fd))
    assert s.sock.recv(1) == b""
    deadline = time.monotonic() + 5
    while True:
        state = probe_value(other, "reply = [%d in t for t in (a.connections, a.addresses,"
                            " a.passwords, a.timeouts)]" % fd)
        if state == [False, False, False, False] or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert state == [False, False, False, False]
