"""Uploads: the check's answers, the raw transfer, refusals that consume
what the master already sent, resuming after a cut, and the temp file."""
import fcntl
import os
import ssl
import struct
import time

import pytest

import agent_process
import raw_transfer as rt
from connection_checks import assert_in_step
from raw_transfer import COUNT_MISMATCH, TEMP, UPLOADED
from vemo_master import (MsgType, UnexpectedReply, files, pack_request,
                         reply_json, transfer)

BAD_HEAD = {"status": False, "msg": "错误的文件头!"}
BAD_PERMISSIONS = {"status": False, "msg": "错误的权限信息!"}
# Zero-length heartbeat frames: file bytes that the frame reader would
# answer one by one if it ever saw them.
FRAME_LOOKALIKES = struct.pack("<ib", 0, 16) * 2000


@pytest.fixture
def session(agent):
    return agent.session()


@pytest.fixture
def dest(tmp_path):
    return tmp_path / "dest"


@pytest.mark.parametrize("size", [0, 512, 513, 5 * 1024 * 1024 + 3])
def test_upload_places_exact_content_then_reports_it_in_place(
        session, tmp_path, dest, size):
    content = os.urandom(size)
    src = tmp_path / "src.bin"
    src.write_bytes(content)
    target_dir = dest / "a" / "b"

    first = transfer.upload(session, str(src), str(target_dir), "f.bin")
    again = transfer.upload(session, str(src), str(target_dir), "f.bin")

    assert (first.skipped, first.offset, first.reply) == (False, 0, UPLOADED)
    assert again.skipped
    assert (target_dir / "f.bin").read_bytes() == content
    assert not (target_dir / ("f.bin" + TEMP)).exists()


def test_first_chunk_arriving_in_parts_is_collected(session, agent, dest):
    content = os.urandom(4000)
    rt.send_upload_header(session, rt.upload_header(dest, "f.bin", content))
    for piece in (content[:100], content[100:512], content[512:]):
        session.sock.sendall(piece)
        time.sleep(0.1)
    assert reply_json(session.unseal(session.recv_reply())) == UPLOADED
    assert (dest / "f.bin").read_bytes() == content
    assert_in_step(session, agent)


def test_frame_sent_right_after_the_raw_bytes_is_served(session, dest):
    content = os.urandom(3000)
    rt.send_upload_header(session, rt.upload_header(dest, "f.bin", content))
    session.sock.sendall(content + pack_request(MsgType.HEARTBEAT))
    assert reply_json(session.unseal(session.recv_reply())) == UPLOADED
    assert session.unseal(session.recv_reply()) == b"1"
    assert (dest / "f.bin").read_bytes() == content


def test_bad_first_chunk_is_refused_and_the_transfer_consumed(
        session, agent, dest):
    content = FRAME_LOOKALIKES
    header = rt.upload_header(dest, "f.bin", content, f_md5=rt.md5(b"other"))
    assert rt.upload(session, header, content) == BAD_HEAD
    assert not dest.exists()
    assert_in_step(session, agent)


@pytest.mark.parametrize("mode, user, accepted", [
    (644, "root", True),
    ("755\n", "root", True),       # "$" also matches before a final newline
    ("\u0667\u0665\u0665", "root", True),  # Unicode digits are digits
    ("755", "\u7528\u6237", True),  # and CJK letters word characters
    ("0o755", "root", False),
    ("rwxr-xr-x", "root", False),
    ("755", "www-data", False),
    ("755", "a.b", False),
])
def test_permission_check_follows_the_interpreters_patterns(
        session, agent, dest, mode, user, accepted):
    content = FRAME_LOOKALIKES
    header = rt.upload_header(dest, "f.bin", content, f_mode=mode, f_user=user)
    answer = rt.upload(session, header, content)
    if accepted:
        assert answer == UPLOADED
        assert (dest / "f.bin").read_bytes() == content
    else:
        assert answer == BAD_PERMISSIONS
        assert not dest.exists()
    assert_in_step(session, agent)


def test_mode_without_user_fails_without_desynchronising(session, dest):
    content = FRAME_LOOKALIKES
    header = rt.upload_header(dest, "f.bin", content, f_mode="644")
    with pytest.raises(UnexpectedReply, match="KeyError: .f_user."):
        rt.upload(session, header, content)
    assert session.heartbeat()


def test_refused_resume_leaves_the_temp_file_alone(session, agent, dest):
    content = os.urandom(3000) + FRAME_LOOKALIKES
    dest.mkdir()
    temp = dest / ("f.bin" + TEMP)
    temp.write_bytes(content[:100])
    header = rt.upload_header(dest, "f.bin", content, offset=50)
    assert rt.upload(session, header, content[50:]) == COUNT_MISMATCH
    assert temp.read_bytes() == content[:100]
    assert not (dest / "f.bin").exists()
    assert_in_step(session, agent)


@pytest.mark.parametrize("held", [None, b"", b"12345"])
def test_empty_file_with_an_offset_overshoots(session, agent, dest, held):
    dest.mkdir()
    if held is not None:
        (dest / ("f.bin" + TEMP)).write_bytes(held)
    header = {"f_path": str(dest), "f_name": "f.bin", "f_size": 0, "f_pos": 5}
    assert rt.upload(session, header, b"") == COUNT_MISMATCH
    assert not (dest / "f.bin").exists()
    assert_in_step(session, agent)


def test_upload_replaces_target_and_never_builds_on_a_leftover(
        session, dest):
    dest.mkdir()
    (dest / "f.bin").write_bytes(b"old content that is longer" * 100)
    (dest / ("f.bin" + TEMP)).write_bytes(b"leftover of another upload")
    content = os.urandom(1500)
    assert rt.upload(session, rt.upload_header(dest, "f.bin", content),
                     content) == UPLOADED
    assert (dest / "f.bin").read_bytes() == content


def _cut_upload(session, dest, content, sent):
    rt.send_upload_header(session, rt.upload_header(dest, "f.bin", content))
    session.sock.sendall(content[:sent])


def _cut_seen(dest, sent):
    """Waits until the agent has written what arrived of a cut upload and
    let its temp file go: the upload runs beside the loop, so a check on
    another connection could otherwise come first."""
    temp = dest / ("f.bin" + TEMP)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open(str(temp), "rb") as f:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                if os.fstat(f.fileno()).st_size == sent:
                    return
        except (BlockingIOError, FileNotFoundError):
            pass
        time.sleep(0.05)


def test_cut_upload_resumes_from_what_arrived(agent, tmp_path, dest):
    content = os.urandom(3 * 1024 * 1024)
    sent = 1024 * 1024 + 100
    _cut_upload(agent.session(), dest, content, sent)
    agent._sessions[-1].close()
    _cut_seen(dest, sent)

    session = agent.session()
    assert rt.check(session, dest, "f.bin", len(content),
                    rt.md5(content[:512])) == str(sent)
    assert not (dest / "f.bin").exists()
    src = tmp_path / "src.bin"
    src.write_bytes(content)
    result = transfer.upload(session, str(src), str(dest), "f.bin")
    assert (result.offset, result.reply) == (sent, UPLOADED)
    assert files.sha1_matches(session, str(dest / "f.bin"), rt.sha1(content))


def test_stalled_upload_gives_up_the_connection_and_keeps_the_bytes(
        server_root, dest):
    running = agent_process.start_agent(server_root, setup="a.io_timeout = 1.0")
    try:
        content = os.urandom(200000)
        stalled = running.session()
        _cut_upload(stalled, dest, content, 70000)
        stalled.sock.settimeout(10)
        try:
            assert stalled.sock.recv(1) == b""
        except (ConnectionResetError, ssl.SSLError):
            pass
        _cut_seen(dest, 70000)
        assert rt.check(running.session(), dest, "f.bin", len(content),
                        rt.md5(content[:512])) == "70000"
    finally:
        running.stop()


def _put(path, content):
    if content is not None:
        path.write_bytes(content)


FILE = bytes(range(256)) * 8  # 2048 bytes


@pytest.mark.parametrize("target, temp, answer, temp_kept", [
    (FILE[:1000] + b"x" * 1048, None, "-2", False),  # same size and head
    (FILE[:2000], None, "-1", False),
    (None, FILE[:700], "700", True),
    (None, FILE[:300], "-1", False),    # too short to match the head digest
    (None, FILE, "-1", False),          # nothing left to send
    (None, FILE + b"more", "-1", False),
    (None, b"y" * 700, "-1", False),    # another file's start
])
def test_check_answers(session, dest, target, temp, answer, temp_kept):
    dest.mkdir()
    _put(dest / "f.bin", target)
    _put(dest / ("f.bin" + TEMP), temp)
    assert rt.check(session, dest, "f.bin", len(FILE), rt.md5(FILE[:512])) == answer
    assert (dest / ("f.bin" + TEMP)).exists() == temp_kept


def test_check_and_upload_never_wait_on_a_fifo(session, dest):
    dest.mkdir()
    os.mkfifo(str(dest / ("f.bin" + TEMP)))
    os.mkfifo(str(dest / "g.bin"))
    assert rt.check(session, dest, "f.bin", 10, rt.md5(b"0123456789")) == "-1"
    assert not (dest / ("f.bin" + TEMP)).exists()
    assert rt.check(session, dest, "g.bin", 0, rt.md5(b"")) == "-1"

    os.mkfifo(str(dest / ("f.bin" + TEMP)))
    content = os.urandom(600)
    assert rt.upload(session, rt.upload_header(dest, "f.bin", content),
                     content) == UPLOADED
    assert (dest / "f.bin").read_bytes() == content
