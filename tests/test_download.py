"""Downloads: the sealed header, exactly the file's bytes from the offset
after it, resuming from a local partial file, and files that are missing,
special or shrinking."""
import os
import pwd
import time

import pytest

import agent_process
import raw_transfer as rt
from connection_checks import assert_in_step
from vemo_master import (ConnectionClosed, MsgType, UnexpectedReply, files,
                         recv_exact, transfer)

ME = pwd.getpwuid(os.getuid()).pw_name
MISSING = {"status": False, "msg": "指定文件不存在!"}


@pytest.fixture
def session(agent):
    return agent.session()


@pytest.mark.parametrize("size, offset, expected", [
    (0, None, 0),
    (300, None, 300),
    (5000, None, 5000),
    (2000, 1600, 400),
    (5000, 100, 4900),
    (2000, 2000, 0),
    (2000, 2500, 0),
])
def test_download_sends_the_file_from_the_offset(
        session, tmp_path, size, offset, expected):
    content = os.urandom(size)
    path = tmp_path / "f.bin"
    path.write_bytes(content)
    path.chmod(0o640)
    extra = {} if offset is None else {"f_pos": offset}

    header, raw = rt.download(session, path, expected, **extra)

    start = offset or 0
    assert list(header) == ["f_size", "f_mode", "f_user", "f_md5"]
    assert header == {"f_size": size, "f_mode": "640", "f_user": ME,
                      "f_md5": rt.md5(content[start:start + 512])}
    assert raw == content[start:]
    assert_in_step(session)


def test_missing_and_special_files_are_not_there(session, tmp_path):
    os.mkfifo(str(tmp_path / "fifo"))
    for name in ("missing", "fifo"):
        assert session.request_json(
            MsgType.ON_DOWNLOAD,
            {"filename": str(tmp_path / name)}) == MISSING
    assert_in_step(session)


def test_negative_offset_is_a_failure_before_any_byte(session, tmp_path):
    (tmp_path / "f.bin").write_bytes(b"abc")
    with pytest.raises(UnexpectedReply, match="Invalid argument"):
        rt.download(session, tmp_path / "f.bin", 0, f_pos=-1)
    assert_in_step(session)


def test_download_resumes_from_the_partial_file(session, tmp_path):
    content = os.urandom(3 * 1024 * 1024 + 11)
    remote = tmp_path / "remote.bin"
    remote.write_bytes(content)
    local = tmp_path / "local.bin"
    (tmp_path / "local.bin.part").write_bytes(content[:1000000])

    header = transfer.download(session, str(remote), str(local))

    assert header["f_md5"] == rt.md5(content[1000000:1000512])
    assert local.read_bytes() == content
    assert not (tmp_path / "local.bin.part").exists()


def test_stale_partial_larger_than_the_file_starts_over(session, tmp_path):
    content = os.urandom(1000)
    (tmp_path / "remote.bin").write_bytes(content)
    (tmp_path / "local.bin.part").write_bytes(os.urandom(5000))
    transfer.download(session, str(tmp_path / "remote.bin"),
                      str(tmp_path / "local.bin"))
    assert (tmp_path / "local.bin").read_bytes() == content


def test_changed_remote_file_fails_verification(session, tmp_path):
    content = os.urandom(4000)
    (tmp_path / "remote.bin").write_bytes(content)
    (tmp_path / "local.bin.part").write_bytes(b"z" * 1000)
    with pytest.raises(transfer.TransferError):
        transfer.download(session, str(tmp_path / "remote.bin"),
                          str(tmp_path / "local.bin"))
    assert not (tmp_path / "local.bin").exists()
    assert not (tmp_path / "local.bin.part").exists()


def test_file_shrinking_during_download_ends_the_connection(
        agent, session, tmp_path):
    size = 64 * 1024 * 1024
    path = tmp_path / "big.bin"
    with open(str(path), "wb") as f:
        f.truncate(size)
    header = session.request_json(MsgType.ON_DOWNLOAD,
                                  {"filename": str(path)})
    assert header["f_size"] == size
    # The agent is blocked on the full socket; the rest of the file goes.
    os.truncate(str(path), 1024 * 1024)
    with pytest.raises(ConnectionClosed):
        recv_exact(session.sock, size)
    assert agent.session().heartbeat()


def test_master_that_stops_reading_loses_the_connection(server_root, tmp_path):
    running = agent_process.start_agent(server_root, setup="a.io_timeout = 1.0")
    try:
        path = tmp_path / "big.bin"
        with open(str(path), "wb") as f:
            f.truncate(64 * 1024 * 1024)
        stuck = running.session()
        stuck.request_json(MsgType.ON_DOWNLOAD, {"filename": str(path)})
        time.sleep(2.5)  # well past the agent's stall bound
        with pytest.raises((ConnectionClosed, ConnectionResetError)):
            recv_exact(stuck.sock, 64 * 1024 * 1024)
        assert running.session().heartbeat()
    finally:
        running.stop()


def test_sha1_comparison(session, tmp_path):
    content = os.urandom(10000)
    (tmp_path / "f.bin").write_bytes(content)
    os.mkfifo(str(tmp_path / "fifo"))
    digest = rt.sha1(content)
    assert files.sha1_matches(session, str(tmp_path / "f.bin"), digest)
    assert not files.sha1_matches(session, str(tmp_path / "f.bin"),
                                  digest.upper())
    assert not files.sha1_matches(session, str(tmp_path / "missing"), digest)
    assert not files.sha1_matches(session, str(tmp_path / "fifo"), digest)
    assert session.request(MsgType.CHECK_FILE_SHA1,
                           {"f_name": str(tmp_path / "missing")}) == b"-1"
    with pytest.raises(UnexpectedReply, match="IsADirectoryError"):
        files.sha1_matches(session, str(tmp_path), digest)
