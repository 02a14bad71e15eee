"""host/panelTask.py: archive jobs, task-queue operations and `run`."""
import io
import json
import os
import shutil
import subprocess
import tarfile
import threading
import time
import zipfile

import pytest

from local_users import plant_link, untouched


@pytest.fixture
def pt(load):
    load("public")
    return load("panelTask")


@pytest.fixture
def task(pt):
    return pt.zq_task()


def _make_tree(root):
    """site/ with nested content; returns {relative path: bytes}."""
    files = {
        "index.html": b"<h1>hi</h1>",
        "css/main.css": b"body{}",
        "css/img/logo.bin": os.urandom(5000),
        "deep/a/b/c.txt": "中文内容".encode("utf-8"),
    }
    for rel, data in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    (root / "empty_dir").mkdir()
    os.chmod(str(root / "index.html"), 0o640)
    return files


def _read_tree(root):
    out = {}
    for dirpath, _dirs, files in os.walk(str(root)):
        for f in files:
            p = os.path.join(dirpath, f)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, str(root))] = fh.read()
    return out


def _members(archive):
    if zipfile.is_zipfile(archive):
        with zipfile.ZipFile(archive) as zf:
            return sorted(n.rstrip("/") for n in zf.namelist())
    with tarfile.open(archive) as tf:
        return sorted(tf.getnames())


# ------------------------------------------------------------------ archives
@pytest.mark.parametrize("stype,ext", [("zip", "zip"), ("tar_gz", "tar.gz"),
                                       ("tar.gz", "tgz")])
def test_pack_unpack_directory(task, workdir, stype, ext):
    files = _make_tree(workdir / "www" / "site")
    dfile = str(workdir / "out" / ("site." + ext))
    r = task._zip(str(workdir / "www"), str(workdir / "www" / "site"), dfile,
                  "/dev/null", stype)
    assert r == {"status": True, "msg": "压缩成功!"}
    names = _members(dfile)
    assert "site/index.html" in names
    assert "site/css/img/logo.bin" in names
    assert "site/empty_dir" in names
    assert all(n.startswith("site") for n in names)
    if stype == "zip":
        assert zipfile.is_zipfile(dfile)
    else:
        with open(dfile, "rb") as f:
            assert f.read(2) == b"\x1f\x8b"

    r = task._unzip(dfile, str(workdir / "restore"), "", "/dev/null")
    assert r == {"status": True, "msg": "解压成功!"}
    got = _read_tree(workdir / "restore" / "site")
    assert got == files
    assert (workdir / "restore" / "site" / "empty_dir").is_dir()
    mode = os.stat(str(workdir / "restore" / "site" / "index.html")).st_mode
    assert mode & 0o777 == 0o640


@pytest.mark.parametrize("stype", ["zip", "tar_gz"])
def test_pack_trailing_slash_packs_content(task, workdir, stype):
    files = _make_tree(workdir / "site")
    sfile = str(workdir / "site") + "/"
    dfile = str(workdir / "site.arc")
    # the agent passes the path itself as the directory part
    r = task._zip(str(workdir / "site"), sfile, dfile, "/dev/null", stype)
    assert r["status"] is True, r
    assert "index.html" in _members(dfile)
    r = task._unzip(dfile, str(workdir / "x"), "", "/dev/null")
    assert r["status"] is True, r
    assert _read_tree(workdir / "x") == files


@pytest.mark.parametrize("stype", ["zip", "tar_gz"])
def test_pack_single_file_relative(task, workdir, stype):
    (workdir / "note.txt").write_text("note")
    # sfile without "/": empty directory part
    r = task._zip("", "note.txt", "note.arc", "/dev/null", stype)
    assert r["status"] is True, r
    assert _members("note.arc") == ["note.txt"]
    r = task._unzip("note.arc", "out", "", "/dev/null")
    assert r["status"] is True, r
    assert (workdir / "out" / "note.txt").read_text() == "note"


@pytest.mark.parametrize("stype", ["zip", "tar_gz"])
def test_archive_inside_source_not_packed_into_itself(task, workdir, stype):
    _make_tree(workdir / "site")
    dfile = str(workdir / "site" / "self.arc")
    for _ in range(2):  # the second time, over the first one's archive
        r = task._zip(str(workdir), str(workdir / "site"), dfile, "/dev/null",
                      stype)
        assert r["status"] is True, r
        assert "site/self.arc" not in _members(dfile)


def test_log_receives_progress(task, workdir):
    (workdir / "f.txt").write_text("x")
    log = workdir / "task.log"
    task._zip(str(workdir), str(workdir / "f.txt"), str(workdir / "f.zip"),
              str(log), "zip")
    assert "f.txt" in log.read_text()


def test_zip_failures_are_messages(task, workdir):
    r = task._zip(str(workdir), str(workdir / "missing"), "x.zip",
                  "/dev/null", "zip")
    assert r["status"] is False and "missing" in r["msg"]
    (workdir / "f").write_text("x")
    r = task._zip(str(workdir), str(workdir / "f"), "x.rar", "/dev/null",
                  "rar")
    assert r["status"] is False and "rar" in r["msg"]
    (workdir / "adir").mkdir()
    r = task._zip(str(workdir), str(workdir / "f"), str(workdir / "adir"),
                  "/dev/null", "zip")
    assert r["status"] is False
    assert (workdir / "adir").is_dir()
    r = task._zip(str(workdir), "", "", "/dev/null", "zip")
    assert r["status"] is False


def test_unzip_failures_are_messages(task, workdir):
    r = task._unzip(str(workdir / "missing.zip"), "out", "", "/dev/null")
    assert r["status"] is False
    (workdir / "junk.bin").write_bytes(os.urandom(300))
    r = task._unzip(str(workdir / "junk.bin"), "out", "", "/dev/null")
    assert r["status"] is False
    (workdir / "broken.zip").write_bytes(b"PK\x03\x04garbage")
    r = task._unzip(str(workdir / "broken.zip"), "out", "", "/dev/null")
    assert r["status"] is False
    (workdir / "broken.tar.gz").write_bytes(b"\x1f\x8b\x08garbage")
    r = task._unzip(str(workdir / "broken.tar.gz"), "out", "", "/dev/null")
    assert r["status"] is False
    # a plain file where the destination directory should be
    with zipfile.ZipFile(str(workdir / "ok.zip"), "w") as zf:
        zf.writestr("a.txt", "a")
    (workdir / "plainfile").write_text("x")
    r = task._unzip(str(workdir / "ok.zip"), str(workdir / "plainfile"), "",
                    "/dev/null")
    assert r["status"] is False


def test_unzip_detects_format_from_content(task, workdir):
    with zipfile.ZipFile(str(workdir / "real_zip.tar.gz"), "w") as zf:
        zf.writestr("z.txt", "zip!")
    r = task._unzip(str(workdir / "real_zip.tar.gz"), "o1", "", "/dev/null")
    assert r["status"] is True, r
    assert (workdir / "o1" / "z.txt").read_text() == "zip!"
    with tarfile.open(str(workdir / "real_tar.zip"), "w:gz") as tf:
        data = b"tar!"
        info = tarfile.TarInfo("t.txt")
        info.size = len(data)
        tf.addfile(info, io.BytesIO(data))
    r = task._unzip(str(workdir / "real_tar.zip"), "o2", "", "/dev/null")
    assert r["status"] is True, r
    assert (workdir / "o2" / "t.txt").read_text() == "tar!"


# ------------------------------------------------------- path escape refused
@pytest.mark.parametrize("name", ["../evil.txt", "a/../../evil.txt",
                                  "/tmp/abs-evil.txt", "..\\evil.txt"])
def test_zip_escape_refused(task, workdir, name):
    arc = str(workdir / "evil.zip")
    with zipfile.ZipFile(arc, "w") as zf:
        zf.writestr("good.txt", "good")
        zf.writestr(zipfile.ZipInfo(name), "evil")
    dest = workdir / "dest"
    r = task._unzip(arc, str(dest), "", "/dev/null")
    assert r["status"] is False
    assert not (workdir / "evil.txt").exists()
    assert not os.path.exists("/tmp/abs-evil.txt")
    assert not (dest / "good.txt").exists()  # refused before extracting


def _tar_with(path, members):
    with tarfile.open(path, "w:gz") as tf:
        for info, data in members:
            tf.addfile(info, io.BytesIO(data) if data is not None else None)


def _file(name, data=b"evil"):
    info = tarfile.TarInfo(name)
    info.size = len(data)
    return info, data


def _link(name, target, kind=tarfile.SYMTYPE):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = target
    return info, None


@pytest.mark.parametrize("members", [
    [_file("../evil.txt")],
    [_file("ok/../../evil.txt")],
    [_file("/tmp/abs-evil.txt")],
    [_link("up", ".."), _file("up/evil.txt")],
    [_link("abs", "/tmp"), _file("abs/abs-evil.txt")],
    [_link("hard", "../evil.txt", tarfile.LNKTYPE)],
    [_link("here", "."), _file("here/evil.txt")],
], ids=["dotdot", "nested-dotdot", "absolute", "symlink-up",
        "symlink-abs", "hardlink-up", "below-link"])
def test_tar_escape_refused(task, workdir, members):
    arc = str(workdir / "evil.tar.gz")
    _tar_with(arc, [_file("good.txt", b"good")] + members)
    (workdir / "evil.txt").exists() and os.unlink(str(workdir / "evil.txt"))
    r = task._unzip(arc, str(workdir / "dest"), "", "/dev/null")
    assert r["status"] is False
    assert not (workdir / "evil.txt").exists()
    assert not (workdir / "dest" / "evil.txt").exists()
    assert not os.path.exists("/tmp/abs-evil.txt")


def test_tar_device_member_refused(task, workdir):
    info = tarfile.TarInfo("dev")
    info.type = tarfile.CHRTYPE
    info.devmajor, info.devminor = 1, 3
    arc = str(workdir / "dev.tar.gz")
    _tar_with(arc, [(info, None)])
    r = task._unzip(arc, str(workdir / "dest"), "", "/dev/null")
    assert r["status"] is False
    assert not (workdir / "dest" / "dev").exists()


def test_tar_inner_symlink_allowed(task, workdir):
    arc = str(workdir / "links.tar.gz")
    _tar_with(arc, [_file("dir/real.txt", b"real"), _link("alias", "dir")])
    r = task._unzip(arc, str(workdir / "dest"), "", "/dev/null")
    assert r["status"] is True, r
    assert os.path.islink(str(workdir / "dest" / "alias"))
    assert (workdir / "dest" / "alias" / "real.txt").read_bytes() == b"real"


@pytest.mark.parametrize("kind", ["zip", "tar"])
def test_existing_symlink_in_dest_not_followed(task, workdir, kind):
    outside = workdir / "outside"
    outside.mkdir()
    dest = workdir / "dest"
    dest.mkdir()
    os.symlink(str(outside), str(dest / "link"))
    arc = str(workdir / "a.arc")
    if kind == "zip":
        with zipfile.ZipFile(arc, "w") as zf:
            zf.writestr("link/evil.txt", "evil")
    else:
        _tar_with(arc, [_file("link/evil.txt")])
    r = task._unzip(arc, str(dest), "", "/dev/null")
    assert r["status"] is False
    assert not (outside / "evil.txt").exists()


def test_existing_file_symlink_replaced_not_written_through(task, workdir):
    victim = workdir / "victim.txt"
    victim.write_text("keep")
    dest = workdir / "dest"
    dest.mkdir()
    os.symlink(str(victim), str(dest / "f.txt"))
    arc = str(workdir / "a.zip")
    with zipfile.ZipFile(arc, "w") as zf:
        zf.writestr("f.txt", "new")
    r = task._unzip(arc, str(dest), "", "/dev/null")
    assert r["status"] is True, r
    assert victim.read_text() == "keep"
    assert (dest / "f.txt").read_text() == "new"
    assert not os.path.islink(str(dest / "f.txt"))


# ------------------------------------------------------------ zip passwords
@pytest.mark.skipif(shutil.which("zip") is None, reason="needs zip(1)")
def test_zip_password(task, workdir):
    (workdir / "secret.txt").write_text("top secret")
    subprocess.run(["zip", "-q", "-P", "pa55", "enc.zip", "secret.txt"],
                   cwd=str(workdir), check=True)
    r = task._unzip("enc.zip", "nopw", "", "/dev/null")
    assert r["status"] is False
    r = task._unzip("enc.zip", "badpw", "wrong", "/dev/null")
    assert r["status"] is False
    r = task._unzip("enc.zip", "ok", "pa55", "/dev/null")
    assert r["status"] is True, r
    assert (workdir / "ok" / "secret.txt").read_text() == "top secret"


# ------------------------------------------------------ task-queue operations
def test_task_operations(task, pt, workdir):
    assert task.get_task_list({}) == []
    r = task.add_task({"fun": "add_task", "type": "shell", "name": "echo",
                       "args": {"command": "echo 'it''s'"}})
    assert r["status"] is True and isinstance(r["id"], int)
    r2 = task.add_task({"type": "zip", "sfile": "a", "dfile": "a.zip",
                        "stype": "zip"})
    assert r2["status"] is True
    rows = task.get_task_list({})
    assert [row["id"] for row in rows] == [r["id"], r2["id"]]
    assert rows[0]["status"] == "pending"
    assert json.loads(rows[0]["args"]) == {"command": "echo 'it''s'"}
    assert json.loads(rows[1]["args"]) == {"sfile": "a", "dfile": "a.zip",
                                           "stype": "zip"}
    assert task.get_task({"id": str(r["id"])})["name"] == "echo"
    assert task.get_task_list({"status": "done"}) == []

    assert task.add_task({"type": "nope"})["status"] is False
    assert task.add_task({"type": "shell"})["status"] is False
    assert task.add_task({"type": "unzip", "args": "not json"})["status"] \
        is False

    assert task.remove_task({"id": r2["id"]}) == \
        {"status": True, "msg": "任务已删除!"}
    assert task.remove_task({"id": r2["id"]})["status"] is False
    assert task.remove_task({"id": "x"})["status"] is False
    assert task.remove_task({})["status"] is False
    assert len(task.get_task_list({})) == 1


def test_task_operations_take_dict_obj(task, load):
    public = load("public")
    req = public.dict_obj()
    req["fun"] = "add_task"
    req["type"] = "shell"
    req["args"] = '{"command": "true"}'
    assert task.add_task(req)["status"] is True
    req = public.dict_obj()
    req["fun"] = "get_task_list"
    assert len(task.get_task_list(req)) == 1


# ---------------------------------------------------------------- run loop
@pytest.fixture
def queue(pt):
    """Runs panelTask.run on a thread; stopped and joined afterwards."""
    t = threading.Thread(target=pt.run, args=({"interval": 0.05},),
                         daemon=True)
    t.start()
    yield pt
    pt.stop()
    t.join(10)
    assert not t.is_alive()


def _wait_done(task, tid, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        row = task.get_task({"id": tid})
        if row.get("status") in ("done", "failed"):
            return row
        time.sleep(0.05)
    raise AssertionError("task %s not finished: %r" % (tid, row))


def test_run_processes_queued_tasks(queue, workdir):
    task = queue.zq_task()
    _make_tree(workdir / "site")
    ids = [
        task.add_task({"type": "shell",
                       "args": {"command": "echo hello > shell.out; echo ok"}}),
        task.add_task({"type": "zip", "name": "pack",
                       "args": {"sfile": "site", "dfile": "site.zip",
                                "stype": "zip"}}),
    ]
    rows = [_wait_done(task, r["id"]) for r in ids]
    assert [row["status"] for row in rows] == ["done", "done"], rows
    assert (workdir / "shell.out").read_text() == "hello\n"
    assert "ok" in rows[0]["result"]
    assert rows[0]["start_time"] > 0 and rows[0]["end_time"] > 0
    assert "site/index.html" in _members("site.zip")

    r = task.add_task({"type": "unzip",
                       "args": {"sfile": "site.zip", "dfile": "back"}})
    assert _wait_done(task, r["id"])["status"] == "done"
    assert (workdir / "back" / "site" / "index.html").is_file()


def test_run_survives_bad_tasks(queue, load, workdir):
    public = load("public")
    task = queue.zq_task()
    bad = [
        task.add_task({"type": "shell", "args": {"command": "exit 3"}}),
        task.add_task({"type": "unzip",
                       "args": {"sfile": "missing.zip", "dfile": "o"}}),
        task.add_task({"type": "shell",
                       "args": {"command": "sleep 30", "timeout": 0.3}}),
    ]
    # rows the API would refuse, written directly
    for kind, args in (("bogus", "{}"), ("shell", "not json {"),
                       ("zip", '{"sfile": 5}')):
        bad.append({"id": public.M("tasks").insert({
            "name": "raw", "type": kind, "args": args, "status": "pending",
            "result": "", "addtime": 0, "start_time": 0, "end_time": 0})})
    good = task.add_task({"type": "shell", "args": {"command": "echo fine"}})
    started = time.time()
    rows = [_wait_done(task, r["id"]) for r in bad]
    assert all(row["status"] == "failed" for row in rows), rows
    assert "exit status 3" in rows[0]["result"]
    assert "timeout" in rows[2]["result"]
    assert time.time() - started < 15
    row = _wait_done(task, good["id"])
    assert row["status"] == "done" and "fine" in row["result"]


def test_run_marks_interrupted_and_accepts_text_args(pt, load, workdir):
    public = load("public")
    task = pt.zq_task()
    r = task.add_task({"type": "shell", "args": {"command": "true"}})
    public.M("tasks").where("id=?", (r["id"],)).update({"status": "running"})
    # bedrock passes the stored JSON text "{}" when started by run_thread
    t = threading.Thread(target=pt.run, args=("{}",), daemon=True)
    t.start()
    try:
        row = _wait_done(task, r["id"])
        assert row["status"] == "failed" and row["result"] == "interrupted"
    finally:
        pt.stop()
        t.join(10)
    assert not t.is_alive()


def test_run_with_none_argument(pt):
    t = threading.Thread(target=pt.run, args=(None,), daemon=True)
    t.start()
    time.sleep(0.2)
    pt.stop()
    t.join(10)
    assert not t.is_alive()


# ------------------------------------------ what local users plant or swap
# The agent runs the task object as root; `home` belongs to the local user
# nobody, and `secret` is root's file in root's own scratch directory
# (fixtures of tests/support/local_users.py).


def _finished(call, fifos, timeout=20):
    """call()'s result, or None when it was stuck past `timeout`: then
    the FIFOs are opened from the other side so that the call ends."""
    result = []
    t = threading.Thread(target=lambda: result.append(call()), daemon=True)
    t.start()
    t.join(timeout)
    if t.is_alive():
        for fifo in fifos:
            os.close(os.open(str(fifo), os.O_RDWR | os.O_NONBLOCK))
        t.join(timeout)
        return None
    return result[0]


@pytest.mark.parametrize("stype", ["zip", "tar_gz"])
@pytest.mark.parametrize("planted", [
    "link to root's file", "dangling link into root's directory",
    "directory linked to root's", "FIFO"])
def test_archive_never_written_through_what_a_user_planted(
        task, home, secret, tmp_path, stype, planted):
    (home / "site").mkdir()
    (home / "site" / "page.txt").write_text("page")
    dfile = home / "site.arc"
    if planted == "link to root's file":
        plant_link(dfile, secret)
    elif planted == "dangling link into root's directory":
        plant_link(dfile, tmp_path / "created")
    elif planted == "FIFO":
        os.mkfifo(str(dfile))
    else:
        plant_link(home / "out", tmp_path)
        dfile = home / "out" / "created"
    r = _finished(lambda: task._zip(str(home), str(home / "site"), str(dfile),
                                    "/dev/null", stype), [dfile])
    assert untouched(secret)
    assert not (tmp_path / "created").exists()
    if planted == "directory linked to root's":
        assert r["status"] is False
    else:
        assert r == {"status": True, "msg": "压缩成功!"}
        assert dfile.is_file() and not dfile.is_symlink()
        assert _members(str(dfile)) == ["site", "site/page.txt"]


@pytest.mark.parametrize("stype", ["zip", "tar_gz"])
def test_packing_leaves_out_fifos_and_stores_links_as_links(
        task, home, secret, stype):
    site = home / "site"
    site.mkdir()
    (site / "page.txt").write_text("page")
    os.mkfifo(str(site / "fifo"))
    plant_link(site / "alias", "page.txt")
    plant_link(site / "leak", secret)
    dfile = str(home / "site.arc")
    r = _finished(lambda: task._zip(str(home), str(site), dfile, "/dev/null",
                                    stype), [site / "fifo"])
    assert r == {"status": True, "msg": "压缩成功!"}
    links = {}
    if stype == "zip":
        with zipfile.ZipFile(dfile) as zf:
            for info in zf.infolist():
                if (info.external_attr >> 16) & 0o170000 == 0o120000:
                    links[info.filename] = zf.read(info).decode()
                else:
                    assert zf.read(info) != b"root only"
    else:
        with tarfile.open(dfile) as tf:
            links = {m.name: m.linkname for m in tf if m.issym()}
    assert links == {"site/alias": "page.txt", "site/leak": str(secret)}
    assert _members(dfile) == ["site", "site/alias", "site/leak",
                               "site/page.txt"]


@pytest.mark.parametrize("kind", ["zip", "tar"])
def test_unpacking_replaces_a_planted_fifo(task, home, kind):
    arc = str(home / "a.arc")
    if kind == "zip":
        with zipfile.ZipFile(arc, "w") as zf:
            zf.writestr("f.txt", "new")
    else:
        _tar_with(arc, [_file("f.txt", b"new")])
    dest = home / "dest"
    dest.mkdir()
    os.mkfifo(str(dest / "f.txt"))
    r = _finished(lambda: task._unzip(arc, str(dest), "", "/dev/null"),
                  [dest / "f.txt"])
    assert r == {"status": True, "msg": "解压成功!"}
    assert (dest / "f.txt").read_text() == "new"


def test_directory_swapped_for_a_link_mid_unpack(task, home, tmp_path,
                                                 monkeypatch):
    arc = str(home / "a.zip")
    with zipfile.ZipFile(arc, "w") as zf:
        zf.writestr("sub/a.txt", "a")
        zf.writestr("sub/b.txt", "b")
    dest = home / "dest"
    real_open = zipfile.ZipFile.open

    def open_after_the_users_move(self, name, *args, **kw):
        if getattr(name, "filename", name) == "sub/b.txt":
            os.rename(str(dest / "sub"), str(dest / "old"))
            plant_link(dest / "sub", tmp_path)
        return real_open(self, name, *args, **kw)

    monkeypatch.setattr(zipfile.ZipFile, "open", open_after_the_users_move)
    task._unzip(arc, str(dest), "", "/dev/null")
    assert not (tmp_path / "b.txt").exists()
    assert (dest / "old" / "a.txt").read_text() == "a"
