"""Reply frames: what `send`, `_error` and `_success` put on the wire."""
import json
import struct

import pytest

from vemo_master import MsgType, wire


def run_in_agent(session, code):
    session.send_frame(MsgType.ON_JSON, session.seal(json.dumps(code).encode()))


def raw_reply(session):
    header = wire.recv_exact(session.sock, 4)
    (length,) = struct.unpack("<I", header)
    return header, wire.recv_exact(session.sock, length)


def test_plain_bytes_travel_unchanged_after_a_length(probed_agent):
    s = probed_agent.session()
    run_in_agent(s, "a.send(fd, b'True', False)")
    assert raw_reply(s) == (b"\x04\x00\x00\x00", b"True")


@pytest.mark.parametrize("value, plaintext", [
    ("1", b"1"),
    ("'汉字'", "汉字".encode()),
    ("b'\\x00\\xff'", b"\x00\xff"),
    ("[1, 'a', None, True]", b'[1, "a", null, true]'),
    ("{'k': '汉', 'n': 1.5}", b'{"k": "\\u6c49", "n": 1.5}'),
])
def test_values_become_plaintext_as_the_interpreter_encodes_them(probed_agent, value, plaintext):
    s = probed_agent.session()
    run_in_agent(s, "a.send(fd, %s)" % value)
    assert s.unseal(s.recv_reply()) == plaintext
    run_in_agent(s, "a.send(fd, %s, False)" % value)
    assert raw_reply(s)[1] == plaintext


def test_result_messages_escape_chinese_but_bare_text_does_not(probed_agent):
    s = probed_agent.session()
    run_in_agent(s, "a._error(fd, '上传成功!')")
    assert s.unseal(s.recv_reply()) == b'{"status": false, "msg": "\\u4e0a\\u4f20\\u6210\\u529f!"}'
    run_in_agent(s, "a._success(fd, [1, '汉'], False)")
    assert raw_reply(s)[1] == b'{"status": true, "msg": [1, "\\u6c49"]}'
    run_in_agent(s, "a.send(fd, '上传成功!', False)")
    assert raw_reply(s)[1] == "上传成功!".encode()


def test_large_reply_arrives_whole(probed_agent):
    s = probed_agent.session()
    run_in_agent(s, "import os\na.send(fd, os.urandom(8 << 20), False)")
    header, body = raw_reply(s)
    assert len(body) == 8 << 20


def test_sealed_send_without_key_writes_nothing_and_fails(probed_agent):
    s = probed_agent.session()
    code = ("a.passwords.pop(fd)\n"
            "try:\n    a.send(fd, 'x')\nexcept KeyError:\n    a.send(fd, b'refused', False)\n")
    run_in_agent(s, code)
    assert raw_reply(s)[1] == b"refused"


def test_unserialisable_value_fails_into_report(probed_agent):
    s = probed_agent.session()
    run_in_agent(s, "a.send(fd, object())")
    assert b"not JSON serializable" in s.unseal(s.recv_reply())
