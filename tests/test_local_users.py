"""Local users own the directories the agent writes into: whatever they
plant there (links, FIFOs, their own files) or swap in while the agent
works must never make root write, chmod or chown anything else."""
import json
import os

import pytest

import agent_process
import raw_transfer as rt
from local_users import NOBODY, plant_link, untouched
from raw_transfer import COUNT_MISMATCH, TEMP, UPLOADED
from vemo_master import AgentFailure, files


# The panel's helper module with the local user's move placed inside the
# agent's window: before set_mode or file_sha1 does its work, the name in
# swap.json is replaced by the user's symlink or FIFO.
SWAPPING_PUBLIC = '''
import json
import os
import public_real
from public_real import *  # noqa: F401,F403

def _swap():
    try:
        with open("swap.json") as f:
            plan = json.load(f)
    except FileNotFoundError:
        return
    name = plan["name"]
    if os.path.lexists(name):
        os.unlink(name)
    if plan["to"] is None:
        os.mkfifo(name)
    else:
        os.symlink(plan["to"], name)
    os.lchown(name, plan["uid"], plan["uid"])

def set_mode(path, mode):
    _swap()
    return public_real.set_mode(path, mode)

def file_sha1(path):
    _swap()
    return public_real.file_sha1(path)
'''


@pytest.fixture
def agent(server_root):
    side = server_root / "vemo" / "client-side" / "class"
    (side / "public.py").rename(side / "public_real.py")
    (side / "public.py").write_text(SWAPPING_PUBLIC)
    running = agent_process.start_agent(server_root)
    yield running
    running.stop()


@pytest.fixture
def session(agent):
    return agent.session(timeout=10)


def swap_during_panel_call(agent, name, to):
    (agent.install_dir / "swap.json").write_text(json.dumps(
        {"name": str(name), "to": to and str(to), "uid": NOBODY.pw_uid}))


def plant_temp(temp, planted, content, offset, secret, tmp_path):
    if planted == "dangling link":
        plant_link(temp, tmp_path / "created")
    elif planted == "link to root's file":
        plant_link(temp, secret)
    else:
        temp.write_bytes(content[:offset])
        os.chown(str(temp), NOBODY.pw_uid, NOBODY.pw_gid)


@pytest.mark.parametrize("planted, offset", [
    ("dangling link", 0),
    ("link to root's file", len(b"root only")),
    ("user's own file", 700),
])
def test_upload_builds_only_on_a_temp_file_of_its_own(
        session, home, secret, tmp_path, planted, offset):
    content = os.urandom(2000)
    temp = home / ("f.bin" + TEMP)
    plant_temp(temp, planted, content, offset, secret, tmp_path)
    assert rt.check(session, home, "f.bin", len(content),
                    rt.md5(content[:512])) == "-1"
    assert not os.path.lexists(str(temp))

    plant_temp(temp, planted, content, offset, secret, tmp_path)
    header = rt.upload_header(home, "f.bin", content, offset,
                              f_pos=offset, f_mode="644", f_user="nobody")
    answer = rt.upload(session, header, content[offset:])

    assert not (tmp_path / "created").exists()
    assert untouched(secret)
    if offset:  # nothing of the agent's own holds the bytes before f_pos
        assert answer == COUNT_MISMATCH
        assert not os.path.lexists(str(home / "f.bin"))
    else:
        assert answer == UPLOADED
        assert not (home / "f.bin").is_symlink()
        assert (home / "f.bin").read_bytes() == content


def test_upload_is_private_until_its_final_mode(agent, home):
    content = os.urandom(300000)
    cut = agent.session()
    rt.send_upload_header(cut, rt.upload_header(home, "f.bin", content))
    cut.sock.sendall(content[:100000])
    cut.close()
    session = agent.session()
    assert rt.check(session, home, "f.bin", len(content),
                    rt.md5(content[:512])) == "100000"
    assert os.stat(str(home / ("f.bin" + TEMP))).st_mode & 0o777 == 0o600

    header = rt.upload_header(home, "f.bin", content, 100000)
    assert rt.upload(session, header, content[100000:]) == UPLOADED
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(str(home / "f.bin")).st_mode & 0o777 == 0o666 & ~umask


def test_upload_mode_and_owner_reach_the_written_file_only(
        agent, session, home, secret):
    target = home / "f.bin"
    swap_during_panel_call(agent, target, secret)
    content = os.urandom(2000)
    header = rt.upload_header(home, "f.bin", content,
                              f_mode="644", f_user="nobody")
    assert rt.upload(session, header, content) == UPLOADED
    assert untouched(secret)
    st = os.lstat(str(target))
    assert (st.st_mode, st.st_uid) == (0o100644, NOBODY.pw_uid)
    assert target.read_bytes() == content


def _make_dir(session, path):
    try:
        files.make_dir(session, str(path), "666", "nobody")
        return True
    except AgentFailure as failure:
        assert "PermissionError" in str(failure)
        return False


@pytest.mark.parametrize("operation", [
    lambda session, path: files.set_mode(session, str(path), "666", "nobody"),
    _make_dir,
], ids=["set_file_mode", "create_dir"])
@pytest.mark.parametrize("link_owner, target_owner, applied", [
    (NOBODY.pw_uid, 0, False),               # the user's link to root's file
    (0, 0, True),                            # root's own link
    (NOBODY.pw_uid, NOBODY.pw_uid, True),    # the user's link to their file
])
def test_modes_pass_only_through_links_the_target_owner_could_make(
        session, home, secret, operation, link_owner, target_owner, applied):
    os.chown(str(secret), target_owner, target_owner)
    plant_link(home / "a", secret, link_owner)
    plant_link(home / "b", home / "a", link_owner)  # and through a chain
    for link in ("a", "b"):
        secret.chmod(0o600)
        os.chown(str(secret), target_owner, target_owner)
        assert operation(session, home / link) == applied
        st = os.stat(str(secret))
        expected = (0o666, NOBODY.pw_uid) if applied else (0o600, target_owner)
        assert (st.st_mode & 0o7777, st.st_uid) == expected
        assert os.path.islink(str(home / link))


def test_digest_reads_only_the_regular_file_it_checked(
        agent, session, home):
    path = home / "f.bin"
    path.write_bytes(b"content")
    os.mkfifo(str(home / "fifo"))
    assert not files.sha1_matches(session, str(home / "fifo"),
                                  rt.sha1(b""))
    swap_during_panel_call(agent, path, None)
    assert files.sha1_matches(session, str(path), rt.sha1(b"content"))
    assert session.heartbeat()
