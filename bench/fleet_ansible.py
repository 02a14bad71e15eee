"""A fleet of N agents on loopback driven two ways side by side: vemoctl
--hosts and ansible-playbook through the vemo.agent collection, both with
32 hosts at once and the same Ansible inventory. Each does a ping, a
10 MiB put and the same put again (nothing to send). Every agent runs in
a mount namespace of its own where FLEET_DIR is a directory of its own,
so one remote path names N different files, as on N machines.

Prints each step's seconds for both, the collection's overhead per host
((ansible - vemoctl) / N), and checks every copy by SHA-1.

    python3 bench/fleet_ansible.py [-n 200] [--forks 32] [--mib 10]"""
import argparse
import concurrent.futures
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

from common import REPO

import agent_process
from harness import BUILD

FLEET_DIR = "/tmp/vemo-fleet"
PLAY = """- hosts: all
  connection: local
  gather_facts: false
  tasks:
{task}
"""
TASKS = {
    "ping": "    - vemo.agent.ping:",
    "put": "    - vemo.agent.copy:\n        src: {src}\n        dest: %s/ansible/"
           % FLEET_DIR,
}


def start_fleet(base, count, agents):
    """Appends `count` agents to `agents`, each on a copy of the installed
    tree `base`; one start first makes the key and certificate they
    share."""
    agent_process.start_agent(base).stop()
    ports = set()
    while len(ports) < count:
        ports.add(agent_process.free_port())

    def one(index, port):
        root = base.parent / ("agent-%d" % index)
        shutil.copytree(str(base), str(root), symlinks=True)
        (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
        scratch = root / "scratch"
        scratch.mkdir()
        wrap = ["unshare", "-m", "sh", "-c",
                'mount --bind "$0" %s && exec "$@"' % FLEET_DIR, str(scratch)]
        agents.append(agent_process.start_agent(root, port=port, wrap=wrap))

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(one, range(count), sorted(ports)))
    agents.sort(key=lambda a: a.port)


def inventory(path, agents):
    path.write_text("[fleet]\n" + "".join(
        "a%d ansible_host=127.0.0.1 vemo_port=%d vemo_key=%s\n"
        % (i, a.port, a.install_dir / "data" / "id_rsa.pub")
        for i, a in enumerate(agents)))


def run(argv, env):
    """(seconds, exit code, output) of one command."""
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, text=True,
                          timeout=3600)
    return (time.perf_counter() - start, done.returncode,
            done.stdout + done.stderr)


def recap(output):
    totals = {}
    for counts in re.findall(r"^\S+\s+:\s+(ok=.*)$", output, re.M):
        for key, n in re.findall(r"(\w+)=(\d+)", counts):
            totals[key] = totals.get(key, 0) + int(n)
    return totals


def sha1_file(path):
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=200, help="agents")
    parser.add_argument("--forks", type=int, default=32)
    parser.add_argument("--mib", type=int, default=10)
    options = parser.parse_args()
    os.makedirs(FLEET_DIR, exist_ok=True)
    bin_dir = pathlib.Path(sys.executable).parent
    with tempfile.TemporaryDirectory(prefix="vemo-fleet-") as tmp:
        tmp = pathlib.Path(tmp)
        subprocess.run(["cmake", "--install", str(BUILD), "--strip",
                        "--prefix", str(tmp / "base" / "vemo")], check=True,
                       stdout=subprocess.DEVNULL)
        env = dict(os.environ, XDG_CONFIG_HOME=str(tmp / "config"),
                   HOME=str(tmp), ANSIBLE_NOCOLOR="1",
                   ANSIBLE_COLLECTIONS_PATH=str(REPO),
                   ANSIBLE_PYTHON_INTERPRETER=sys.executable,
                   PYTHONPATH=str(REPO / "master"))
        started = time.perf_counter()
        agents = []
        try:
            start_fleet(tmp / "base", options.n, agents)
            print("%d agents started in %.1f s"
                  % (options.n, time.perf_counter() - started))
            hosts = tmp / "hosts.ini"
            inventory(hosts, agents)
            payload = tmp / "payload.bin"
            payload.write_bytes(os.urandom(options.mib << 20))
            vemoctl = [sys.executable, "-m", "vemo_master.cli", "--hosts",
                       str(hosts), "--parallel", str(options.forks)]
            steps = [("ping", ["ping"], "ping"),
                     ("put %d MiB" % options.mib,
                      ["put", str(payload), FLEET_DIR + "/vemoctl/"], "put"),
                     ("put again", ["put", str(payload),
                                    FLEET_DIR + "/vemoctl/"], "put")]
            rows = []
            for label, words, task in steps:
                vemoctl_s, code, out = run(vemoctl + words, env)
                assert code == 0, out[-2000:]
                play = tmp / ("%s.yml" % task)
                play.write_text(PLAY.format(task=TASKS[task].format(
                    src=payload)))
                ansible_s, code, out = run(
                    [str(bin_dir / "ansible-playbook"), "-f",
                     str(options.forks), "-i", str(hosts), str(play)], env)
                totals = recap(out)
                assert code == 0 and totals.get("ok") == options.n, \
                    out[-2000:]
                rows.append((label, vemoctl_s, ansible_s,
                             totals.get("changed", 0)))
            want = sha1_file(payload)
            for a in agents:
                for way in ("vemoctl", "ansible"):
                    copy = a.root / "scratch" / way / payload.name
                    assert sha1_file(copy) == want, copy
        finally:
            with concurrent.futures.ThreadPoolExecutor(16) as pool:
                list(pool.map(lambda a: a.stop(), agents))
    print("%d agents on loopback, %d at once, every copy checked by SHA-1"
          % (options.n, options.forks))
    print("%-12s %10s %10s %14s %8s" % ("step", "vemoctl s", "ansible s",
                                         "overhead/host", "changed"))
    for label, v, a, changed in rows:
        print("%-12s %10.2f %10.2f %11.1f ms %8d" % (
            label, v, a, (a - v) * 1000.0 / options.n, changed))
    v_all = sum(r[1] for r in rows)
    a_all = sum(r[2] for r in rows)
    print("%-12s %10.2f %10.2f %11.1f ms" % ("all", v_all, a_all,
                                             (a_all - v_all) * 1000.0
                                             / options.n))


if __name__ == "__main__":
    main()
