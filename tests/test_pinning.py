"""Certificate pinning on first use: vemoctl, the library and the relay
record the certificate an agent presents first and refuse another one, so
a man in the middle gets nothing to read or replay."""
import datetime
import os
import shutil
import socket
import ssl
import stat
import threading

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

import agent_process
from vemoctl_run import REFUSED, as_json, assert_one_line_error, vemoctl
from vemo_master import (AgentFailure, CertificateChanged, FingerprintMismatch,
                         Session, cert_fingerprint, known_hosts)
from vemo_master import extension as x


def fingerprint_of(agent):
    return cert_fingerprint(
        (agent.install_dir / "cert" / "certificate.pem").read_bytes())


def known_lines():
    with open(known_hosts.default_path()) as f:
        return f.read().splitlines()


@pytest.fixture
def new_agent(installed_tree, tmp_path):
    """new_agent(port) starts an agent on a server root of its own, so with
    a certificate of its own; on `port` when given."""
    started = []

    def start(port=None):
        root = tmp_path / ("agent-%d" % len(started))
        shutil.copytree(str(installed_tree), str(root), symlinks=True)
        (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
        started.append(agent_process.start_agent(root, port=port))
        return started[-1]

    yield start
    for agent in started:
        agent.stop()


def replaced(agent, new_agent):
    """A new agent, new certificate, serving the port of `agent`."""
    agent.stop()
    return new_agent(agent.port)


def test_vemoctl_records_then_refuses_a_new_certificate_until_trusted(
        agent, new_agent):
    first = fingerprint_of(agent)
    assert vemoctl(agent, "ping").returncode == 0
    path = known_hosts.default_path()
    assert known_lines() == ["127.0.0.1:%d %s" % (agent.port, first)]
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode) == 0o700

    second_agent = replaced(agent, new_agent)
    second = fingerprint_of(second_agent)
    assert second != first
    refused = vemoctl(second_agent, "ping")
    assert_one_line_error(refused, REFUSED, first, second,
                          "vemoctl --host 127.0.0.1 --port %d trust %s"
                          % (agent.port, second))
    document = as_json(vemoctl(second_agent, "--json", "ping"))
    assert (document["status"], document["ok"]) == ("refused", False)
    assert second in document["error"]

    # An explicit pin or --insecure leaves the recorded line alone.
    assert vemoctl(second_agent, "--fingerprint", second, "ping").returncode == 0
    assert_one_line_error(vemoctl(second_agent, "--fingerprint", first, "ping"),
                          REFUSED, first, second)
    assert vemoctl(second_agent, "--insecure", "ping").returncode == 0
    assert known_lines() == ["127.0.0.1:%d %s" % (agent.port, first)]

    trusted = vemoctl(second_agent, "--host", "127.0.0.1", "--json", "trust",
                      second.upper())
    assert as_json(trusted)["result"]["replaced"] == first
    assert vemoctl(second_agent, "ping").returncode == 0
    assert known_lines() == ["127.0.0.1:%d %s" % (agent.port, second)]


def test_library_records_then_refuses_a_new_certificate(agent, new_agent):
    first = fingerprint_of(agent)
    agent.session().close()
    second_agent = replaced(agent, new_agent)
    second = fingerprint_of(second_agent)
    with pytest.raises(CertificateChanged) as caught:
        second_agent.session()
    assert (caught.value.expected, caught.value.actual) == (first, second)
    assert known_hosts.default_path() in str(caught.value)
    assert second_agent.session(fingerprint=second).heartbeat()
    with pytest.raises(FingerprintMismatch):
        second_agent.session(fingerprint=first)
    assert second_agent.session(insecure=True).heartbeat()
    with pytest.raises(ValueError):
        Session("127.0.0.1", agent.port, b"", fingerprint=second, insecure=True)
    assert known_lines() == ["127.0.0.1:%d %s" % (agent.port, first)]


def test_concurrent_first_contacts_keep_every_line(tmp_path):
    path = str(tmp_path / "vemo" / "known_hosts")
    ports = range(1000, 1160)

    def contact(offset):
        for port in ports[offset::8]:
            known_hosts.check(path, "10.0.0.1", port, "%064x" % port)

    threads = [threading.Thread(target=contact, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    with open(path) as f:
        assert sorted(f.read().splitlines()) == sorted(
            "10.0.0.1:%d %064x" % (port, port) for port in ports)


def self_signed_context(tmp_path):
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "intruder")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(1)
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .sign(key, hashes.SHA256()))
    pem = tmp_path / "intruder.pem"
    pem.write_bytes(cert.public_bytes(serialization.Encoding.PEM) + key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(pem))
    return context


class Intruder(object):
    """A man in the middle on `port`: ends the master's TLS with its own
    certificate, forwards to the agent and keeps what the master sent."""

    def __init__(self, port, agent_port, context):
        self.agent_port = agent_port
        self.context = context
        self.recorded = bytearray()
        self.closing = False
        self.listener = socket.create_server(("127.0.0.1", port))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            try:
                self._relay(conn)
            except OSError:
                pass

    def _relay(self, conn):
        client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        client.check_hostname, client.verify_mode = False, ssl.CERT_NONE
        with self.context.wrap_socket(conn, server_side=True) as master, \
                client.wrap_socket(socket.create_connection(
                    ("127.0.0.1", self.agent_port))) as agent:
            peer = {master: agent, agent: master}
            for s in peer:
                # TLS records without data (tickets) wake select but not
                # recv: poll instead.
                s.settimeout(0.1)
            while not self.closing:
                for s in peer:
                    try:
                        data = s.recv(65536)
                    except socket.timeout:
                        continue
                    if not data:
                        return
                    if s is master:
                        self.recorded += data
                    peer[s].sendall(data)

    def close(self):
        self.closing = True
        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        self.listener.close()
        self.thread.join()


def test_intruder_in_front_of_a_pinned_agent_gets_nothing_to_replay(
        agent, tmp_path):
    key = agent.install_dir / "data" / "id_rsa.pub"
    assert vemoctl(agent, "ping").returncode == 0
    agent.stop()
    moved = agent_process.start_agent(agent.root)  # same certificate
    intruder = Intruder(agent.port, moved.port, self_signed_context(tmp_path))
    try:
        target = tmp_path / "made-through-the-intruder"
        assert_one_line_error(vemoctl(agent.port, "mkdir", target, key=key),
                              REFUSED, fingerprint_of(agent))
        assert not target.exists() and intruder.recorded == b""
        # Unpinned, the same intruder relays the request and reads it all.
        assert vemoctl(agent.port, "--insecure", "mkdir", target,
                       key=key).returncode == 0
        assert target.is_dir() and len(intruder.recorded) > 0
    finally:
        intruder.close()
        moved.stop()


def test_relay_pins_the_other_agent_in_its_own_data_directory(
        agent, new_agent):
    s = agent.session()

    def relay(other):
        return x.other_sock(s, "127.0.0.1", other.port,
                            other.public_key.decode("ascii"), "heartbeat")

    b = new_agent()
    assert relay(b) == 1
    assert (agent.install_dir / "data" / "known_hosts").read_text() == \
        "127.0.0.1:%d %s\n" % (b.port, fingerprint_of(b))
    with pytest.raises(AgentFailure) as caught:
        relay(replaced(b, new_agent))
    assert "CertificateChanged" in caught.value.text
    # The master's own file holds only the agent it talked to.
    assert known_lines() == [
        "127.0.0.1:%d %s" % (agent.port, fingerprint_of(agent))]
