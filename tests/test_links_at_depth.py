"""A local user's symbolic link anywhere in a path, not only at its end:
`site/conf -> <root's directory>` must not let any file operation reach
root's files, while root's own links and a user's links among their own
files keep working."""
import hashlib
import os
import pathlib
import zipfile

import pytest

import raw_transfer as rt
from local_users import NOBODY, plant_link
from raw_transfer import UPLOADED
from vemo_master import AgentFailure, MsgType, Refused, archives, files

SECRET = b"root only"
HELD = "held" + "._upload_tmp"


def fill(directory, uid):
    """What the operations aim at: a private file and a leftover temp file."""
    for name, data in (("shadow", SECRET), (HELD, b"x" * 10)):
        path = directory / name
        path.write_bytes(data)
        path.chmod(0o600)
        os.chown(str(path), uid, uid)


@pytest.fixture
def protected(tmp_path):
    """A root-owned directory the user cannot write, standing in for /etc."""
    path = tmp_path / "protected"
    path.mkdir()
    fill(path, 0)
    return path


def snapshot(directory):
    seen = {}
    for root, dirs, names in os.walk(str(directory)):
        for name in dirs + names:
            path = os.path.join(root, name)
            st = os.lstat(path)
            data = pathlib.Path(path).read_bytes() if os.path.isfile(path) else None
            seen[path] = (st.st_mode, st.st_uid, data)
    return seen


def failed(call):
    try:
        return call()
    except AgentFailure:
        return None


# Each operation acts on `conf` (the link) and answers whether it reached
# `real`, the directory the link leads to.
def upload(session, conf, real):
    header = rt.upload_header(conf, "shadow", b"new", f_mode="666", f_user="nobody")
    return failed(lambda: rt.upload(session, header, b"new")) == UPLOADED


def upload_into_new_dirs(session, conf, real):
    header = rt.upload_header(conf / "new" / "deeper", "f", b"new")
    failed(lambda: rt.upload(session, header, b"new"))
    return (real / "new" / "deeper" / "f").exists()


def upload_check(session, conf, real):
    assert rt.check(session, conf, "held", 1000, rt.md5(b"")) == "-1"
    return not (real / HELD).exists()


def create_dir(session, conf, real):
    failed(lambda: files.make_dir(session, str(conf / "made"), "777", "nobody"))
    return (real / "made").is_dir()


def set_file_mode(session, conf, real):
    return files.set_mode(session, str(conf / "shadow"), "666", "nobody")


def download(session, conf, real):
    header = session.request_json(MsgType.ON_DOWNLOAD, {"filename": str(conf / "shadow")})
    if "f_size" not in header:
        assert header["status"] is False
        return False
    return rt.recv_exact(session.sock, header["f_size"]) == SECRET


def sha1(session, conf, real):
    return files.sha1_matches(session, str(conf / "shadow"), hashlib.sha1(SECRET).hexdigest())


def listing(session, conf, real):
    try:
        return "shadow" in [r["name"] for r in files.list_dir(session, str(conf))["files"]]
    except Refused:
        return False


def refusal_allowed(call, *args):
    """Archive calls raise a refusal; what counts is what reached the disk."""
    try:
        call(*args)
    except Refused:
        pass


def zip_from(session, conf, real):
    out = conf.parent / "out.zip"
    refusal_allowed(archives.to_zip, session, str(conf / "shadow"), str(out), "zip")
    return out.exists()


def zip_into(session, conf, real):
    mine = conf.parent / "mine.txt"
    mine.write_bytes(b"mine")
    refusal_allowed(archives.to_zip, session, str(mine), str(conf / "out.zip"), "zip")
    return (real / "out.zip").exists()


def unzip_into(session, conf, real):
    archive = conf.parent / "in.zip"
    with zipfile.ZipFile(str(archive), "w") as z:
        z.writestr("dropped.txt", "dropped")
    refusal_allowed(archives.un_zip, session, str(archive), str(conf))
    return (real / "dropped.txt").exists()


OPERATIONS = [upload, upload_into_new_dirs, upload_check, create_dir, set_file_mode,
              download, sha1, listing, zip_from, zip_into, unzip_into]


@pytest.mark.parametrize("operation", OPERATIONS, ids=lambda op: op.__name__)
@pytest.mark.parametrize("link", ["user's link to root's dir", "root's link", "user's link to own dir"])
def test_a_link_one_level_up_is_followed_only_when_its_owner_could_go_there(
        agent, home, protected, operation, link):
    session = agent.session(timeout=10)
    if link == "user's link to own dir":
        real = home / "real"
        real.mkdir()
        os.chown(str(real), NOBODY.pw_uid, NOBODY.pw_gid)
        fill(real, NOBODY.pw_uid)
    else:
        real = protected
    plant_link(home / "conf", real, 0 if link == "root's link" else NOBODY.pw_uid)
    before = snapshot(real)

    reached = operation(session, home / "conf", real)

    if link == "user's link to root's dir":
        assert reached is False
        assert snapshot(real) == before
    else:
        assert reached is True
    assert session.heartbeat()


def test_listing_leaves_out_links_that_lead_to_others_files(agent, home, protected):
    plant_link(home / "leak", protected / "shadow")
    plant_link(home / "root's", protected / "shadow", 0)
    (home / "mine").write_bytes(b"mine")
    os.chown(str(home / "mine"), NOBODY.pw_uid, NOBODY.pw_gid)
    plant_link(home / "own", home / "mine")
    records = {r["name"]: r for r in files.list_dir(agent.session(), str(home))["files"]}
    assert sorted(records) == ["mine", "own", "root's"]
    assert (records["own"]["size"], records["own"]["link"]) == (4, str(home / "mine"))
    assert records["root's"]["size"] == len(SECRET)
