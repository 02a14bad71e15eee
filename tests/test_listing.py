"""Directory listings and file records: enumeration order, links followed
for status with their text kept, broken links left out, owners without an
account, special files, names that are not UTF-8, times no float holds,
and the bound on the reply."""
import json
import os
import pwd
import socket
import tempfile

import pytest

import agent_process
from vemo_master import MsgType, UnexpectedReply, files

UNKNOWN_UID = 54321


def record(path):
    """The file record as the interpreter would build it."""
    st = os.stat(path)
    try:
        user = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        user = str(st.st_uid)
    return {"name": os.fsdecode(path).split("/")[-1],
            "mode": int(oct(st.st_mode)[-3:]), "mtime": int(st.st_mtime),
            "user": user, "size": st.st_size,
            "link": os.fsdecode(os.readlink(path)) if os.path.islink(path) else ""}


@pytest.fixture
def session(agent):
    return agent.session()


@pytest.fixture
def tree(tmp_path):
    """A directory with one of each kind of entry."""
    d = tmp_path / "d"
    (d / "sub").mkdir(parents=True)
    (d / "file.txt").write_bytes(b"0123456789")
    (d / "file.txt").chmod(0o4755)
    # Within a few hundred nanoseconds of the next second the interpreter's
    # float time rounds up; the record follows the interpreter.
    os.utime(str(d / "file.txt"), ns=(0, 1700000000999999999))
    (d / "link_file").symlink_to("file.txt")
    (d / "link_dir").symlink_to("sub")
    (d / "broken").symlink_to("nowhere")
    os.mkfifo(str(d / "fifo"))
    with open(os.path.join(bytes(d), b"\xff.bin"), "wb") as f:
        f.write(b"x")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(d / "sock"))
    yield d
    listener.close()


def test_listing_splits_entries_in_enumeration_order(session, tree):
    entries = [os.path.join(bytes(tree), n) for n in os.listdir(bytes(tree))]
    present = [e for e in entries if os.path.exists(e)]
    expected = {
        "dirs": [record(e) for e in present if os.path.isdir(e)],
        "files": [record(e) for e in present if not os.path.isdir(e)],
    }
    listing = files.list_dir(session, str(tree))
    assert listing == expected
    by_name = {r["name"]: r for r in listing["dirs"] + listing["files"]}
    assert "broken" not in by_name
    assert by_name["link_dir"]["link"] == "sub"
    assert by_name["file.txt"]["mode"] == 755
    assert by_name["file.txt"]["mtime"] == 1700000001
    assert {"fifo", "sock", "link_file", "\udcff.bin"} <= {
        r["name"] for r in listing["files"]}
    assert files.list_dir(session, str(tree) + "/") == listing


def test_large_directory_read_in_slices_keeps_order_and_drops_nothing(session, tree):
    # Enough entries that their status is read by several threads; the
    # kinds of the small tree recur all through it.
    for i in range(3000):
        (tree / ("f%05d" % i)).write_text("x" * (i % 7))
        if i % 3 == 0:
            (tree / ("d%05d" % i)).mkdir()
        if i % 5 == 0:
            (tree / ("l%05d" % i)).symlink_to("f%05d" % i if i % 10 else "nowhere")
    test_listing_splits_entries_in_enumeration_order(session, tree)


def test_empty_missing_and_non_directories(session, tmp_path):
    (tmp_path / "empty").mkdir()
    (tmp_path / "plain").write_text("x")
    assert files.list_dir(session, str(tmp_path / "empty")) == {
        "dirs": [], "files": []}
    with pytest.raises(files.Refused, match="no such directory") as missing:
        files.list_dir(session, str(tmp_path / "missing"))
    assert missing.value.msg == "指定目录不存在!"
    with pytest.raises(UnexpectedReply, match="NotADirectoryError"):
        files.list_dir(session, str(tmp_path / "plain"))
    assert session.heartbeat()


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to give files away")
def test_owner_without_account_is_its_id(session, tmp_path):
    assert UNKNOWN_UID not in [p.pw_uid for p in pwd.getpwall()]
    (tmp_path / "orphan").write_text("x")
    os.chown(str(tmp_path / "orphan"), UNKNOWN_UID, UNKNOWN_UID)
    (entry,) = files.list_dir(session, str(tmp_path))["files"]
    assert entry["user"] == str(UNKNOWN_UID)


def test_get_file_stat_of_links(py, tree):
    proc = py("""
import json, client
a = client.zq_vemo_client()
print(json.dumps(a.get_file_stat(%r)))
try:
    a.get_file_stat(%r)
except FileNotFoundError:
    print("missing")
""" % (str(tree / "link_file"), str(tree / "broken")))
    stat_line, missing = proc.stdout.splitlines()
    assert json.loads(stat_line) == record(str(tree / "link_file"))
    assert json.loads(stat_line)["link"] == "file.txt"
    assert missing == "missing"


def test_reply_text_is_what_json_dumps_writes(session, tmp_path):
    """The reply is written without the interpreter's encoder, yet byte for
    byte as it would write it: escapes, names that are not ASCII or not
    UTF-8, link texts, empty lists."""
    names = [b'quote"', b'back\\slash', b"tab\tnew\nline\x7f\x01", "été ☃ 🙂".encode(),
             b"\xff\xe2\x82", b"plain.txt"]
    for name in names:
        with open(os.path.join(bytes(tmp_path), name), "wb") as f:
            f.write(name)
    os.symlink("plain.txt", os.path.join(bytes(tmp_path), "é\\link".encode()))
    os.mkdir(os.path.join(bytes(tmp_path), b"sub\xe9"))
    entries = [os.path.join(bytes(tmp_path), n) for n in os.listdir(bytes(tmp_path))]
    expected = {"dirs": [record(e) for e in entries if os.path.isdir(e)],
                "files": [record(e) for e in entries if not os.path.isdir(e)]}
    reply = session.request(MsgType.GET_FILE_LIST, str(tmp_path))
    assert reply == json.dumps(expected).encode()
    assert session.request(MsgType.GET_FILE_LIST, str(tmp_path / "sub\udce9")) == (
        b'{"dirs": [], "files": []}')


def test_listing_reply_is_capped_by_max_reply(server_root, tmp_path):
    exact, over, big = tmp_path / "exact", tmp_path / "over", tmp_path / "big"
    for d, name in ((exact, "a"), (over, "ab")):
        d.mkdir()
        (d / name).write_text("x")
    cap = len(json.dumps({"dirs": [], "files": [record(str(exact / "a"))]}))
    # Many long link texts: refused while the directory is still read.
    big.mkdir()
    (big / "f").write_text("x")
    for i in range(5000):
        (big / ("l%04d" % i)).symlink_to("./" * 1900 + "f")
    agent = agent_process.start_agent(server_root, setup="a.max_reply = %d" % cap)
    try:
        s = agent.session()
        assert len(s.request(MsgType.GET_FILE_LIST, str(exact))) == cap
        for d in (over, big):
            with pytest.raises(UnexpectedReply, match="max_reply of %d bytes" % cap):
                files.list_dir(s, str(d))
            assert s.heartbeat()
    finally:
        agent.stop()


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs tmpfs at /dev/shm")
def test_times_beyond_a_float_are_listed_as_stored(session):
    times = {"latest": 2 ** 63 - 1, "earliest": -2 ** 63, "far": 2 ** 53 + 1, "now": 1700000000}
    with tempfile.TemporaryDirectory(dir="/dev/shm") as d:
        for name, t in times.items():
            path = os.path.join(d, name)
            open(path, "w").close()
            os.utime(path, (t, t))
            if os.stat(path).st_mtime_ns // 10 ** 9 != t:
                pytest.skip("the file system under /dev/shm bounds its times")
        listing = files.list_dir(session, d)
    assert {r["name"]: r["mtime"] for r in listing["files"]} == times
