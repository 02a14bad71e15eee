"""Hostile input a fuzzer produced or would produce, replayed against a
live agent: every kind is either refused (the connection dropped) or
answered with a failure, and the agent goes on serving."""
import json
import os
import re
import socket
import struct

import pytest

from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from connection_checks import assert_in_step, sees_end
from vemo_master import MsgType, crypto

DROPPED_WITHIN = 5.0
# File bytes that read as frames would each be answered.
FRAME_LOOKALIKES = struct.pack("<ib", 0, 16) * 500


def seal_plain(key, data):
    """Sealed without the gzip layer."""
    nonce = os.urandom(12)
    return nonce + AESGCM(key).encrypt(nonce, data, None)


# A failure report is the error's text: a traceback, or only the error line
# when the error arose outside any Python frame.
FAILURE_REPORT = re.compile(rb"^(Traceback \(most recent call last\)|[\w.]+(Error|Exception)\b)")


def is_failure(reply):
    try:
        answer = json.loads(reply)
    except ValueError:
        return FAILURE_REPORT.match(reply) is not None
    return isinstance(answer, dict) and answer.get("status") is False


@pytest.mark.parametrize("raw", [
    struct.pack("<ib", 2 ** 31 - 1, 7) + b"x" * 100,   # cut short by the peer
    struct.pack("<ib", 64, -128) + b"x" * 10,
    struct.pack("<ib", 5, 16)[:3],
], ids=["huge-length", "unknown-type-cut", "partial-header"])
def test_cut_frames_drop_the_connection(agent, raw):
    s = agent.session()
    s.sock.sendall(raw)
    s.sock.shutdown(socket.SHUT_WR)
    assert sees_end(s.sock, DROPPED_WITHIN)
    assert agent.session().heartbeat()


@pytest.mark.parametrize("payload", [b"", b"\x00" * 256, os.urandom(1024)])
def test_bad_key_exchange_before_a_key_is_dropped(agent, payload):
    s = agent.session()
    s.close()
    s.connect()
    s.send_frame(MsgType.ON_PASSWORD, payload)
    assert sees_end(s.sock, DROPPED_WITHIN)
    assert agent.session().heartbeat()


def test_bad_key_exchange_with_a_key_fails_and_keeps_the_key(agent):
    s = agent.session()
    s.send_frame(MsgType.ON_PASSWORD, b"\x01" * 256)
    assert is_failure(s.unseal(s.recv_reply()))
    assert_in_step(s)


@pytest.mark.parametrize("layer", ["unopenable", "not-gzip", "gzip-cut", "not-json", "not-utf8"])
@pytest.mark.parametrize("msg_type", [MsgType.ON_CHECK_FILE_UPLOAD, MsgType.GET_FILE_LIST,
                                      MsgType.PLUGIN, MsgType.WARDEN])
def test_payloads_that_do_not_parse_fail(agent, layer, msg_type):
    s = agent.session()
    payload = {
        "unopenable": os.urandom(60),
        "not-gzip": seal_plain(s.key, b'{"a": 1}'),
        "gzip-cut": seal_plain(s.key, crypto.gzip_bytes(b'{"a": 1}')[:-3]),
        "not-json": s.seal(b"{'a': 1"),
        "not-utf8": s.seal(b'"\xff\xfe"'),
    }[layer]
    s.send_frame(msg_type, payload)
    assert is_failure(s.unseal(s.recv_reply()))
    assert_in_step(s)
    assert agent.session().heartbeat()


@pytest.mark.parametrize("msg_type,args", [
    (MsgType.ON_CHECK_FILE_UPLOAD, {"f_path": "d", "f_name": "n", "f_size": "12"}),
    (MsgType.ON_DOWNLOAD, {"filename": ["x"]}),
    (MsgType.ON_DOWNLOAD, {"filename": "\ud800"}),
    (MsgType.ON_DOWNLOAD, {"filename": "data/id_rsa.pub", "f_pos": 10 ** 30}),
    (MsgType.CREATE_DIR, {"path": {"a": 1}}),
    (MsgType.SET_FILE_MODE, {"path": "a\u0000b"}),
    (MsgType.GET_FILE_LIST, 5),
    (MsgType.GET_FILE_LIST, "x" * 100000),
    (MsgType.CHECK_FILE_SHA1, {"f_name": None}),
    (MsgType.PLUGIN, {"p_name": 5, "p_fun": "f"}),
    (MsgType.PLUGIN_IS_INSTALLED, {"p_name": ["a"]}),
    (MsgType.RELOAD_MOD, [1]),
    (MsgType.INSTALL_MOD, {"name": 7}),
    (MsgType.UNINSTALL_MOD, {"name": "\udcff"}),
    (MsgType.OTHER_SOCK, {"fun": 3}),
    (MsgType.TO_ZIP, {"sfile": None}),
    (MsgType.UN_ZIP, {"sfile": 1.5, "dfile": "d", "password": None}),
    (MsgType.WARDEN, {"fun": ["x"]}),
    (MsgType.TASK_ADMIN, {"fun": {}}),
    (MsgType.ON_JSON, {"a": 1}),
])
def test_wrong_typed_requests_fail(agent, msg_type, args):
    s = agent.session()
    s.send_frame(msg_type, s.seal(json.dumps(args).encode()))
    assert is_failure(s.unseal(s.recv_reply()))
    assert_in_step(s)
    assert agent.session().heartbeat()


def test_upload_header_with_bad_names_still_consumes_the_file_bytes(agent, tmp_path):
    s = agent.session()
    header = {"f_path": 5, "f_name": "f", "f_size": len(FRAME_LOOKALIKES)}
    s.send_frame(MsgType.ON_FILE, s.seal(json.dumps(header).encode()))
    s.sock.sendall(FRAME_LOOKALIKES)
    assert b"TypeError" in s.unseal(s.recv_reply())
    assert_in_step(s)


@pytest.mark.parametrize("header", [
    {"f_path": "d", "f_name": "f", "f_size": "1000"},
    {"f_path": "d", "f_name": "f", "f_size": 1000, "f_pos": None},
    {"f_path": "d", "f_name": "f", "f_size": 10 ** 30},
    ["not", "an", "object"],
])
def test_upload_header_without_a_usable_size_ends_the_connection(agent, header):
    s = agent.session()
    s.send_frame(MsgType.ON_FILE, s.seal(json.dumps(header).encode()))
    s.sock.sendall(FRAME_LOOKALIKES)
    assert sees_end(s.sock, DROPPED_WITHIN)
    assert agent.session().heartbeat()


def test_unopenable_upload_header_ends_the_connection(agent):
    s = agent.session()
    s.send_frame(MsgType.ON_FILE, os.urandom(80))
    s.sock.sendall(FRAME_LOOKALIKES)
    assert sees_end(s.sock, DROPPED_WITHIN)
    assert agent.session().heartbeat()

