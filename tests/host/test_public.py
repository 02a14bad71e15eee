"""host/public.py against real files and a real SQLite database."""
import hashlib
import json
import os
import pwd
import string
import threading

import pytest


@pytest.fixture
def public(load):
    return load("public")


# ------------------------------------------------------------ result messages
def test_returnmsg_is_status_then_msg_with_a_real_bool(public):
    r = public.returnMsg(True, "上传成功!")
    assert json.dumps(r, ensure_ascii=False) == '{"status": true, "msg": "上传成功!"}'
    assert public.returnMsg(1, "x")["status"] is True
    assert public.returnMsg(0, "x")["status"] is False


# ---------------------------------------------------------------------- files
def test_files_round_trip_text_and_bytes_and_failures_are_false(public, workdir):
    p = str(workdir / "a.txt")
    assert public.writeFile(p, "hello 世界") is True
    assert public.readFile(p) == "hello 世界"
    assert public.writeFile(p, "replaced") is True
    assert public.readFile(p) == "replaced"
    assert public.writeFile(p, b"\x00\x01PEM", "wb+") is True
    assert public.readFile(p, "rb") == b"\x00\x01PEM"
    # bytes with the default text mode are written as bytes too
    assert public.writeFile(p, b"raw") is True
    assert public.readFile(p, "rb") == b"raw"

    assert public.writeFile(str(workdir / "no" / "such" / "dir" / "f"), "x") is False
    assert public.readFile(str(workdir / "nope.txt")) is False
    assert public.readFile(str(workdir)) is False  # a directory


def test_get_error_info(public):
    try:
        raise ValueError("boom-marker")
    except ValueError:
        text = public.get_error_info()
    assert "Traceback" in text
    assert "ValueError: boom-marker" in text


# ------------------------------------------------------------------- dict_obj
def test_dict_obj(public):
    d = public.dict_obj()
    assert "path" not in d
    d["path"] = "/www/x"
    assert "path" in d
    assert d["path"] == "/www/x"
    assert d.path == "/www/x"
    assert d.get("missing") is None
    assert d.missing is None
    with pytest.raises(KeyError):
        d["missing"]
    d.fun = "get_thread_list"
    assert d["fun"] == "get_thread_list"
    assert sorted(d.keys()) == ["fun", "path"]
    assert d.to_dict() == {"path": "/www/x", "fun": "get_thread_list"}
    assert len(d) == 2
    import copy
    c = copy.deepcopy(d)
    assert c.to_dict() == d.to_dict() and c.missing is None


# -------------------------------------------------------------- modes, owners
def test_set_mode_round_trips_through_get_mode_and_user(public, workdir):
    p = workdir / "f"
    p.write_text("x")
    for mode in ("755", "644", "600", "777", "400"):
        public.set_mode(str(p), mode)
        assert oct(os.stat(str(p)).st_mode)[-3:] == mode
        assert public.get_mode_and_user(str(p)) == {
            "mode": mode, "user": pwd.getpwuid(os.getuid()).pw_name}
    d = workdir / "d"
    d.mkdir()
    public.set_mode(str(d), "711")
    assert os.stat(str(d)).st_mode & 0o777 == 0o711


def _unused_uid():
    for uid in range(54321, 60000):
        try:
            pwd.getpwuid(uid)
        except KeyError:
            return uid
    pytest.skip("no unused uid found")


@pytest.mark.skipif(os.geteuid() != 0, reason="chown needs root")
def test_uid_as_text_without_account(public, workdir):
    p = workdir / "f"
    p.write_text("x")
    uid = _unused_uid()
    os.chown(str(p), uid, uid)
    assert public.get_mode_and_user(str(p))["user"] == str(uid)


@pytest.mark.skipif(os.geteuid() != 0, reason="chown needs root")
def test_set_own(public, workdir):
    p = workdir / "f"
    p.write_text("x")
    os.chown(str(p), _unused_uid(), 0)
    account = pwd.getpwuid(0)
    public.set_own(str(p), account.pw_name)
    st = os.stat(str(p))
    assert (st.st_uid, st.st_gid) == (account.pw_uid, account.pw_gid)
    assert public.get_mode_and_user(str(p))["user"] == account.pw_name


def test_set_own_unknown_account_is_harmless(public, workdir):
    p = workdir / "f"
    p.write_text("x")
    before = os.stat(str(p))
    public.set_own(str(p), "no-such-account-xyz")
    after = os.stat(str(p))
    assert (before.st_uid, before.st_gid) == (after.st_uid, after.st_gid)


# -------------------------------------------------------------------- digests
def test_digests_are_lowercase_hex_of_all_the_bytes(public, workdir):
    data = os.urandom(1024 * 1024 * 2 + 12345)   # several read chunks
    (workdir / "big.bin").write_bytes(data)
    (workdir / "empty").write_bytes(b"")
    assert public.bytes_md5(data) == hashlib.md5(data).hexdigest()
    assert public.bytes_md5(b"") == "d41d8cd98f00b204e9800998ecf8427e"
    assert public.file_sha1(str(workdir / "big.bin")) == hashlib.sha1(data).hexdigest()
    assert public.file_sha1(str(workdir / "empty")) == "da39a3ee5e6b4b0d3255bfef95601890afd80709"


# ---------------------------------------------------------------- path check
@pytest.mark.parametrize("text", [
    "abc", "a_b-c.d", "plugin/demo", "/www/server/x.py", "A1.tar.gz", ".hidden",
])
def test_path_safe_accepts(public, text):
    assert public.path_safe_check(text) is True


@pytest.mark.parametrize("text", [
    "", "..", "../etc", "a/../b", "a..b", "a b", "a;rm", "a|b", "$(id)",
    "`id`", "a\nb", "a\\b", "名字", "a'b", 'a"b', "a\x00b", None, 12,
])
def test_path_safe_rejects(public, text):
    assert public.path_safe_check(text) is False


# ---------------------------------------------------------- misc operations
def test_mod_reload(public, workdir, monkeypatch):
    import importlib
    (workdir / "reload_me_xyz.py").write_text("VALUE = 1\n")
    monkeypatch.syspath_prepend(str(workdir))
    mod = importlib.import_module("reload_me_xyz")
    try:
        assert mod.VALUE == 1
        (workdir / "reload_me_xyz.py").write_text("VALUE = 22\n")
        importlib.invalidate_caches()
        public.mod_reload(mod)
        assert mod.VALUE == 22
    finally:
        import sys
        sys.modules.pop("reload_me_xyz", None)


def test_get_random_string(public):
    s = public.GetRandomString()
    assert len(s) == 32
    assert set(s) <= set(string.ascii_letters + string.digits)
    assert len(public.GetRandomString(7)) == 7
    assert public.GetRandomString() != public.GetRandomString()


def test_get_client_ip(public, load):
    zq = load("ZQ_VEMO")
    zq.set_request(remote_addr="203.0.113.9")
    assert public.GetClientIp() == "203.0.113.9"
    zq.set_request(remote_addr="10.0.0.1",
                   headers={"X-Forwarded-For": "198.51.100.7, 10.0.0.1"})
    assert public.GetClientIp() == "198.51.100.7"


# ------------------------------------------------------------------------ M
WARDEN = ("CREATE TABLE IF NOT EXISTS `warden` ("
          "`id` INTEGER PRIMARY KEY AUTOINCREMENT, `name` TEXT, "
          "`module` TEXT, `args` TEXT, `addtime` INTEGER)")


def test_m_round_trip_in_a_database_it_creates(public, workdir):
    assert not (workdir / "data").exists()
    public.M(None).execute(WARDEN, ())
    assert (workdir / "data" / "default.db").is_file()
    M = public.M
    assert M("warden").count() == 0
    assert M("warden").select() == []
    assert M("warden").where("module=?", ("bedrock",)).find() is False
    assert not M("warden").where("module=?", ("bedrock",)).count()

    id1 = M("warden").insert({"name": "后台任务队列", "module": "bedrock",
                              "args": "{}", "addtime": 100})
    id2 = M("warden").insert({"name": "q'uo\"te", "module": "it's; DROP",
                              "args": '{"a": "\'"}', "addtime": 200})
    assert isinstance(id1, int) and id2 == id1 + 1
    assert M("warden").count() == 2

    row = M("warden").where("module=?", ("bedrock",)).find()
    assert row == {"id": id1, "name": "后台任务队列", "module": "bedrock",
                   "args": "{}", "addtime": 100}
    row["name"] = "mutable"  # a plain mutable mapping

    q = M("warden").where("module=?", ("it's; DROP",))
    assert q.count() == 1
    assert q.find()["name"] == "q'uo\"te"
    assert M("warden").where("module=? AND addtime>?",
                             ("it's; DROP", 150)).count() == 1

    rows = M("warden").select()
    assert [r["id"] for r in rows] == [id1, id2]
    assert all(type(r) is dict for r in rows)

    M("warden").where("module=?", ("it's; DROP",)).delete()
    assert M("warden").count() == 1
    assert M("warden").where("module=?", ("it's; DROP",)).find() is False
    M("warden").where("module=?", ("never",)).delete()
    assert M("warden").count() == 1

    n = M(None).execute("UPDATE `warden` SET `args`=? WHERE `module`=?",
                        ('{"x": "\'; --"}', "bedrock"))
    assert n == 1
    assert M("warden").find()["args"] == '{"x": "\'; --"}'
    rows = M(None).execute("SELECT `module` FROM `warden` WHERE `id`=?",
                           (id1,))
    assert rows == [{"module": "bedrock"}]

    M("warden").delete()
    assert M("warden").count() == 0


def test_m_duplicate_modules_and_update(public):
    public.M(None).execute(WARDEN, ())
    M = public.M
    for i in range(3):
        M("warden").insert({"name": "n%d" % i, "module": "same",
                            "args": "{}", "addtime": i})
    assert M("warden").where("module=?", ("same",)).count() == 3
    assert M("warden").where("module=?", ("same",)).find()["name"] == "n0"
    assert M("warden").where("addtime>=?", (1,)).update({"name": "z"}) == 2
    assert [r["name"] for r in M("warden").select()] == ["n0", "z", "z"]
    M("warden").where("module=?", ("same",)).delete()
    assert M("warden").count() == 0


def test_m_refuses_table_ops_without_a_table_and_bad_identifiers(public):
    with pytest.raises(ValueError):
        public.M(None).count()
    public.M(None).execute(WARDEN, ())
    with pytest.raises(ValueError):
        public.M("warden`; DROP TABLE `warden").count()
    with pytest.raises(ValueError):
        public.M("warden").insert({"name`": 1})
    assert public.M("warden").count() == 0


def test_m_from_threads(public):
    public.M(None).execute(WARDEN, ())
    errors = []

    def worker(k):
        try:
            for i in range(20):
                public.M("warden").insert({"name": "t", "module": "m%d" % k,
                                           "args": "{}", "addtime": i})
                public.M("warden").where("module=?", ("m%d" % k,)).count()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert public.M("warden").count() == 80
