"""The library's calls that report change, against a real agent: what they
read, what they write, and what check=True leaves alone; and the errors a
caller tells apart."""
import os
import pwd
import stat

import pytest

import agent_process
import vemo_master as v
from vemo_master import extension as x


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def test_place_resolves_skips_applies_owner_and_checks(agent, tmp_path):
    s = agent.session()
    local = tmp_path / "app.conf"
    local.write_bytes(b"x" * 5000)
    dest = tmp_path / "remote"
    dest.mkdir()

    # A dash in the owner: the upload header refuses it, the mode and
    # owner operation sets it.
    first = v.place(s, str(local), str(dest), mode="0640", owner="www-data")
    landed = dest / "app.conf"
    assert first.changed and first.before is None
    assert landed.read_bytes() == local.read_bytes()
    assert mode_of(landed) == 0o640
    assert os.stat(landed).st_uid == pwd.getpwnam("www-data").pw_uid
    assert first.after["mode"] == "0640" and first.after["user"] == "www-data"

    assert not v.place(s, str(local), str(dest) + "/", "640", "www-data").changed

    os.chmod(landed, 0o666)
    preview = v.place(s, str(local), str(landed), "640", "www-data", check=True)
    assert preview.changed and preview.before["mode"] == "0666"
    assert mode_of(landed) == 0o666
    fixed = v.place(s, str(local), str(landed), "640", "www-data")
    assert fixed.changed and mode_of(landed) == 0o640

    local.write_bytes(b"y" * 5000)
    assert v.place(s, str(local), str(landed), check=True).changed
    assert landed.read_bytes() == b"x" * 5000
    assert v.place(s, str(local), str(landed)).changed
    assert landed.read_bytes() == b"y" * 5000


def test_fetch_and_dirs_modes_read_back(agent, tmp_path):
    s = agent.session()
    remote = tmp_path / "data.bin"
    remote.write_bytes(os.urandom(70000))
    here = tmp_path / "here"
    here.mkdir()
    assert v.fetch(s, str(remote), str(here)).changed
    assert (here / "data.bin").read_bytes() == remote.read_bytes()
    assert not v.fetch(s, str(remote), str(here / "data.bin")).changed

    tree = tmp_path / "a" / "b"
    assert v.ensure_dir(s, str(tree), "750", check=True).changed
    assert not tree.exists()
    made = v.ensure_dir(s, str(tree), "750")
    assert made.changed and made.after["type"] == "dir" and mode_of(tree) == 0o750
    assert not v.ensure_dir(s, str(tree), "0750").changed

    # Setuid is applied, but the listing carries nine bits: said, not
    # claimed as read back.
    special = v.ensure_mode(s, str(remote), "4755")
    assert mode_of(remote) == 0o4755
    assert special.changed and "not read back" in special.note
    assert not v.ensure_owner(s, str(remote), "root").changed
    with pytest.raises(v.NotApplied):
        v.ensure_owner(s, str(remote), "no-such-account-here")
    with pytest.raises(v.NotApplied):
        v.ensure_dir(s, str(remote))
    with pytest.raises(v.Refused):
        v.ensure_mode(s, str(tmp_path / "missing"), "644")


def test_errors_say_what_happened(agent, tmp_path):
    closed = agent_process.free_port()
    with pytest.raises(v.Unreachable) as down:
        v.Session("127.0.0.1", closed, agent.public_key, timeout=5).connect()
    assert down.value.reason == "connection refused"

    s = agent.session()
    with pytest.raises(v.Refused) as refused:
        x.plugin(s, "nowhere", "who")
    assert refused.value.msg == "指定插件不存在!" and str(refused.value) == "no such plugin"
    plain = tmp_path / "plain"
    plain.write_text("")
    with pytest.raises(v.AgentFailure) as failure:
        v.files.list_dir(s, str(plain))
    assert failure.value.exception == "NotADirectoryError"
