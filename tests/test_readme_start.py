"""README's "Start by hand" lines, run as written against a fresh install:
the install lays out data/ with a port file, keeps a port the operator
wrote, and the documented command starts an agent a master can reach."""
import os
import re
import signal
import subprocess
import time

import agent_process
from harness import BUILD, REPO, agent_env
from vemo_master import Session


def start_by_hand_lines():
    text = (REPO / "README.md").read_text(encoding="utf-8")
    after = text.split("Start by hand", 1)[1]
    block = re.search(r"\n\n((?:    .*\n)+)", after).group(1)
    return re.sub(r"\\\n\s*", "", block).splitlines()


def run_line(line, root, port):
    line = line.strip().replace("<dir>", str(root)).replace("<checkout>", str(REPO))
    line = line.replace("8899", str(port))
    if line.startswith("make install "):
        line += " BUILD=%s" % BUILD
    return line


def test_readme_start_by_hand_serves_a_master(tmp_path):
    root, port = tmp_path / "server", agent_process.free_port()
    install, write_port, start = [run_line(x, root, port) for x in start_by_hand_lines()]
    data = root / "vemo" / "client-side" / "data"

    subprocess.run(install, shell=True, cwd=REPO, check=True, timeout=600,
                   stdout=subprocess.DEVNULL)
    assert (data / "port.pl").read_text().strip() == "8899"
    assert data.stat().st_mode & 0o777 == 0o700
    subprocess.run(write_port, shell=True, check=True)
    subprocess.run(install, shell=True, cwd=REPO, check=True, timeout=600,
                   stdout=subprocess.DEVNULL)
    assert (data / "port.pl").read_text().strip() == str(port)

    errors = tmp_path / "agent.err"
    with open(errors, "wb") as err:
        agent = subprocess.Popen(start, shell=True, env=agent_env(root),
                                 stdout=subprocess.DEVNULL, stderr=err,
                                 start_new_session=True)
    try:
        deadline = time.monotonic() + agent_process.START_TIMEOUT
        while not agent_process._serves_tls(port):
            assert agent.poll() is None, errors.read_text()
            assert time.monotonic() < deadline, "no agent on port %d" % port
            time.sleep(0.2)
        key = (data / "id_rsa.pub").read_bytes()
        assert key.startswith(b"-----BEGIN PUBLIC KEY-----")
        with Session("127.0.0.1", port, key) as s:
            s.exchange_key()
            assert s.heartbeat()
    finally:
        os.killpg(agent.pid, signal.SIGINT)
        agent.wait(agent_process.STOP_TIMEOUT)
