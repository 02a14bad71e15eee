"""Archive commands (types 18 and 19): the arguments the panel's task
object receives, and a real pack/unpack round trip with the stand-in."""
import zipfile

from refusals import refusal
import agent_process
from local_users import plant_link, untouched
from vemo_master import MsgType
from vemo_master import archives

# Answers with the positional arguments it was given (keywords would not
# fit), or with bare text when asked to.
ECHO_TASK = '''
import public

def run(args=None):
    pass

class zq_task(object):
    def _zip(self, *args):
        return args[4] if args[4] == "as text" else public.returnMsg(True, args)

    def _unzip(self, *args):
        return public.returnMsg(False, args)
'''


def test_task_object_gets_the_exact_positional_arguments(server_root):
    (server_root / "vemo" / "client-side" / "class" / "panelTask.py").write_text(ECHO_TASK)
    agent = agent_process.start_agent(server_root)
    try:
        s = agent.session()
        for sfile, folder in [("a/b/f.txt", "a/b"), ("f.txt", ""), ("a/b/", "a/b"), ("/f", "/")]:
            assert archives.to_zip(s, sfile, "out.zip", "tar_gz") == {
                "status": True, "msg": [folder, sfile, "out.zip", "/dev/null", "tar_gz"]}
        assert archives.to_zip(s, "a/f", "out", "as text") == "as text"
        assert refusal(archives.un_zip, s, "in.zip", "dest", "secret") == [
            "in.zip", "dest", "secret", "/dev/null"]
        assert b"KeyError" in s.request(MsgType.UN_ZIP, {"sfile": "in.zip", "dfile": "dest"})
    finally:
        agent.stop()


def test_zip_round_trip_through_the_panel_task_object(agent, tmp_path):
    s = agent.session()
    (tmp_path / "site" / "sub").mkdir(parents=True)
    (tmp_path / "site" / "sub" / "page.txt").write_bytes(b"\x00 page \xff")
    archive = tmp_path / "site.zip"
    assert archives.to_zip(s, str(tmp_path / "site"), str(archive), "zip") == {
        "status": True, "msg": "压缩成功!"}
    with zipfile.ZipFile(str(archive)) as z:
        assert sorted(z.namelist()) == ["site/", "site/sub/", "site/sub/page.txt"]
    assert archives.un_zip(s, str(archive), str(tmp_path / "dest")) == {
        "status": True, "msg": "解压成功!"}
    assert (tmp_path / "dest" / "site" / "sub" / "page.txt").read_bytes() == b"\x00 page \xff"


def test_links_a_local_user_planted_are_neither_written_through_nor_packed(agent, home, secret):
    # The agent packs as root: a link at the archive's name, and one in the
    # tree, both lead to root's file.
    (home / "site").mkdir()
    (home / "site" / "page.txt").write_text("page")
    plant_link(home / "site" / "leak", secret)
    plant_link(home / "site.zip", secret)
    s = agent.session()
    # The agent refuses the archive's name itself; the task object, called
    # once it is gone, stores the link in the tree as a link.
    assert refusal(archives.to_zip, s, str(home / "site"), str(home / "site.zip"), "zip") == \
        "指定路径经过不可信的符号链接!"
    assert untouched(secret)
    (home / "site.zip").unlink()
    assert archives.to_zip(s, str(home / "site"), str(home / "site.zip"), "zip") == {
        "status": True, "msg": "压缩成功!"}
    assert untouched(secret)
    with zipfile.ZipFile(str(home / "site.zip")) as z:
        assert {i.filename: z.read(i) for i in z.infolist()} == {
            "site/": b"", "site/leak": str(secret).encode(), "site/page.txt": b"page"}
