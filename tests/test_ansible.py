"""The vemo.agent collection through ansible-playbook against a real agent
and a closed loopback port: a play converges, a second run changes
nothing, drift made by hand is found by --check and put right by the next
run, a down agent is unreachable. Playbook runs are slow: few of them."""
import os
import pathlib
import re
import stat
import subprocess
import sys

import pytest

import agent_process

REPO = pathlib.Path(__file__).resolve().parents[1]
PLAYBOOK = """
- hosts: all
  connection: local
  gather_facts: false
  tasks:
    - vemo.agent.ping:
    - vemo.agent.file:
        path: {remote}/conf
        state: directory
        mode: "0750"
    - vemo.agent.copy:
        src: {local}
        dest: {remote}/conf/
        mode: "0640"
        owner: www-data
    - vemo.agent.fetch:
        src: {remote}/conf/app.conf
        dest: {fetched}/
        flat: true
"""


def recap(output):
    """{host: {"ok": n, "changed": n, "unreachable": n, "failed": n}}."""
    return {m.group(1): {k: int(n) for k, n in re.findall(r"(\w+)=(\d+)", m.group(2))}
            for m in re.finditer(r"^(\S+)\s+:\s+(ok=.*)$", output, re.M)}


@pytest.fixture
def play(agent, tmp_path):
    """play(*options) runs the playbook against the agent ("up") and a
    closed port ("down"); the recap and the folders it works on."""
    local = tmp_path / "app.conf"
    local.write_text("listen 80\n")
    remote, fetched = tmp_path / "remote", tmp_path / "fetched"
    (tmp_path / "play.yml").write_text(PLAYBOOK.format(
        remote=remote, local=local, fetched=fetched))
    key = agent.install_dir / "data" / "id_rsa.pub"
    (tmp_path / "hosts.ini").write_text(
        "up ansible_host=127.0.0.1 vemo_port=%d vemo_key=%s\n"
        "down ansible_host=127.0.0.1 vemo_port=%d vemo_key=%s\n"
        % (agent.port, key, agent_process.free_port(), key))
    env = dict(os.environ, HOME=str(tmp_path), ANSIBLE_NOCOLOR="1",
               ANSIBLE_COLLECTIONS_PATH=str(REPO),
               ANSIBLE_PYTHON_INTERPRETER=sys.executable,
               PYTHONPATH=str(REPO / "master"))

    def run(*options):
        done = subprocess.run(
            [str(pathlib.Path(sys.executable).parent / "ansible-playbook"),
             "-i", str(tmp_path / "hosts.ini"), str(tmp_path / "play.yml")]
            + list(options), env=env, capture_output=True, text=True, timeout=300)
        return recap(done.stdout), done.stdout + done.stderr
    return run, remote / "conf", fetched


def test_play_converges_finds_drift_and_marks_down_agent(play):
    run, conf, fetched = play
    hosts, out = run()
    assert hosts["up"]["changed"] == 3 and hosts["up"]["failed"] == 0, out
    assert hosts["down"]["unreachable"] == 1, out
    placed = conf / "app.conf"
    assert placed.read_text() == "listen 80\n" == (fetched / "app.conf").read_text()
    assert stat.S_IMODE(os.stat(conf).st_mode) == 0o750
    assert stat.S_IMODE(os.stat(placed).st_mode) == 0o640

    hosts, out = run()
    assert hosts["up"]["changed"] == 0 and hosts["up"]["ok"] == 4, out

    os.chmod(placed, 0o644)
    hosts, out = run("--check", "--diff")
    assert hosts["up"]["changed"] == 1, out
    assert '"mode": "0644"' in out and '"mode": "0640"' in out, out
    assert stat.S_IMODE(os.stat(placed).st_mode) == 0o644

    hosts, out = run()
    assert hosts["up"]["changed"] == 1, out
    assert stat.S_IMODE(os.stat(placed).st_mode) == 0o640


def test_collection_builds(tmp_path):
    done = subprocess.run(
        [str(pathlib.Path(sys.executable).parent / "ansible-galaxy"), "collection", "build",
         str(REPO / "ansible_collections" / "vemo" / "agent"), "--output-path", str(tmp_path)],
        capture_output=True, text=True, timeout=300, env=dict(os.environ, HOME=str(tmp_path)))
    assert done.returncode == 0, done.stdout + done.stderr
    assert (tmp_path / "vemo-agent-0.1.0.tar.gz").is_file()
