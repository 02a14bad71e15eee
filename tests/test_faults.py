"""Faults during uploads: the agent killed mid-transfer and restarted, and a
disk that fills up under an upload."""
import os
import pathlib
import subprocess
import sys

import pytest

from vemo_master import VemoError, transfer

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "soak"))
import kill_uploads  # noqa: E402
from raw_transfer import TEMP  # noqa: E402


def test_uploads_survive_sigkill_and_resume_intact(server_root, tmp_path):
    counts = kill_uploads.kill_uploads(server_root, tmp_path, 5, seed=7,
                                       log=lambda text: None)
    assert counts["kills"] == counts["restarts"] == counts["uploads"] == 5
    assert counts["target reads"] > 0 and counts["uploads cut by the kill"] > 0
    assert {key: counts[key] for key in kill_uploads.FAILURES} \
        == dict.fromkeys(kill_uploads.FAILURES, 0)


def _mount(args, where):
    return subprocess.run(["mount"] + args + [str(where)], capture_output=True,
                          text=True, timeout=30)


@pytest.fixture
def small_disk(tmp_path):
    """A 2 MiB file system: tmpfs, or a loop-mounted ext4 image when tmpfs
    cannot be mounted."""
    where = tmp_path / "disk"
    where.mkdir()
    tried = _mount(["-t", "tmpfs", "-o", "size=2m", "tmpfs"], where)
    if tried.returncode != 0:
        image = tmp_path / "disk.img"
        with open(str(image), "wb") as f:
            f.truncate(2 * 1024 * 1024)
        made = subprocess.run(["mkfs.ext4", "-q", "-F", str(image)],
                              capture_output=True, text=True, timeout=60)
        looped = made.returncode == 0 and _mount(["-o", "loop", str(image)], where)
        if not looped or looped.returncode != 0:
            pytest.skip("cannot mount a small file system here: %s / %s"
                        % (tried.stderr.strip(), looped and looped.stderr.strip()))
    try:
        yield where
    finally:
        subprocess.run(["umount", str(where)], timeout=30)
        if os.path.ismount(str(where)):
            subprocess.run(["umount", "-l", str(where)], timeout=30)


def free_bytes(path):
    st = os.statvfs(str(path))
    return st.f_bavail * st.f_frsize


def test_full_disk_fails_the_upload_and_keeps_the_old_target(
        agent, small_disk, tmp_path):
    old = os.urandom(100 * 1024)
    (small_disk / "f.bin").write_bytes(old)
    free_before = free_bytes(small_disk)
    src = tmp_path / "big.bin"
    src.write_bytes(os.urandom(3 * 1024 * 1024))
    session = agent.session()

    with pytest.raises(VemoError) as failed:
        transfer.upload(session, str(src), str(small_disk), "f.bin")

    assert "No space left" in str(failed.value)
    assert (small_disk / "f.bin").read_bytes() == old
    assert not (small_disk / ("f.bin" + TEMP)).exists()
    assert free_bytes(small_disk) == free_before
    assert session.heartbeat()
    assert agent.session().heartbeat()
    # With room again the same upload goes through.
    os.remove(str(small_disk / "f.bin"))
    src.write_bytes(os.urandom(1024 * 1024))
    assert transfer.upload(session, str(src), str(small_disk), "f.bin").reply["status"]
