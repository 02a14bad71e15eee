"""What a test sees of a connection to the agent and of the agent's
descriptors: replies in step, a connection the agent ended, a descriptor
count that has settled."""
import os
import socket
import time

import pytest

SETTLE_WITHIN = 5.0


def assert_in_step(session, agent=None):
    """The next frame is read where it starts: one heartbeat, one reply,
    and nothing else arrives (nor, given the agent, a traceback in its
    output)."""
    assert session.heartbeat()
    session.sock.settimeout(0.3)
    with pytest.raises(socket.timeout):
        session.sock.recv(1)
    session.sock.settimeout(session.timeout)
    if agent is not None:
        assert "Traceback" not in agent.output()


def sees_end(sock, within):
    """True when `sock` reports EOF, a reset or a TLS failure within
    `within` seconds; whatever the agent still sends first (replies, TLS
    records such as session tickets) is read and dropped."""
    deadline = time.monotonic() + within
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        sock.settimeout(left)
        try:
            if not sock.recv(1 << 20):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True


def fd_count(agent):
    return len(os.listdir("/proc/%d/fd" % agent.proc.pid))


def settled_fd_count(agent, expected=None, within=SETTLE_WITHIN):
    """The agent's descriptor count once it stops changing (or reaches
    `expected`), polled for at most `within` seconds."""
    deadline = time.monotonic() + within
    last = fd_count(agent)
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = fd_count(agent)
        if now == expected or (expected is None and now == last):
            return now
        last = now
    return last
