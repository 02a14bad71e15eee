"""No master waits for another: while one connection's request waits on its
peer or on a plugin, other masters' heartbeats and new key exchanges are
served; one connection's requests are still answered in order; a reload
waits for a running plugin call; a plugin's sys.exit() still stops the
agent."""
import json
import os
import socket
import ssl
import time

import pytest

import raw_transfer as rt
from plugin_files import entry, write_plugin
from vemo_master import MsgType, wire

# Far below the bounds a stalled request used to hold the loop for (30 s
# without progress, 10 s of a plugin here), far above a loaded machine's
# round trip.
ANSWERED_WITHIN = 3.0


def served_meanwhile(agent, other):
    """A heartbeat on an existing session and a whole new session."""
    started = time.monotonic()
    assert other.heartbeat()
    assert agent.session(timeout=ANSWERED_WITHIN).heartbeat()
    return time.monotonic() - started < ANSWERED_WITHIN


@pytest.fixture
def sleeper(agent):
    write_plugin(agent.install_dir, "slow", files={"slow_main.py": entry("slow_main", """
        def nap(self, args):
            import time
            time.sleep(float(args.seconds))
            return {"slept": args.seconds}

        def leave(self, args):
            sys.exit(0)
        """)})
    return agent


def send_plugin(session, fun, **args):
    payload = dict(args, p_name="slow", p_fun=fun)
    session.send_frame(MsgType.PLUGIN, session.seal(json.dumps(payload).encode()))


def reply_of(session):
    return session.unseal(session.recv_reply())


def test_others_are_served_while_a_sender_pauses_mid_upload(agent, tmp_path):
    uploader, other = agent.session(), agent.session()
    content = os.urandom(300000)
    rt.send_upload_header(uploader, rt.upload_header(tmp_path, "f.bin", content))
    uploader.sock.sendall(content[:100000])
    assert served_meanwhile(agent, other)
    uploader.sock.sendall(content[100000:])
    assert json.loads(reply_of(uploader))["status"] is True
    assert (tmp_path / "f.bin").read_bytes() == content


def test_others_are_served_while_a_reader_pauses_mid_download(agent, tmp_path):
    path = tmp_path / "big.bin"
    with open(str(path), "wb") as f:
        f.truncate(64 << 20)
    reader, other = agent.session(), agent.session()
    reader.request_json(MsgType.ON_DOWNLOAD, {"filename": str(path)})
    time.sleep(0.5)  # the agent's writes now wait on this reader
    assert served_meanwhile(agent, other)


def test_others_are_served_while_a_keyed_peer_stops_reading_its_heartbeats(agent):
    flooder, other = agent.session(), agent.session()
    flooder.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    flooder.sock.setblocking(False)
    frame = wire.pack_request(MsgType.HEARTBEAT) * 4096
    # Heartbeats until the agent has taken none for a second: its replies,
    # never read, have filled both sides' buffers.
    deadline, last_taken = time.monotonic() + 120, time.monotonic()
    while time.monotonic() - last_taken < 1.0:
        assert time.monotonic() < deadline, "the agent never stopped taking heartbeats"
        try:
            flooder.sock.send(frame)
            last_taken = time.monotonic()
        except (ssl.SSLWantWriteError, BlockingIOError):
            time.sleep(0.01)
    assert served_meanwhile(agent, other)


def test_others_are_served_while_a_plugin_sleeps(sleeper):
    caller, other = sleeper.session(), sleeper.session()
    send_plugin(caller, "nap", seconds=4)
    time.sleep(0.3)
    assert served_meanwhile(sleeper, other)
    assert json.loads(reply_of(caller)) == {"slept": 4}


def test_pipelined_requests_are_answered_in_order_behind_a_long_one(sleeper, tmp_path):
    s = sleeper.session()
    (tmp_path / "f").write_bytes(b"abc")
    send_plugin(s, "nap", seconds=1)
    s.send_frame(MsgType.HEARTBEAT)
    s.send_frame(MsgType.CHECK_FILE_SHA1, s.seal(json.dumps(
        {"f_name": str(tmp_path / "f"), "f_sha1": "a9993e364706816aba3e25717850c26c9cd0d89d"}).encode()))
    assert [reply_of(s) for _ in range(3)] == [b'{"slept": 1}', b"1", b"1"]


def test_a_reload_waits_for_the_running_plugin_call(sleeper):
    caller, reloader = sleeper.session(), sleeper.session()
    send_plugin(caller, "nap", seconds=2)
    time.sleep(0.3)
    reloader.send_frame(MsgType.RELOAD_MOD, reloader.seal(json.dumps({"name": "public"}).encode()))
    reply_of(reloader)
    reloaded_at = time.monotonic()
    assert json.loads(reply_of(caller)) == {"slept": 2}
    # The plugin's answer was already waiting when the reload's came.
    assert time.monotonic() - reloaded_at < 0.2


def test_a_plugins_sys_exit_still_stops_the_agent(sleeper):
    s = sleeper.session()
    send_plugin(s, "leave")
    assert sleeper.proc.wait(10) == 0
    assert sleeper.output().rstrip().endswith("exit service")
    assert "Traceback" not in sleeper.errors()
