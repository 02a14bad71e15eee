"""The long operations master A runs in bench/beside.py, each on its own
session `a` against an agent prepared by `prepare`."""
import hashlib
import json
import os
import socket
import subprocess
import sys
import time

import common  # noqa: F401 - puts the test helpers and the master on the path
from wheels import build_wheel

from vemo_master import MsgType, archives, files
from vemo_master import extension as x

PAUSE = 3.0
BIG = 512 << 20
PIECE = 8 << 20
ENTRIES = 100_000


def prepare(agent, scratch):
    """Files, a sleeping plugin, wheels and a private environment."""
    with open(os.path.join(scratch, "big.bin"), "wb") as f:
        f.truncate(BIG)
    os.mkdir(os.path.join(scratch, "pack"))
    with open(os.path.join(scratch, "pack", "data.bin"), "wb") as f:
        f.write(os.urandom(20 << 20))
    crowd = os.path.join(scratch, "crowd")
    os.mkdir(crowd)
    for i in range(ENTRIES):
        open(os.path.join(crowd, "f%06d" % i), "wb").close()
    plugin = agent.install_dir / "plugin" / "slow"
    plugin.mkdir(parents=True)
    (plugin / "slow_main.py").write_text(
        "import time\n\nclass slow_main(object):\n"
        "    def nap(self, args):\n        time.sleep(float(args.seconds))\n"
        "        return {'slept': args.seconds}\n")
    env = agent.install_dir.parent / "pyenv"
    subprocess.run([sys.executable, "-m", "venv", str(env)], check=True, timeout=300)
    (env / "pip.conf").write_text("[global]\nno-index = true\ndisable-pip-version-check = true\n")
    wheels = agent.install_dir.parent / "wheels"
    wheels.mkdir()
    build_wheel(wheels, "vemoprobe", "1.0")


def upload(a, scratch, size, chunk, pace=None, pause_at=None, name="up.bin"):
    """An upload of `size` bytes written `chunk` at a time, at most `pace`
    bytes a second, with a PAUSE once `pause_at` bytes are sent."""
    piece = os.urandom(chunk)
    header = {"f_path": scratch, "f_name": name, "f_size": size,
              "f_md5": hashlib.md5(piece[:512]).hexdigest()}
    a.send_frame(MsgType.ON_FILE, a.seal(json.dumps(header).encode()))
    started, sent = time.monotonic(), 0
    while sent < size:
        if sent == pause_at:
            time.sleep(PAUSE)
        a.sock.sendall(piece)
        sent += chunk
        if pace:
            time.sleep(max(0.0, started + sent / pace - time.monotonic()))
    assert json.loads(a.unseal(a.recv_reply()))["status"] is True


def upload_1gib(agent, a, scratch):
    upload(a, scratch, 1 << 30, PIECE)


def upload_paced_2mib_s(agent, a, scratch):
    upload(a, scratch, 6 << 20, 256 << 10, pace=2 << 20)


def upload_with_pause(agent, a, scratch):
    upload(a, scratch, 8 << 20, 1 << 20, pause_at=4 << 20)


def download(a, path, size, pause=0.0):
    """A download of the `size` bytes at `path`, read after `pause` s."""
    a.request_json(MsgType.ON_DOWNLOAD, {"filename": path})
    time.sleep(pause)
    left = size - 512 * 1024  # the header carried the first piece
    while left > 0:
        left -= len(a.sock.recv(min(left, 1 << 20)))


def download_with_pause(agent, a, scratch):
    download(a, os.path.join(scratch, "big.bin"), BIG, PAUSE)


def plugin_sleeping(agent, a, scratch):
    assert x.plugin(a, "slow", "nap", seconds=PAUSE) == {"slept": PAUSE}


def relay_to_silent_agent(agent, a, scratch):
    with socket.create_server(("127.0.0.1", 0)) as silent:
        try:
            x.other_sock(a, "127.0.0.1", silent.getsockname()[1], "k", "get_file_list", path="/")
        except Exception:  # noqa: BLE001 - the refusal is the expected end
            pass


def pip_install_wheel(agent, a, scratch):
    wheels = agent.install_dir.parent / "wheels"
    assert x.install_mod(a, "vemoprobe", "--find-links %s" % wheels)["status"] is True
    assert x.uninstall_mod(a, "vemoprobe")["status"] is True


def tar_gz_20mib(agent, a, scratch):
    archives.to_zip(a, os.path.join(scratch, "pack"), os.path.join(scratch, "pack.tar.gz"),
                    "tar_gz")


def sha1_of_big_file(agent, a, scratch):
    files.sha1_matches(a, os.path.join(scratch, "big.bin"), "0" * 40)


def listing_100k(agent, a, scratch):
    assert len(files.list_dir(a, os.path.join(scratch, "crowd"))["files"]) == ENTRIES


OPERATIONS = [upload_1gib, upload_paced_2mib_s, upload_with_pause, download_with_pause,
              plugin_sleeping, relay_to_silent_agent, pip_install_wheel, tar_gz_20mib,
              sha1_of_big_file, listing_100k]
