"""vemoctl against an agent that lies (tests/support/hostile_agent.py): names
that climb out of the destination, modes with set-id bits, links, replies
that inflate or trickle, control characters, and certificate pins under
another spelling of the address. Each fails safe."""
import os
import posixpath
import re
import subprocess
import sys
import time

import pytest

from harness import REPO
from hostile_agent import HostileAgent, TreeAgent, gzip_bomb, record
from vemo_master import Session, known_hosts
from vemo_master.errors import DeadlineExceeded
from vemoctl_run import FAILED, OK, REFUSED, vemoctl

@pytest.fixture
def hostile(tmp_path):
    started = []

    def start(answer):
        started.append(HostileAgent(tmp_path, answer))
        return started[-1]
    yield start
    for agent in started:
        agent.close()


def tree_agent(hostile, entries, contents=None, top="/srv/t"):
    """An agent serving `entries` ({dir below top: listing}) under top."""
    tree = {"/srv": {"dirs": [record("t", 755)], "files": []}}
    tree.update({posixpath.join(top, d).rstrip("/") if d else top: listing
                 for d, listing in entries.items()})
    return hostile(TreeAgent(tree, contents or {}))


def mode(path):
    return os.stat(path).st_mode & 0o7777


def everything_below(path):
    return sorted(os.path.relpath(os.path.join(here, n), path)
                  for here, dirs, names in os.walk(path) for n in dirs + names)


@pytest.mark.parametrize("kind,name", [
    ("files", "../../escaped"), ("files", "/tmp/absolute"), ("dirs", "/abs"),
    ("files", ".."), ("dirs", "."), ("files", ""), ("files", "nul\0byte"),
    ("files", "a/b")])
def test_names_that_are_not_plain_refuse_the_whole_get(hostile, tmp_path, kind, name):
    listing = {"dirs": [], "files": [record("fine")]}
    listing[kind].append(record(name))
    agent = tree_agent(hostile, {"": listing}, {
        "/srv/t/fine": (b"ok", "644"), posixpath.join("/srv/t", name): (b"evil", "644")})
    dest = tmp_path / "a" / "b" / "dest"
    dest.mkdir(parents=True)
    got = vemoctl(agent, "get", "-r", "/srv/t", dest)
    assert got.returncode == REFUSED, (got.stdout, got.stderr)
    assert "refusing the remote name %r" % name in got.stderr
    assert everything_below(tmp_path / "a") == ["b", "b/dest"]


def test_modes_are_permission_bits_unless_asked_and_old_dirs_keep_theirs(hostile, tmp_path):
    agent = tree_agent(hostile, {
        "": {"dirs": [record("sub", 7777)], "files": [record("f")]},
        "sub": {"dirs": [], "files": [record("g")]}},
        {"/srv/t/f": (b"f", "4755"), "/srv/t/sub/g": (b"g", "6777")})
    kept = tmp_path / "dest" / "t"
    kept.mkdir(parents=True)
    kept.chmod(0o700)
    assert vemoctl(agent, "get", "-r", "/srv/t", tmp_path / "dest").returncode == OK
    assert (mode(kept), mode(kept / "f"), mode(kept / "sub"),
            mode(kept / "sub" / "g")) == (0o700, 0o755, 0o777, 0o777)

    assert vemoctl(agent, "get", "-r", "--setid", "/srv/t", tmp_path / "asked").returncode == OK
    assert mode(tmp_path / "asked" / "f") == 0o4755


def test_local_links_below_the_destination_are_not_written_through(hostile, tmp_path):
    agent = tree_agent(hostile, {
        "": {"dirs": [record("sub")], "files": [record("f")]},
        "sub": {"dirs": [], "files": [record("g")]}},
        {"/srv/t/f": (b"new", "644"), "/srv/t/sub/g": (b"g", "644")})
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "kept").write_bytes(b"kept")
    top = tmp_path / "dest" / "t"
    top.mkdir(parents=True)
    os.symlink(outside / "kept", top / "f.part")
    os.symlink(outside, top / "sub")
    got = vemoctl(agent, "get", "-r", "/srv/t", tmp_path / "dest")
    assert got.returncode == FAILED and "sub is a link or not a directory" in got.stderr
    assert everything_below(outside) == ["kept"]

    os.unlink(top / "sub")
    assert vemoctl(agent, "get", "-r", "/srv/t", tmp_path / "dest").returncode == OK
    assert (top / "f").read_bytes() == b"new" and not os.path.lexists(top / "f.part")
    assert everything_below(outside) == ["kept"]
    assert (outside / "kept").read_bytes() == b"kept"


def test_links_are_recreated_inside_and_skipped_outside(hostile, tmp_path):
    agent = tree_agent(hostile, {
        "": {"dirs": [record("sub"), record("a", link="."), record("b", link=".")],
             "files": [record("in", link="sub/../sub/g"), record("abs", link="/srv/t/sub/g"),
                       record("out", link="/etc/passwd"), record("up", link="../x")]},
        "sub": {"dirs": [], "files": [record("g")]}},
        {"/srv/t/sub/g": (b"g", "644")})
    got = vemoctl(agent, "get", "-r", "/srv/t", tmp_path)
    assert got.returncode == OK, got.stderr
    top = tmp_path / "t"
    assert {n: os.readlink(top / n) for n in ("in", "abs", "a", "b")} == {
        "in": "sub/g", "abs": "sub/g", "a": ".", "b": "."}
    assert (top / "in").read_bytes() == b"g"
    assert not os.path.lexists(top / "out") and not os.path.lexists(top / "up")
    assert "/srv/t/out -> /etc/passwd: link leading out of the tree, skipped" in got.stdout


def test_a_reply_that_inflates_is_refused_within_bounded_memory(hostile, tmp_path):
    bomb = gzip_bomb()

    def answer(msg_type, args, conn):
        conn.send_opened(bomb)
    agent = hostile(answer)
    proc = subprocess.Popen(
        [sys.executable, "-m", "vemo_master.cli", "--port", str(agent.port), "--key",
         str(agent.key_path), "ping"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        env=dict(os.environ, PYTHONPATH=str(REPO / "master")))
    with proc.stderr:
        err = proc.stderr.read().decode()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.returncode == FAILED and "(--max-reply)" in err, err
    assert usage.ru_maxrss < 400 * 1024  # KiB; it opens to 1 GiB


def test_a_trickled_reply_ends_at_the_deadline(hostile, tmp_path):
    def answer(msg_type, args, conn):
        conn.send_raw(b"\xff\x00\x00\x00")
        while True:
            conn.send_raw(b"x")
            time.sleep(0.3)
    agent = hostile(answer)
    start = time.monotonic()
    got = vemoctl(agent, "--timeout", "1", "--deadline", "2", "ping")
    assert got.returncode == FAILED and "deadline of 2 s" in got.stderr
    # The library's own default: a few times the per-wait timeout.
    session = Session("127.0.0.1", agent.port, agent.key_path.read_bytes(), timeout=0.5)
    with session:
        session.exchange_key()
        with pytest.raises(DeadlineExceeded):
            session.heartbeat()
    assert time.monotonic() - start < 60


def test_control_characters_from_the_agent_are_escaped(hostile, tmp_path):
    def answer(msg_type, args, conn):
        if args == "/srv":
            return b'{"dirs": [], "files": [{"name": "\\u001b]0;owned\\u0007\\u009b2J", ' \
                b'"mode": 644, "mtime": 0, "user": "\\u001b[31m", "size": 0, "link": ""}]}'
        return b'{"status": false, "msg": "\\u001b[2Jgone\\nnext"}'
    agent = hostile(answer)
    listed = vemoctl(agent, "ls", "/srv")
    assert listed.returncode == OK
    assert "\\x1b]0;owned\\x07\\x9b2J" in listed.stdout and "\\x1b[31m" in listed.stdout
    refused = vemoctl(agent, "ls", "/nope")
    assert refused.returncode == REFUSED and "\\x1b[2Jgone" in refused.stderr
    shown = listed.stdout + listed.stderr + refused.stdout + refused.stderr
    assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", shown)


def test_pins_hold_under_every_spelling_of_the_address(hostile, tmp_path):
    agent = hostile(TreeAgent({}, {}))
    path = known_hosts.default_path()
    os.makedirs(os.path.dirname(path))
    with open(path, "w") as f:
        f.write("127.0.0.1:%d %s\n" % (agent.port, "0" * 64))
    for host in ("127.0.0.1", "127.1", "127.000.000.001", "localhost"):
        got = vemoctl(agent, "ping", host=host)
        assert got.returncode == REFUSED and "certificate changed" in got.stderr, host

    # A line an older version wrote for the name is still read.
    with open(path, "w") as f:
        f.write("localhost:%d %s\n" % (agent.port, "0" * 64))
    assert vemoctl(agent, "ping", host="localhost").returncode == REFUSED
    os.unlink(path)
    assert vemoctl(agent, "ping", host="localhost").returncode == OK
    with open(path) as f:
        assert sorted(f.read().split()) == sorted([
            "127.0.0.1:%d" % agent.port, "localhost:%d" % agent.port,
            agent.fingerprint, agent.fingerprint])
    assert vemoctl(agent, "ping", host="127.1").returncode == OK
