"""Request frames as a master (or a careless peer) may send them."""
import json
import struct
import time

import pytest

from probe import probe, probe_value
from vemo_master import MsgType, wire


def heartbeat_frame(length=0):
    return wire.pack_request(MsgType.HEARTBEAT, b"", length)


@pytest.mark.parametrize("length", [0, -1, -2 ** 31])
def test_empty_and_negative_lengths_carry_no_payload(agent, length):
    s = agent.session()
    s.sock.sendall(heartbeat_frame(length))
    assert s.unseal(s.recv_reply()) == b"1"


def test_payload_reaches_operation_whole_when_sent_in_pieces(probed_agent):
    s = probed_agent.session()
    code = "reply = 5000 #" + "y" * 5000
    frame = wire.pack_request(MsgType.ON_JSON, s.seal(json.dumps(code).encode()))
    for i in range(0, len(frame), 700):
        s.sock.sendall(frame[i:i + 700])
        time.sleep(0.01)
    assert s.unseal(s.recv_reply()) == b"5000"
    assert s.heartbeat()


def test_split_header_is_read_until_complete(agent):
    s = agent.session()
    frame = heartbeat_frame()
    s.sock.sendall(frame[:2])
    time.sleep(0.3)
    s.sock.sendall(frame[2:])
    assert s.unseal(s.recv_reply()) == b"1"


@pytest.mark.parametrize("msg_type", [max(MsgType) + 1, 30, 127, -1, -128])
def test_unknown_types_are_consumed_without_reply(agent, msg_type):
    s = agent.session()
    junk = wire.pack_request(msg_type, b"z" * 3000)
    # Both frames in one write: the heartbeat is the first reply.
    s.sock.sendall(junk + heartbeat_frame())
    assert s.unseal(s.recv_reply()) == b"1"


def test_several_frames_in_one_record_are_all_served(agent):
    s = agent.session()
    s.sock.sendall(heartbeat_frame() * 5)
    for _ in range(5):
        assert s.unseal(s.recv_reply()) == b"1"


def test_peer_closing_mid_header_is_dropped_silently(agent):
    s = agent.session()
    before = agent.output()
    s.sock.sendall(heartbeat_frame()[:3])
    s.close()
    other = agent.session()
    assert other.heartbeat()
    assert agent.output() == before


def test_peer_closing_mid_payload_is_closed_without_dispatch(probed_agent):
    s = probed_agent.session()
    marker = probed_agent.install_dir / "dispatched"
    payload = s.seal(b'"open(\'dispatched\', \'w\').close()"')
    s.sock.sendall(wire.pack_request(MsgType.ON_JSON, payload)[:-5])
    s.close()
    other = probed_agent.session()
    assert other.heartbeat()
    assert not marker.exists()
    assert probe_value(other, "reply = len(a.connections)") == 1


def test_failure_in_handler_comes_back_as_sealed_report(probed_agent):
    s = probed_agent.session()
    report = probe(s, "raise ValueError('boom 汉')").decode()
    assert "ValueError: boom 汉" in report
    assert "ValueError: boom 汉" in probed_agent.output()
    assert s.heartbeat()


def test_error_raised_inside_the_agent_reports_like_any_other(agent):
    # Raised by the agent's own code, not by Python code: the report still
    # starts as a traceback and names the operation, so masters see a failure.
    s = agent.session()
    report = s.request(MsgType.GET_FILE_LIST, "data/port.pl").decode()
    assert report.startswith("Traceback (most recent call last):\n")
    assert "in get_file_list\nNotADirectoryError" in report
    s.send_frame(MsgType.GET_FILE_LIST, b"x" * 40)  # does not open
    assert s.unseal(s.recv_reply()).startswith(b"Traceback (most recent call last):\n")
    assert s.heartbeat()


def test_type_one_without_operation_fails_into_report(agent):
    s = agent.session()
    report = s.request(MsgType.ON_JSON, {})
    assert b"on_json" in report
    assert s.heartbeat()


@pytest.mark.parametrize("msg_type", [MsgType.HEARTBEAT, MsgType.GET_FILE_LIST,
                                      MsgType.WARDEN, MsgType.ON_JSON])
def test_requests_before_key_exchange_close_the_connection(agent, msg_type):
    s = agent.session()
    s.close()
    s.connect()
    s.send_frame(msg_type, b"q" * 64)
    with pytest.raises((ConnectionError, OSError)):
        s.recv_reply()
    assert agent.session().heartbeat()


def test_huge_key_exchange_is_refused_before_it_is_read(agent):
    s = agent.session()
    s.close()
    s.connect()
    s.sock.sendall(struct.pack("<ib", 2 ** 31 - 1, 0) + b"x" * 4096)
    with pytest.raises((ConnectionError, OSError)):
        s.recv_reply()


def test_disconnect_during_handler_prints_peer_address(probed_agent):
    s = probed_agent.session()
    local = s.sock.getsockname()
    code = "raise ConnectionResetError(104, 'Connection reset by peer')"
    s.send_frame(MsgType.ON_JSON, s.seal(('"%s"' % code).encode()))
    deadline = time.monotonic() + 5
    expected = "客户端[('127.0.0.1', %d)]意外断开连接!" % local[1]
    while expected not in probed_agent.output() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert expected in probed_agent.output()
    # Nothing is sent and the connection stays open for a later event.
    assert s.heartbeat()
