"""vemoctl end to end: the command-line master run in-process through
main(argv) against real agents (as a subprocess where the terminal or the
process matters); transfers that resume, --json documents, exit codes and
one-line errors."""
import io
import os
import pty
import pwd
import select
import socket
import subprocess
import sys
import time

from cryptography.hazmat.backends import default_backend
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

import agent_process
import raw_transfer as rt
from harness import REPO
from vemoctl_run import OK, FAILED, USAGE, REFUSED, as_json, assert_one_line_error, vemoctl

CLI_TIMEOUT = 120


def test_put_and_get_round_trip_with_json_documents(agent, tmp_path):
    content = os.urandom(3 * 1024 * 1024 + 7)
    src = tmp_path / "src.bin"
    src.write_bytes(content)
    remote = tmp_path / "remote" / "a" / "f.bin"

    put = vemoctl(agent, "--json", "put", src, remote)
    assert put.returncode == OK and put.stderr == ""   # no bar off a terminal
    doc = as_json(put)
    assert list(doc) == ["command", "host", "port", "ok", "status", "seconds",
                         "bytes", "result"]
    assert (doc["command"], doc["ok"], doc["status"], doc["bytes"]) == (
        "put", True, "ok", len(content))
    assert doc["result"] == {"local": str(src), "remote": str(remote),
                             "size": len(content), "offset": 0,
                             "sent": len(content), "skipped": False,
                             "verified": True}
    assert remote.read_bytes() == content
    again = as_json(vemoctl(agent, "--json", "put", src, remote))
    assert (again["result"]["skipped"], again["bytes"]) == (True, 0)

    into = tmp_path / "into"
    get = vemoctl(agent, "--json", "get", remote, str(into) + "/")
    assert get.returncode == OK and get.stderr == ""
    result = as_json(get)["result"]
    assert (result["local"], result["offset"], result["received"]) == (
        str(into / "f.bin"), 0, len(content))
    assert (into / "f.bin").read_bytes() == content

    assert vemoctl(agent, "sha1", remote, src).returncode == OK
    differs = vemoctl(agent, "sha1", remote, rt.sha1(b"other"))
    assert_one_line_error(differs, FAILED, "SHA-1")


def test_put_resumes_an_upload_cut_mid_stream(agent, tmp_path):
    content = os.urandom(3 * 1024 * 1024)
    sent = 1024 * 1024 + 100
    dest = tmp_path / "dest"
    cut = agent.session()
    rt.send_upload_header(cut, rt.upload_header(dest, "f.bin", content))
    cut.sock.sendall(content[:sent])
    cut.close()
    src = tmp_path / "src.bin"
    src.write_bytes(content)

    # The agent notices the cut on its own time; the check then reports it.
    deadline = time.monotonic() + 20
    while rt.check(agent.session(), dest, "f.bin", len(content),
                   rt.md5(content[:512])) != str(sent):
        assert time.monotonic() < deadline, "agent never kept the cut upload"
        time.sleep(0.1)
    doc = as_json(vemoctl(agent, "--json", "put", src, dest / "f.bin"))
    assert (doc["result"]["offset"], doc["result"]["sent"]) == (
        sent, len(content) - sent)
    assert rt.sha1((dest / "f.bin").read_bytes()) == rt.sha1(content)


def test_get_resumes_from_the_partial_local_file(agent, tmp_path):
    content = os.urandom(2 * 1024 * 1024 + 5)
    remote = tmp_path / "remote.bin"
    remote.write_bytes(content)
    local = tmp_path / "local.bin"
    (tmp_path / "local.bin.part").write_bytes(content[:1000000])

    doc = as_json(vemoctl(agent, "--json", "get", remote, local))
    assert (doc["result"]["offset"], doc["result"]["received"]) == (
        1000000, len(content) - 1000000)
    assert rt.sha1(local.read_bytes()) == rt.sha1(content)
    assert not (tmp_path / "local.bin.part").exists()


def test_progress_bar_is_drawn_on_a_terminal(agent, tmp_path):
    src = tmp_path / "src.bin"
    src.write_bytes(os.urandom(2 * 1024 * 1024))
    master_fd, slave_fd = pty.openpty()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "vemo_master.cli", "--port", str(agent.port),
             "--key", str(agent.install_dir / "data" / "id_rsa.pub"),
             "put", str(src), str(tmp_path / "dest") + "/"],
            env=dict(os.environ, PYTHONPATH=str(REPO / "master")),
            stdout=subprocess.DEVNULL, stderr=slave_fd)
        os.close(slave_fd)
        seen = b""
        deadline = time.monotonic() + CLI_TIMEOUT
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master_fd], [], [], 0.5)
            if ready:
                try:
                    chunk = os.read(master_fd, 4096)
                except OSError:    # the terminal closed with the process
                    break
                if not chunk:
                    break
                seen += chunk
            elif proc.poll() is not None:
                break
        assert proc.wait(10) == OK
    finally:
        os.close(master_fd)
    # The terminal shows each line end as "\r\n"; the bar ends its line.
    text = seen.decode()
    assert text.endswith("\r\n")
    last = text[:-2].split("\r")[-1]
    assert "100%" in last and "/s" in last and "2.0 MiB/2.0 MiB" in last


def test_listing_modes_and_agent_operations_as_json(agent, tmp_path):
    path = tmp_path / "made" / "deep"
    assert vemoctl(agent, "mkdir", path).returncode == OK
    # The sticky bit is set, but the listing shows nine bits: not claimed
    # as read back.
    sticky = vemoctl(agent, "chmod", "1700", path)
    assert sticky.returncode == OK and "not read back" in sticky.stdout
    assert os.stat(path).st_mode & 0o7777 == 0o1700
    assert vemoctl(agent, "chmod", "700", path).returncode == OK
    stat = as_json(vemoctl(agent, "--json", "stat", path))["result"]
    assert (stat["path"], stat["type"], stat["mode"], stat["name"]) == (
        str(path), "dir", 700, "deep")
    (tmp_path / "made" / "f.txt").write_bytes(b"12345")
    listing = as_json(vemoctl(agent, "--json", "ls", tmp_path / "made"))["result"]
    assert [r["name"] for r in listing["dirs"]] == ["deep"]
    assert [(r["name"], r["size"]) for r in listing["files"]] == [("f.txt", 5)]

    workers = as_json(vemoctl(agent, "--json", "workers", "list"))["result"]
    assert "bedrock" in [w["module"] for w in workers["workers"]]
    ping = as_json(vemoctl(agent, "--json", "ping", "-c", "3"))["result"]
    assert len(ping["rtt_ms"]) == 3 and ping["avg_ms"] > 0


def test_exit_codes_and_one_line_errors(agent, tmp_path):
    other_key = tmp_path / "other.pub"
    other_key.write_bytes(rsa.generate_private_key(
        65537, 2048, default_backend()).public_key().public_bytes(
            serialization.Encoding.PEM,
            serialization.PublicFormat.SubjectPublicKeyInfo))
    closed_port = agent_process.free_port()

    assert_one_line_error(vemoctl(agent, "ping", key=other_key),
                          REFUSED, "key refused")
    assert_one_line_error(vemoctl(closed_port, "ping", key=other_key),
                          FAILED, "unreachable")
    assert_one_line_error(vemoctl(agent, "put", tmp_path / "missing", "/tmp/x"),
                          FAILED, "no such local file")
    assert_one_line_error(vemoctl(agent, "ls", tmp_path / "missing"),
                          REFUSED, "refused")
    assert_one_line_error(vemoctl(agent, "chmod", "700", tmp_path / "missing"),
                          REFUSED, "no such remote path")
    assert_one_line_error(vemoctl(agent, "task", "no_such_operation"),
                          REFUSED)
    assert_one_line_error(vemoctl(agent, "get", "relative/path"),
                          USAGE, "absolute")
    with socket.socket() as silent:   # accepts, never handshakes
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        assert_one_line_error(
            vemoctl(silent.getsockname()[1], "--timeout", "1", "ping",
                    key=other_key), FAILED, "timed out after 1 s")

    failed = vemoctl(closed_port, "--json", "ls", "/", key=other_key)
    doc = as_json(failed)
    assert (doc["ok"], doc["status"]) == (False, "failed")
    assert "unreachable" in doc["error"] and "result" not in doc


def test_put_resolves_the_destination_before_sending(agent, tmp_path):
    src = tmp_path / "site.conf"
    src.write_bytes(os.urandom(200000))
    site = tmp_path / "srv" / "site"
    (site / "site.conf").mkdir(parents=True)     # in the way of the copy

    # An existing directory receives the file, as with scp; a directory in
    # the way of the file is refused before a byte goes out.
    assert_one_line_error(vemoctl(agent, "put", src, site), REFUSED,
                          "is a directory")
    assert sorted(os.listdir(site)) == ["site.conf"]
    (site / "site.conf").rmdir()
    assert vemoctl(agent, "put", src, site).returncode == OK
    assert (site / "site.conf").read_bytes() == src.read_bytes()
    assert_one_line_error(vemoctl(agent, "put", src, src, site / "site.conf"),
                          REFUSED, "not a directory")

    # An owner the upload header cannot carry is set after the content,
    # and mode and owner apply to a file already in place too.
    placed = site / "site.conf"
    assert vemoctl(agent, "put", "--user", "www-data", src, site).returncode == OK
    assert os.stat(placed).st_uid == pwd.getpwnam("www-data").pw_uid
    assert vemoctl(agent, "put", "--mode", "600", src, site).returncode == OK
    assert os.stat(placed).st_mode & 0o7777 == 0o600

    # A local-side failure names the local path, not the host.
    missing_dir = vemoctl(agent, "get", site / "site.conf",
                          tmp_path / "loc" / "newdir" / "x.conf")
    assert_one_line_error(missing_dir, FAILED, str(tmp_path / "loc" / "newdir"))
    assert str(agent.port) not in missing_dir.stderr
    assert_one_line_error(vemoctl(agent, "get", site, tmp_path), REFUSED,
                          "is a directory (use -r)")
    doc = as_json(vemoctl(agent, "--json", "put", tmp_path / "nope", "/srv/"))
    assert (doc["ok"], doc["status"]) == (False, "failed")


def test_trees_several_sources_and_skips_like_rsync(agent, tmp_path):
    tree = tmp_path / "tree"
    (tree / "a" / "b").mkdir(parents=True)
    (tree / "x.txt").write_bytes(b"one")
    (tree / "a" / "b" / "y.sh").write_bytes(b"two")
    os.chmod(tree / "a" / "b" / "y.sh", 0o750)
    dst = tmp_path / "dst"

    dry = vemoctl(agent, "put", "-r", "--dry-run", tree, str(dst) + "/")
    assert dry.returncode == OK and "would send 3 bytes" in dry.stdout
    assert not dst.exists()
    first = as_json(vemoctl(agent, "--json", "put", "-r", tree, str(dst) + "/"))
    assert [f["skipped"] for f in first["result"]["files"]] == [False, False]
    assert (dst / "tree" / "a" / "b" / "y.sh").read_bytes() == b"two"
    assert os.stat(dst / "tree" / "a" / "b" / "y.sh").st_mode & 0o777 == 0o750
    again = as_json(vemoctl(agent, "--json", "put", "-r", tree, str(dst) + "/"))
    assert (again["bytes"], [f["skipped"] for f in again["result"]["files"]]) \
        == (0, [True, True])

    # Several sources, one of them a quoted glob, into a new directory.
    multi = vemoctl(agent, "put", str(tree / "*.txt"), tree / "a" / "b" / "y.sh",
                    str(tmp_path / "multi") + "/")
    assert multi.returncode == OK
    assert sorted(os.listdir(tmp_path / "multi")) == ["x.txt", "y.sh"]

    back = tmp_path / "back"
    assert vemoctl(agent, "get", "-r", dst / "tree", back).returncode == OK
    assert (back / "a" / "b" / "y.sh").read_bytes() == b"two"
    assert os.stat(back / "a" / "b" / "y.sh").st_mode & 0o777 == 0o750


def test_results_that_did_not_take_are_not_success(agent, tmp_path):
    target = tmp_path / "f.txt"
    target.write_bytes(b"x")
    assert_one_line_error(vemoctl(agent, "chown", "nosuchuser", target),
                          FAILED, "unchanged", "owner is root")
    assert_one_line_error(vemoctl(agent, "chown", "nobody:root", target),
                          USAGE, "not a group")
    assert vemoctl(agent, "chown", "nobody", target).returncode == OK
    assert_one_line_error(vemoctl(agent, "mkdir", target), FAILED, "unchanged")
    assert_one_line_error(vemoctl(agent, "put", "--mode", "640", "--user",
                                  "nosuchuser", target, tmp_path / "g.txt"),
                          FAILED, "owner is")
    assert_one_line_error(vemoctl(agent, "reload", "nosuchmod"), REFUSED,
                          "not a loaded module", "reloaded")
    assert_one_line_error(vemoctl(agent, "workers", "stop", "nosuch"),
                          REFUSED, "no worker nosuch")
    assert_one_line_error(vemoctl(agent, "pip", "list"), REFUSED,
                          "no private environment")
    assert_one_line_error(vemoctl(agent, "sha1", tmp_path / "none", target),
                          REFUSED, "no such remote path")
    shown = vemoctl(agent, "sha1", target, target)
    assert shown.returncode == OK
    assert rt.sha1(b"x") in shown.stdout and "same SHA-1" in shown.stdout
    # No plugin directory is an empty list, not the agent's failure.
    assert not (agent.install_dir / "plugin").exists()
    assert as_json(vemoctl(agent, "--json", "plugins"))["result"] == {
        "plugins": []}
    # The agent's own text in English; --json keeps it.
    refused = vemoctl(agent, "--json", "ls", tmp_path / "none")
    assert refused.stderr.endswith("no such directory\n")
    assert as_json(refused)["agent_msg"] == "指定目录不存在!"


def test_grammar_global_flags_anywhere_and_usage_as_json(agent, tmp_path):
    ping = vemoctl(agent, "ping", "--json", "--timeout", "20")
    assert ping.returncode == OK and as_json(ping)["command"] == "ping"
    usage = vemoctl(agent, "--json", "chmod", "9z9", "/x")
    assert usage.returncode == USAGE and as_json(usage)["status"] == "usage"
    assert_one_line_error(vemoctl(agent, "--hosts", tmp_path, "--host", "h",
                                  "ping"), USAGE, "--hosts")
    from vemo_master.cli.arguments import parse
    assert parse(["pip", "install", "x", "--pip-args", "--no-index"]
                 ).pip_args == "--no-index"


def test_progress_fits_a_narrow_pane_and_shows_verification():
    from vemo_master.cli.progress import Progress
    bar = Progress("a-rather-long-file-name.bin", stream=io.StringIO(),
                   enabled=True, clock=lambda: 1.0, columns=60)
    bar(5 * 2 ** 20, 10 * 2 ** 20)
    assert 0 < len(bar.line(2.0)) < 60
    bar.verifying()
    assert "verifying SHA-1" in bar.stream.getvalue().split("\r")[-1]


def test_closed_stdout_ends_quietly(agent, tmp_path):
    for i in range(3000):
        (tmp_path / ("f%04d" % i)).touch()
    env = dict(os.environ, PYTHONPATH=str(REPO / "master"))
    cmd = "%s -m vemo_master.cli --port %d --key %s ls %s | head -1" % (
        sys.executable, agent.port, agent.install_dir / "data" / "id_rsa.pub",
        tmp_path)
    proc = subprocess.run(["bash", "-o", "pipefail", "-c", cmd], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=CLI_TIMEOUT)
    assert proc.stderr == "" and proc.stdout.count("\n") == 1
    assert proc.returncode == 141
