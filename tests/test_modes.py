"""Modes, owners and directories: what reaches the panel's helper module,
exactly, and what the master is told."""
import os
import pwd
import re

import pytest

import agent_process
import raw_transfer as rt
import recording_public
from vemo_master import MsgType, files

ME = pwd.getpwuid(os.getuid()).pw_name
MODE_CALLS = ("set_mode", "set_own")
# The panel gets a path bound to the file the agent examined or wrote, never
# the name the master sent, which a local user could swap meanwhile; the
# modes checked on the test's own path show it reached the right file.
PATH = "<bound path>"
BOUND = re.compile(r"/proc/\d+/fd/\d+")
NOBODY = pwd.getpwnam("nobody")

# The panel's helpers as a panel may write them: the work done by commands
# in child processes, for which /proc/self is not the agent.
CHILD_PUBLIC = '''
import subprocess
from public_real import *  # noqa: F401,F403

def _run(*argv):
    return subprocess.run(argv, capture_output=True, text=True).stdout

def set_mode(path, mode):
    _run("chmod", str(mode), path)

def set_own(path, user):
    _run("chown", str(user) + ":", path)

def file_sha1(path):
    return _run("sha1sum", path).split(" ")[0]

def get_mode_and_user(path):
    mode, user = _run("stat", "-L", "-c", "%a %U", path).split()
    return {"mode": mode, "user": user}
'''


@pytest.fixture
def agent(server_root):
    """An agent whose `public` records the calls it receives."""
    recording_public.install(server_root)
    running = agent_process.start_agent(server_root)
    yield running
    running.stop()


@pytest.fixture
def session(agent):
    return agent.session()


def calls(agent, *names):
    return [[name, [PATH if isinstance(a, str) and BOUND.fullmatch(a) else a
                    for a in args]]
            for name, args in recording_public.calls(
                agent, *(names or MODE_CALLS))]


def mode_of(path):
    return os.stat(str(path)).st_mode & 0o7777


@pytest.mark.parametrize("args, expected_calls, mode", [
    ({"mode": "700", "user": ME},
     [["set_mode", [PATH, "700"]], ["set_own", [PATH, ME]]], 0o700),
    ({"mode": 711}, [["set_mode", [PATH, 711]]], 0o711),
    ({"user": ME}, [["set_own", [PATH, ME]]], 0o640),
    ({}, [], 0o640),
])
def test_set_file_mode_hands_values_on_unchanged(
        agent, session, tmp_path, args, expected_calls, mode):
    path = tmp_path / "f"
    path.write_text("x")
    path.chmod(0o640)
    assert files.set_mode(session, str(path), **args)
    assert calls(agent) == expected_calls
    assert mode_of(path) == mode


def test_set_file_mode_on_missing_path_calls_nothing(agent, session, tmp_path):
    assert not files.set_mode(session, str(tmp_path / "missing"), "700", ME)
    assert calls(agent) == []


def test_create_dir_creates_parents_and_applies_mode(agent, session, tmp_path):
    path = tmp_path / "a" / "b" / "c"
    files.make_dir(session, str(path), "750", ME)
    assert path.is_dir() and mode_of(path) == 0o750
    assert calls(agent) == [["set_mode", [PATH, "750"]],
                            ["set_own", [PATH, ME]]]


@pytest.mark.parametrize("kind", ["dir", "file"])
def test_create_dir_on_existing_path_only_applies_mode(
        agent, session, tmp_path, kind):
    path = tmp_path / "there"
    path.mkdir() if kind == "dir" else path.write_text("keep")
    files.make_dir(session, str(path), "701")
    assert mode_of(path) == 0o701
    assert path.is_dir() == (kind == "dir")
    assert calls(agent) == [["set_mode", [PATH, "701"]]]


def test_upload_with_mode_calls_the_panel_with_the_written_file(
        agent, session, tmp_path):
    content = os.urandom(2000)
    header = rt.upload_header(tmp_path, "f.bin", content,
                              f_mode="600", f_user=ME)
    assert rt.upload(session, header, content)["status"] is True
    target = str(tmp_path) + "/f.bin"
    assert calls(agent) == [["set_mode", [PATH, "600"]],
                            ["set_own", [PATH, ME]]]
    assert mode_of(target) == 0o600
    assert recording_public.calls(agent, "bytes_md5") == [
        ["bytes_md5", [content[:512].decode("latin-1")]]]


def test_download_and_digest_go_through_the_panel(agent, session, tmp_path):
    path = tmp_path / "f.bin"
    path.write_bytes(b"abc")
    rt.download(session, path, 3)
    session.request(MsgType.CHECK_FILE_SHA1,
                    {"f_name": str(path), "f_sha1": rt.sha1(b"abc")})
    assert calls(agent, "get_mode_and_user", "bytes_md5", "file_sha1") == [
        ["get_mode_and_user", [PATH]],
        ["bytes_md5", ["abc"]],
        ["file_sha1", [PATH]],
    ]


def test_helpers_working_in_a_child_process_reach_the_file(server_root, tmp_path):
    side = server_root / "vemo" / "client-side" / "class"
    (side / "public.py").rename(side / "public_real.py")
    (side / "public.py").write_text(CHILD_PUBLIC)
    agent = agent_process.start_agent(server_root)
    try:
        session = agent.session()
        path = tmp_path / "f"
        path.write_bytes(b"abc")
        path.chmod(0o600)
        assert files.set_mode(session, str(path), "640", "nobody")
        files.make_dir(session, str(tmp_path / "d"), "701", "nobody")
        header = rt.upload_header(tmp_path, "up", b"up", f_mode="604", f_user="nobody")
        assert rt.upload(session, header, b"up")["status"] is True
        for name, mode in (("f", 0o640), ("d", 0o701), ("up", 0o604)):
            assert (mode_of(tmp_path / name), os.stat(str(tmp_path / name)).st_uid) == (
                mode, NOBODY.pw_uid)
        assert files.sha1_matches(session, str(path), rt.sha1(b"abc"))
        header, _ = rt.download(session, path, 3)
        assert (header["f_mode"], header["f_user"]) == ("640", "nobody")
    finally:
        agent.stop()
