"""Key exchange and sealing against a live agent."""
import json
import pytest

from probe import probe, probe_value
from vemo_master import KeyRefused, MsgType, crypto, wire


def raw_key_exchange(session, key):
    session.send_frame(MsgType.ON_PASSWORD,
                       crypto.wrap_session_key(session.public_key_pem, key))
    return session.recv_reply()


@pytest.mark.parametrize("size", [16, 24, 32])
def test_accepted_key_sizes_answer_plain_true_and_seal_replies(agent, size):
    s = agent.session()
    key = crypto.new_session_key(size)
    assert s.exchange_key(key) == b"True"
    assert s.heartbeat()


@pytest.mark.parametrize("size", [0, 15, 20, 31, 33, 64])
def test_wrong_key_sizes_are_refused_with_plain_result(agent, size):
    s = agent.session()
    reply = raw_key_exchange(s, b"k" * size)
    assert json.loads(reply.decode()) == {"status": False, "msg": "密码格式不正确!"}
    assert b"\\u5bc6" in reply  # the encoder's ASCII escaping, not raw UTF-8
    # The key installed by session() is still the one in force.
    assert s.heartbeat()


def test_refused_key_on_fresh_connection_leaves_it_unkeyed(agent):
    s = agent.session()
    s.close()
    s.connect()
    with pytest.raises(KeyRefused):
        s.exchange_key(b"x" * 31)
    s.key = b"y" * 32
    s.send_frame(MsgType.HEARTBEAT)
    with pytest.raises((ConnectionError, OSError)):
        s.recv_reply()


def test_rekeying_replaces_the_key(agent):
    s = agent.session()
    first = s.key
    second = crypto.new_session_key(24)
    assert s.exchange_key(second) == b"True"
    s.send_frame(MsgType.HEARTBEAT)
    payload = s.recv_reply()
    assert crypto.open_sealed(second, payload) == b"1"
    with pytest.raises(Exception):
        crypto.open_sealed(first, payload)


def test_sealing_round_trips_inside_the_agent(probed_agent):
    s = probed_agent.session()
    for text in ["", "x", "汉字" * 1000]:
        code = ("d = %r.encode()\n"
                "reply = [a.ungzip(a.gzip(d)) == d,"
                " a.aes_decode(fd, a.aes_encode(fd, d)) == d]" % text)
        assert probe_value(s, code) == [True, True]
    # The agent's gzip is a gzip member at level 1 (XFL byte 4 = fastest).
    assert probe_value(s, "reply = list(a.gzip(b'abc')[:4]) + [a.gzip(b'abc')[8]]") == [
        0x1F, 0x8B, 8, 0, 4]


def test_large_payload_is_one_gzip_member(py):
    """Large payloads are compressed in pieces by several threads; the
    result must still be one member that any reader takes whole."""
    proc = py("""
import client, gzip, os, zlib
a = client.zq_vemo_client()
d = os.urandom(3 << 20) + b"a listing's text " * 700000 + os.urandom(5)
z = a.gzip(d)
one = zlib.decompressobj(31)
print(one.decompress(z) == d, one.eof, one.unused_data, gzip.decompress(z) == d, a.ungzip(z) == d)
""")
    assert proc.stdout.split() == ["True", "True", "b''", "True", "True"]


def test_get_input_keeps_nested_values_and_refuses_non_objects(probed_agent):
    s = probed_agent.session()
    request = {"a": {"b": [1, {"c": "汉"}]}, "n": None}
    code = ("r = a.get_input(fd, a.aes_encode(fd, %r))\n"
            "reply = [r['a'], r['n'], 'a' in r]" % json.dumps(request).encode())
    assert probe_value(s, code) == [request["a"], None, True]
    for not_object in ["[1]", "3", "null", '"text"']:
        reply = probe(s, "a.get_input(fd, a.aes_encode(fd, %r))" % not_object.encode())
        assert b"TypeError" in reply


def test_tampered_request_is_reported_not_acted_on(probed_agent):
    s = probed_agent.session()
    sealed = bytearray(s.seal(json.dumps("reply = 'acted'").encode()))
    sealed[20] ^= 1
    s.send_frame(MsgType.ON_JSON, bytes(sealed))
    report = s.unseal(s.recv_reply()).decode()
    assert "InvalidTag" in report and "acted" not in report
    assert s.heartbeat()


def test_undecryptable_key_exchange_closes_unkeyed_connection(agent):
    s = agent.session()
    s.close()
    s.connect()
    s.send_frame(MsgType.ON_PASSWORD, b"\x00" * 256)
    with pytest.raises((ConnectionError, OSError)):
        wire.read_reply(s.sock)
