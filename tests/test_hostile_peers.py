"""Peers that stall or lie against a live agent with short bounds: each is
dropped within its bound, its descriptor is closed, and another master is
served meanwhile."""
import os
import re
import socket
import struct
import time

import pytest

import agent_process
import raw_transfer as rt
from connection_checks import sees_end, settled_fd_count
from tls_hello import client_hello
from vemo_master import MsgType, Session, pack_request

BOUND = 1.0
SLACK = 5.0
SHORT_BOUNDS = "a.handshake_timeout = %r\na.io_timeout = %r\n" % (BOUND, BOUND)


@pytest.fixture
def short_agent(server_root):
    running = agent_process.start_agent(server_root, setup=SHORT_BOUNDS)
    try:
        # Whatever the first session loads stays loaded; count after it.
        assert running.session().heartbeat()
        running._sessions[-1].close()
        running.baseline_fds = settled_fd_count(running)
        yield running
    finally:
        running.stop()


def raw_peer(agent):
    return socket.create_connection(("127.0.0.1", agent.port), 5)


def unkeyed_peer(agent):
    s = Session("127.0.0.1", agent.port, agent.public_key, timeout=5)
    agent._sessions.append(s)
    return s.connect()


def stall_silent_tcp(agent, tmp_path):
    return raw_peer(agent)


def stall_partial_client_hello(agent, tmp_path):
    sock = raw_peer(agent)
    hello = client_hello()
    sock.sendall(hello[:len(hello) // 2])
    return sock


def stall_trickled_client_hello(agent, tmp_path):
    # Progress that never ends: one byte at a time, each well inside the
    # bound, so only a deadline on the whole handshake ends it.
    sock = raw_peer(agent)
    hello = client_hello()
    gap = BOUND / 4
    for i in range(int((BOUND + SLACK) / gap)):
        try:
            sock.sendall(hello[i:i + 1])
        except OSError:
            break
        time.sleep(gap)
    return sock


def stall_header_cut_after_3_bytes(agent, tmp_path):
    s = agent.session()
    s.sock.sendall(pack_request(MsgType.HEARTBEAT)[:3])
    return s.sock


def stall_payload_never_sent(agent, tmp_path):
    s = agent.session()
    s.sock.sendall(struct.pack("<ib", 4096, MsgType.CHECK_FILE_SHA1) + b"x" * 100)
    return s.sock


def stall_unknown_type_announcing_2_gib_before_key(agent, tmp_path):
    s = unkeyed_peer(agent)
    s.sock.sendall(struct.pack("<ib", 2 ** 31 - 1, 99) + b"x" * 1000)
    return s.sock


def stall_upload_mid_stream(agent, tmp_path):
    s = agent.session()
    content = os.urandom(200000)
    rt.send_upload_header(s, rt.upload_header(tmp_path / "up", "f.bin", content))
    s.sock.sendall(content[:70000])
    return s.sock


def stall_download_never_read(agent, tmp_path):
    path = tmp_path / "big.bin"
    with open(str(path), "wb") as f:
        f.truncate(64 * 1024 * 1024)
    s = agent.session()
    s.request_json(MsgType.ON_DOWNLOAD, {"filename": str(path)})
    # Not read for longer than the bound: the transfer runs beside the
    # loop, so nothing else would hold this reader back.
    time.sleep(BOUND * 2)
    return s.sock


STALLS = [stall_silent_tcp, stall_partial_client_hello,
          stall_trickled_client_hello, stall_header_cut_after_3_bytes,
          stall_payload_never_sent,
          stall_unknown_type_announcing_2_gib_before_key,
          stall_upload_mid_stream, stall_download_never_read]


@pytest.mark.parametrize("stall", STALLS, ids=lambda f: f.__name__[6:])
def test_stalled_peer_is_dropped_and_others_are_served(
        short_agent, tmp_path, stall):
    started = time.monotonic()
    stalled = stall(short_agent, tmp_path)
    try:
        other = short_agent.session(timeout=BOUND + SLACK + 10)
        assert other.heartbeat()
        assert sees_end(stalled, BOUND + SLACK - (time.monotonic() - started))
        # Our end of the stalled socket is still open: only the other
        # master's connection may be left on the agent's side.
        assert settled_fd_count(short_agent, short_agent.baseline_fds + 1) \
            == short_agent.baseline_fds + 1
        assert other.heartbeat()
    finally:
        stalled.close()
    if stall is stall_upload_mid_stream:
        # What arrived before the stall stays for a resume.
        assert (tmp_path / "up" / ("f.bin" + "._upload_tmp")).stat().st_size == 70000
    # The only failure the agent reports is the stall itself.
    reported = set(re.findall(r"^([\w.]+(?:Error|Exception))\b", short_agent.output(), re.M))
    assert reported <= {"TimeoutError"}


@pytest.mark.parametrize("msg_type", [MsgType.ON_PASSWORD, MsgType.HEARTBEAT])
def test_2_gib_frame_before_the_key_exchange_is_refused_unread(
        short_agent, msg_type):
    s = unkeyed_peer(short_agent)
    s.sock.sendall(struct.pack("<ib", 2 ** 31 - 1, msg_type))
    # Refused, not read: far more than socket buffers hold cannot go out.
    with pytest.raises(OSError):
        for _ in range(64):
            s.sock.sendall(b"x" * (1 << 20))
    assert sees_end(s.sock, BOUND + SLACK)
    assert short_agent.session().heartbeat()
    s.close()
    assert settled_fd_count(short_agent, short_agent.baseline_fds + 1) \
        == short_agent.baseline_fds + 1
