"""get -r of a tree holding a user's links, from a real agent: links are
recreated when they point inside the tree and skipped otherwise, so a file
the user could not read never lands in the copy and links to "." do not
send the walk round in circles; -L follows them, short of a loop."""
import os

from vemoctl_run import OK, vemoctl


def users_tree(tmp_path):
    secret = tmp_path / "elsewhere" / "secret"
    secret.parent.mkdir()
    secret.write_bytes(b"root only")
    secret.chmod(0o600)
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "sub" / "g").write_bytes(b"g")
    links = {"in": "sub/g", "abs": str(tree / "sub" / "g"), "secret": str(secret),
             "a": ".", "b": "."}
    for name, target in links.items():
        os.symlink(target, tree / name)
    return tree


def test_get_recreates_inside_links_and_skips_the_rest(agent, tmp_path):
    tree = users_tree(tmp_path)
    copy = tmp_path / "copy"
    done = vemoctl(agent, "get", "-r", tree, copy)
    assert done.returncode == OK, done.stderr
    assert {n: os.readlink(copy / n) for n in ("in", "abs", "a", "b")} == {
        "in": "sub/g", "abs": "sub/g", "a": ".", "b": "."}
    assert (copy / "abs").read_bytes() == b"g"
    assert not os.path.lexists(copy / "secret")
    assert "secret -> %s: link leading out of the tree, skipped" % (
        tmp_path / "elsewhere" / "secret") in done.stdout

    followed = tmp_path / "followed"
    done = vemoctl(agent, "get", "-r", "-L", tree, followed)
    assert done.returncode == OK, done.stderr
    assert (followed / "secret").read_bytes() == b"root only"
    assert sorted(os.listdir(followed)) == ["abs", "in", "secret", "sub"]
    assert "link back into the walk, skipped" in done.stdout
