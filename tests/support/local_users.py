"""The local user and root's file that tests of local users' moves share:
`home` belongs to the local user nobody, `secret` is root's file outside
their reach.  Registered as a plugin by conftest.py, so the fixtures need
no import."""
import os
import pwd

import pytest

NOBODY = pwd.getpwnam("nobody")


@pytest.fixture
def home(tmp_path):
    """A directory of the local user."""
    path = tmp_path / "home"
    path.mkdir()
    os.chown(str(path), NOBODY.pw_uid, NOBODY.pw_gid)
    return path


@pytest.fixture
def secret(tmp_path):
    """A file only root may read, outside the user's reach."""
    path = tmp_path / "secret"
    path.write_bytes(b"root only")
    path.chmod(0o600)
    return path


def plant_link(link, to, uid=NOBODY.pw_uid):
    os.symlink(str(to), str(link))
    os.lchown(str(link), uid, uid)


def untouched(secret):
    st = os.stat(str(secret))
    return (st.st_mode & 0o7777, st.st_uid, secret.read_bytes()) == (
        0o600, 0, b"root only")
