"""One upload per target at a time: the temp file is locked for the length
of a transfer, and an upload or check that finds it held fails with a
report naming the conflict, keeps its connection in step and leaves the
other upload's bytes alone."""
import fcntl
import os
import time

import pytest

import raw_transfer as rt
from vemo_master import UnexpectedReply, reply_json

UPLOADED = {"status": True, "msg": "上传成功!"}
TEMP = "._upload_tmp"


def locked_elsewhere(path):
    try:
        with open(str(path), "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    except FileNotFoundError:
        return False


def test_the_temp_file_is_locked_while_its_bytes_arrive(agent, tmp_path):
    dest = tmp_path / "dest"
    first, second = agent.session(), agent.session()
    content, other = os.urandom(300000), os.urandom(200000)
    rt.send_upload_header(first, rt.upload_header(dest, "f.bin", content))
    first.sock.sendall(content[:100000])
    temp = dest / ("f.bin" + TEMP)
    deadline = time.monotonic() + 10
    while not (temp.exists() and temp.stat().st_size > 0):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    assert locked_elsewhere(temp)
    # Runs beside the first: refused, its bytes consumed, nothing mixed.
    rt.send_upload_header(second, rt.upload_header(dest, "f.bin", other))
    second.sock.sendall(other)
    with pytest.raises(UnexpectedReply, match="another upload to .*f.bin' is in progress"):
        reply_json(second.unseal(second.recv_reply()))
    assert second.heartbeat()
    first.sock.sendall(content[100000:])
    assert reply_json(first.unseal(first.recv_reply())) == UPLOADED
    assert (dest / "f.bin").read_bytes() == content
    assert not locked_elsewhere(dest / "f.bin")


def test_upload_and_check_against_a_held_temp_file_fail_and_touch_nothing(agent, tmp_path):
    dest = tmp_path / "dest"
    dest.mkdir()
    temp = dest / ("f.bin" + TEMP)
    held = os.urandom(1000)
    temp.write_bytes(held)
    temp.chmod(0o600)
    content = os.urandom(5000)
    session = agent.session()
    with open(str(temp), "rb") as f:
        # What an upload on another thread holds for its transfer.
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        for offset in (0, len(held)):
            header = rt.upload_header(dest, "f.bin", content, offset=offset)
            with pytest.raises(UnexpectedReply, match="another upload to .*f.bin' is in progress"):
                rt.upload(session, header, content[offset:])
            assert session.heartbeat()
        answer = rt.check(session, dest, "f.bin", len(content), rt.md5(content[:512]))
        assert "BlockingIOError: another upload to" in answer
        assert temp.read_bytes() == held
        assert not (dest / "f.bin").exists()
    header = rt.upload_header(dest, "f.bin", content)
    assert rt.upload(session, header, content) == UPLOADED
    assert (dest / "f.bin").read_bytes() == content
