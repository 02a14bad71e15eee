"""vemoctl end to end: the command-line master run as a subprocess against
real agents; transfers that resume, --json documents, exit codes and
one-line errors."""
import json
import os
import pty
import select
import socket
import subprocess
import sys
import time

import pytest
from cryptography.hazmat.backends import default_backend
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

import agent_process
import raw_transfer as rt
from harness import REPO

CLI_TIMEOUT = 120
OK, FAILED, USAGE, REFUSED = 0, 1, 2, 3


def vemoctl(agent_or_port, *argv, key=None, stderr=subprocess.PIPE):
    """Runs vemoctl against an agent (or a bare port) with its key."""
    port = getattr(agent_or_port, "port", agent_or_port)
    if key is None:
        key = agent_or_port.install_dir / "data" / "id_rsa.pub"
    env = dict(os.environ, PYTHONPATH=str(REPO / "master"))
    return subprocess.run(
        [sys.executable, "-m", "vemo_master.cli", "--port", str(port),
         "--key", str(key)] + [str(a) for a in argv],
        env=env, stdout=subprocess.PIPE, stderr=stderr, text=True,
        timeout=CLI_TIMEOUT)


def as_json(proc):
    return json.loads(proc.stdout)


def assert_one_line_error(proc, code, *fragments):
    """Exit `code` and one error line (after the usage text for usage
    errors) holding every fragment."""
    assert proc.returncode == code, (proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr + proc.stdout
    last = proc.stderr.splitlines()[-1]
    assert last.startswith("vemoctl: ")
    if code != USAGE:
        assert proc.stderr == last + "\n"
    for fragment in fragments:
        assert fragment in last


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
