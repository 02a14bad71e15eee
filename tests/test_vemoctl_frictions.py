"""What an operator met with vemoctl, against a real agent: put -r puts a
drifted mode right but leaves an existing directory's mode alone and says
so, --dry-run shows mode changes, local links are reported; one-line
refusals for ls FILE, sha1 DIR and a relay's wrong key or refusal; a
--json run interrupted by Ctrl-C still prints its document."""
import json
import os
import signal
import socket
import subprocess
import sys
import time

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from harness import REPO
from vemoctl_run import FAILED, OK, REFUSED, as_json, assert_one_line_error, vemoctl


def mode(path):
    return os.stat(path).st_mode & 0o7777


def test_put_tree_repairs_modes_keeps_directories_and_reports_links(agent, tmp_path):
    tree = tmp_path / "site"
    (tree / "conf").mkdir(parents=True)
    (tree / "conf" / "app.conf").write_text("listen 80\n")
    os.chmod(tree / "conf" / "app.conf", 0o640)
    os.symlink("conf/app.conf", str(tree / "current.conf"))
    os.symlink("/etc", str(tree / "etc"))
    dest = tmp_path / "srv"
    remote = dest / "site" / "conf" / "app.conf"

    first = vemoctl(agent, "put", "-r", tree, str(dest) + "/")
    assert first.returncode == OK, first.stderr
    assert "current.conf -> conf/app.conf: a link, not copied" in first.stdout
    assert "etc -> /etc: a link, not copied" in first.stdout
    assert sorted(os.listdir(dest / "site")) == ["conf"]
    assert mode(remote) == 0o640

    # Drift by hand: a wider file, a narrower directory.
    os.chmod(remote, 0o666)
    os.chmod(dest / "site" / "conf", 0o700)
    dry = vemoctl(agent, "put", "-r", "--dry-run", tree, str(dest) + "/")
    assert "in place, mode 0666 -> 0640" in dry.stdout, dry.stdout
    assert "conf/: kept mode 0700 (local 0755)" in dry.stdout
    assert mode(remote) == 0o666
    again = as_json(vemoctl(agent, "--json", "put", "-r", tree, str(dest) + "/"))
    entry, = again["result"]["files"]
    assert (entry["skipped"], entry["mode"], again["bytes"]) == (True, "0640", 0)
    assert len(again["result"]["links"]) == 2
    assert mode(remote) == 0o640 and mode(dest / "site" / "conf") == 0o700

    # --mode and --user put right a single file already in place, too.
    placed = vemoctl(agent, "put", "--mode", "600", "--user", "www-data",
                     tree / "conf" / "app.conf", remote)
    assert "already in place" in placed.stdout and "mode 0640 -> 0600" in placed.stdout
    assert "owner root -> www-data" in placed.stdout
    assert mode(remote) == 0o600


def test_one_line_refusals_and_the_relay_target(agent, tmp_path):
    f = tmp_path / "f.txt"
    f.write_text("x")
    assert_one_line_error(vemoctl(agent, "ls", f), REFUSED, "not a directory")
    assert_one_line_error(vemoctl(agent, "sha1", tmp_path, f), REFUSED,
                          "is a directory")
    target = "127.0.0.1:%d" % agent.port
    garbage = tmp_path / "garbage.pub"
    garbage.write_bytes(b"not a key")
    assert_one_line_error(vemoctl(agent, "relay", target, garbage, "heartbeat"),
                          FAILED, "%s is not an RSA public key" % garbage)
    other = rsa.generate_private_key(65537, 2048).public_key()
    wrong = tmp_path / "wrong.pub"
    wrong.write_bytes(other.public_bytes(serialization.Encoding.PEM,
                                         serialization.PublicFormat.SubjectPublicKeyInfo))
    assert_one_line_error(vemoctl(agent, "relay", target, wrong, "heartbeat"),
                          REFUSED, "relay target %s refused the key of %s"
                          % (target, wrong))
    key = agent.install_dir / "data" / "id_rsa.pub"
    refusal = vemoctl(agent, "--port", agent.port, "relay", target, key,
                      "get_file_list", "path=%s" % (tmp_path / "none"))
    assert_one_line_error(refusal, REFUSED, "%s (through %s): refused: no such "
                          "directory" % (target, target))


def test_json_document_on_ctrl_c(tmp_path):
    with socket.create_server(("127.0.0.1", 0)) as silent:
        key = tmp_path / "k.pub"
        key.write_text("unused")
        proc = subprocess.Popen(
            [sys.executable, "-m", "vemo_master.cli", "--port",
             str(silent.getsockname()[1]), "--key", str(key), "--json", "ping"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, PYTHONPATH=str(REPO / "master")))
        conn, _ = silent.accept()     # connected; the handshake never comes
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        conn.close()
    assert proc.returncode == 130
    document = json.loads(out)
    assert (document["command"], document["status"]) == ("ping", "interrupted")
