"""What a peer may hold before it has the key, what one keyed frame may
cost, that no error text stops the loop, and that the key material and the
transport are closed to everyone but root and sound TLS."""
import json
import os
import socket
import ssl
import stat
import threading
import time
import warnings

import pytest

import agent_process
from probe import SETUP as PROBE
from connection_checks import sees_end, settled_fd_count
from vemo_master import MsgType, Session, pack_request
from vemo_master.errors import AgentFailure
from vemo_master.reply import reply_json

BOUND = 1.0
# The agent gives a peer without the key its handshake bound plus this.
GRACE = 5.0
SLACK = 4.0


def start(server_root, setup=""):
    return agent_process.start_agent(
        server_root, setup="a.handshake_timeout = %r\n%s" % (BOUND, setup))


def unkeyed(agent):
    s = Session("127.0.0.1", agent.port, agent.public_key, timeout=5)
    agent._sessions.append(s)
    return s.connect()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def trickle(sock, data, gap, owned=False):
    """Sends `data` a byte every `gap` seconds until it is refused; closes
    `sock` at the end when it is `owned`."""
    def run():
        for i in range(len(data)):
            try:
                sock.sendall(data[i:i + 1])
            except OSError:
                break
            time.sleep(gap)
        if owned:
            sock.close()
    threading.Thread(target=run, daemon=True).start()


def test_key_material_is_root_only_and_tightened_at_start(server_root, py):
    side = server_root / "vemo" / "client-side"
    files = [side / "data" / "id_rsa.pub", side / "data" / "id_rsa",
             side / "cert" / "privateKey.pem"]
    dirs = [side / "data", side / "cert"]

    def modes():
        return [stat.S_IMODE(p.stat().st_mode) for p in files + dirs]

    py("import client; client.zq_vemo_client()")
    assert modes() == [0o600] * 3 + [0o700] * 2
    # As an earlier version left them: readable by every local user.
    for p in files:
        p.chmod(0o644)
    for p in dirs:
        p.chmod(0o755)
    py("import client; client.zq_vemo_client()")
    assert modes() == [0o600] * 3 + [0o700] * 2


@pytest.mark.parametrize("how", ["silent", "trickled key exchange",
                                 "trickled half record"])
def test_peer_without_key_has_one_budget_however_it_trickles(server_root, how):
    agent = start(server_root)
    try:
        keyed = agent.session()
        baseline = settled_fd_count(agent)
        peer = unkeyed(agent)
        started = time.monotonic()
        if how == "trickled key exchange":
            # A key-exchange frame a byte at a time, each well inside the
            # per-wait bound.
            trickle(peer.sock, pack_request(0, b"k" * 1000), 0.3)
        elif how == "trickled half record":
            # Raw bytes under TLS: a record that never completes.
            raw = socket.socket(fileno=os.dup(peer.sock.fileno()))
            trickle(raw, b"\x17\x03\x03\x40\x00" + b"r" * 100, 0.3, owned=True)
        assert sees_end(peer.sock, BOUND + GRACE + SLACK)
        peer.close()
        assert time.monotonic() - started < BOUND + GRACE + SLACK
        # A keyed master older than that budget keeps its connection.
        assert keyed.heartbeat()
        assert settled_fd_count(agent, baseline) == baseline
    finally:
        agent.stop()


def test_only_a_small_key_exchange_frame_is_read_before_the_key(server_root):
    agent = start(server_root, "a.io_timeout = 30.0")
    try:
        for msg_type in (-128, -1, 22, 127):
            peer = unkeyed(agent)
            peer.sock.sendall(pack_request(msg_type, b"x" * 10))
            assert sees_end(peer.sock, 2.0), msg_type
            peer.close()
        assert agent.session().heartbeat()
    finally:
        agent.stop()


def test_peers_without_key_are_capped_oldest_first(server_root):
    agent = start(server_root, "a.max_unkeyed = 4")
    try:
        peers = [unkeyed(agent) for _ in range(6)]
        master = agent.session()
        ended = [sees_end(p.sock, 0.5) for p in peers]
        # The master itself counted while it keyed: three of the first
        # peers made room, the newest two are still waiting.
        assert ended == [True, True, True, False, False, False]
        assert master.heartbeat()
    finally:
        agent.stop()


def test_out_of_descriptors_neither_spins_nor_locks_out_masters(server_root):
    agent = start(server_root, "import resource\n"
                  "resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))")
    try:
        # More peers than descriptors: the oldest give theirs up.
        peers = [unkeyed(agent) for _ in range(50)]
        master = agent.session()
        assert master.heartbeat()
        # Keyed masters alone fill the table; a further connection is
        # refused, and the loop does not spin on the listener.
        masters = []
        while True:
            try:
                masters.append(agent.session(timeout=3))
            except (OSError, ssl.SSLError, EOFError):
                break
            assert len(masters) < 60
        waiting = [socket.create_connection(("127.0.0.1", agent.port)) for _ in range(3)]
        before = cpu_seconds(agent.proc.pid)
        time.sleep(2.0)
        assert cpu_seconds(agent.proc.pid) - before < 0.5
        assert all(m.heartbeat() for m in masters)
        assert agent.output().count("out of descriptors") <= 2
        for s in waiting + [p.sock for p in peers]:
            s.close()
    finally:
        agent.stop()


# A crypto helper that reads its key file at every key exchange.
REREADING_HELPER = """
helper = a.rsa_aes
decrypt = helper.rsa_decrypt_private
def rereading(data):
    helper._private_key = None
    return decrypt(data)
helper.rsa_decrypt_private = rereading
"""


@pytest.mark.parametrize("helper", ["", REREADING_HELPER])
def test_keyed_masters_get_in_with_every_descriptor_taken(server_root, helper):
    # Restarted, so that the crypto helper has yet to read its key.
    agent_process.start_agent(server_root).stop()
    agent = agent_process.start_agent(server_root, setup=helper + (
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))"))
    try:
        for _ in range(80):
            unkeyed(agent)  # idle, every descriptor taken (closed by stop)
        masters = [agent.session(timeout=5) for _ in range(5)]
        assert all(m.heartbeat() for m in masters)
        assert "key exchange from" not in agent.output()
    finally:
        agent.stop()


def test_keyed_frames_and_payloads_are_capped(server_root):
    agent = start(server_root, "a.max_frame = 1 << 20\na.max_payload = 1 << 20")
    try:
        s = agent.session()
        bomb = s.seal(json.dumps("x" * (2 << 20)).encode())
        assert len(bomb) < 1 << 20
        s.send_frame(MsgType.GET_FILE_LIST, bomb)
        report = s.unseal(s.recv_reply()).decode()
        assert report.startswith("Traceback") and "1048576 bytes" in report
        assert s.heartbeat()  # in step: the frame was read whole

        s.send_frame(MsgType.GET_FILE_LIST, b"", length=2 << 20)
        report = s.unseal(s.recv_reply()).decode()
        assert "max_frame" in report
        assert sees_end(s.sock, 2.0)  # the payload was never read
        assert agent.session().heartbeat()
    finally:
        agent.stop()


@pytest.mark.parametrize("error", [
    "ValueError('no such file: caf\\udce9')",
    "OSError('cannot list /srv/Broken pipe')",
])
def test_error_text_never_stops_or_silences_the_agent(server_root, error):
    agent = agent_process.start_agent(server_root, setup=PROBE)
    try:
        s = agent.session(timeout=5)
        with pytest.raises(AgentFailure):
            reply_json(s.request(MsgType.ON_JSON, "raise %s" % error))
        assert s.heartbeat()
    finally:
        output = agent.stop()
    assert "exit service" in output.splitlines()[-1]
    assert output.count("exit service") == 1


def test_frames_behind_a_failing_request_are_served(server_root, tmp_path):
    plain = tmp_path / "plain.txt"
    plain.write_text("not a directory")
    agent = agent_process.start_agent(server_root, setup=PROBE)
    try:
        s = agent.session(timeout=5)
        # A failure report, then nothing (the peer "vanished"): either way
        # the heartbeat sent in the same write is answered.
        for code, reports in [("raise ValueError('fails')", 1),
                              ("raise BrokenPipeError(32, 'gone')", 0)]:
            s.sock.sendall(pack_request(MsgType.ON_JSON, s.seal(json.dumps(code).encode()))
                           + pack_request(MsgType.HEARTBEAT))
            replies = [s.unseal(s.recv_reply()) for _ in range(reports + 1)]
            assert replies[-1] == b"1"
        s.sock.sendall(
            pack_request(MsgType.GET_FILE_LIST, s.seal(json.dumps(str(plain)).encode()))
            + pack_request(MsgType.HEARTBEAT))
        assert s.unseal(s.recv_reply()).startswith(b"Traceback")
        assert s.unseal(s.recv_reply()) == b"1"
    finally:
        agent.stop()


def tls_client(version, ciphers=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.1, on purpose
        context.minimum_version = context.maximum_version = version
    if ciphers:
        context.set_ciphers(ciphers)
    return context


def handshakes(agent, context):
    with socket.create_connection(("127.0.0.1", agent.port), 5) as raw:
        try:
            context.wrap_socket(raw).close()
            return True
        except (ssl.SSLError, OSError):
            return False


def test_tls_needs_forward_secret_aead_on_1_2(agent):
    v = ssl.TLSVersion
    assert handshakes(agent, tls_client(v.TLSv1_3))
    assert handshakes(agent, tls_client(v.TLSv1_2, "ECDHE-RSA-AES128-GCM-SHA256"))
    assert not handshakes(agent, tls_client(v.TLSv1_2, "AES128-GCM-SHA256:AES256-SHA"))
    assert not handshakes(agent, tls_client(v.TLSv1_2, "ECDHE-RSA-AES128-SHA"))
    assert not handshakes(agent, tls_client(v.TLSv1_1, "DEFAULT:@SECLEVEL=0"))
