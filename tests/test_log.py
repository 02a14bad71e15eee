"""The agent's log as an operator reads it: where it listens and what to
pin, who failed at what, and never a secret."""
import hashlib
import ssl

import pytest

from vemo_master import MsgType, Session
from vemo_master.errors import AgentFailure


def test_log_names_listener_peers_and_operations_and_keeps_secrets(agent, tmp_path):
    pem = (agent.install_dir / "cert" / "certificate.pem").read_text()
    digest = hashlib.sha256(ssl.PEM_cert_to_DER_cert(pem)).hexdigest().upper()
    fingerprint = ":".join(digest[i:i + 2] for i in range(0, 64, 2))

    (tmp_path / "plain").write_text("a file, not a directory")
    s = agent.session()
    with pytest.raises(AgentFailure):
        s.request_json(MsgType.GET_FILE_LIST, str(tmp_path / "plain"))
    port = s.sock.getsockname()[1]

    wrong = Session("127.0.0.1", agent.port, agent.public_key, timeout=5).connect()
    wrong.send_frame(MsgType.ON_PASSWORD, b"\x00" * 256)  # not RSA of this key
    with pytest.raises(Exception):
        wrong.recv_reply()
    wrong_port = wrong.sock.getsockname()[1]
    wrong.close()
    assert s.heartbeat()
    key = s.key

    lines = agent.stop().splitlines()
    assert lines[0] == "listening on 0.0.0.0:%d, certificate SHA-256 %s, key for masters in %s" % (
        agent.port, fingerprint, agent.install_dir / "data" / "id_rsa.pub")
    assert "get_file_list from 127.0.0.1:%d failed:" % port in lines
    key_lines = [line for line in lines if line.startswith("key exchange from")]
    assert len(key_lines) == 1 and key_lines[0].startswith(
        "key exchange from 127.0.0.1:%d failed: ValueError" % wrong_port)
    assert lines[-1] == "exit service"
    text = "\n".join(lines)
    assert key.hex() not in text and repr(key)[2:-1] not in text
