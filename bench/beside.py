"""No master waits for another.  Master A runs one long operation at a time;
meanwhile master B heartbeats every 100 ms on its own connection and
master C connects fresh (TLS and key exchange) again and again.  Each row
prints B's heartbeat p50, p99 and longest gap between replies, C's
connect-to-key median and maximum, and A's own time, against an idle
round on the same agent."""
import hashlib
import json
import os
import socket
import statistics
import tempfile
import threading
import time

from common import running_agent
from unkeyed import connect_to_key, heartbeat_until, pct

from vemo_master import MsgType, files
from vemo_master import extension as x

PAUSE = 3.0
BIG = 512 << 20


def upload_with_pause(agent, a, scratch):
    content = os.urandom(8 << 20)
    header = {"f_path": scratch, "f_name": "up.bin", "f_size": len(content),
              "f_md5": hashlib.md5(content[:512]).hexdigest()}
    a.send_frame(MsgType.ON_FILE, a.seal(json.dumps(header).encode()))
    a.sock.sendall(content[:len(content) // 2])
    time.sleep(PAUSE)
    a.sock.sendall(content[len(content) // 2:])
    assert json.loads(a.unseal(a.recv_reply()))["status"] is True


def download_with_pause(agent, a, scratch):
    path = os.path.join(scratch, "big.bin")
    a.request_json(MsgType.ON_DOWNLOAD, {"filename": path})
    time.sleep(PAUSE)
    left = BIG - 512 * 1024  # the header carried the first piece
    while left > 0:
        left -= len(a.sock.recv(min(left, 1 << 20)))


def plugin_sleeping(agent, a, scratch):
    assert x.plugin(a, "slow", "nap", seconds=PAUSE) == {"slept": PAUSE}


def sha1_of_big_file(agent, a, scratch):
    files.sha1_matches(a, os.path.join(scratch, "big.bin"), "0" * 40)


def relay_to_silent_agent(agent, a, scratch):
    with socket.create_server(("127.0.0.1", 0)) as silent:
        try:
            x.other_sock(a, "127.0.0.1", silent.getsockname()[1], "k", "get_file_list", path="/")
        except Exception:  # noqa: BLE001 - the refusal is the expected end
            pass


OPERATIONS = [upload_with_pause, download_with_pause, plugin_sleeping, sha1_of_big_file,
              relay_to_silent_agent]


def watch(agent, busy):
    """B's heartbeat latencies and gaps and C's connect times while `busy`."""
    b = agent.session(timeout=60)
    connects = []

    def newcomers():
        while busy.is_set():
            connects.append(connect_to_key(agent))
            time.sleep(0.1)

    c = threading.Thread(target=newcomers)
    c.start()
    latencies, gaps = heartbeat_until(b, lambda count: not busy.is_set())
    c.join()
    b.close()
    return latencies, gaps, connects


def row(agent, name, operation, scratch):
    busy = threading.Event()
    busy.set()
    results = {}

    def run_a():
        a = agent.session(timeout=60)
        started = time.monotonic()
        if operation:
            operation(agent, a, scratch)
        else:
            time.sleep(PAUSE)
        results["a"] = time.monotonic() - started
        busy.clear()

    t = threading.Thread(target=run_a)
    t.start()
    latencies, gaps, connects = watch(agent, busy)
    t.join()
    ms = 1000.0
    print("%-24s A %5.2f s | B p50 %5.1f ms p99 %6.1f ms gap %6.1f ms | C median %5.1f ms max %6.1f ms"
          % (name, results["a"], statistics.median(latencies) * ms, pct(latencies, 0.99) * ms,
             max(gaps) * ms, statistics.median(connects or [0]) * ms, max(connects or [0]) * ms))


def main():
    with running_agent() as agent, tempfile.TemporaryDirectory() as scratch:
        with open(os.path.join(scratch, "big.bin"), "wb") as f:
            f.truncate(BIG)
        plugin = agent.install_dir / "plugin" / "slow"
        plugin.mkdir(parents=True)
        (plugin / "slow_main.py").write_text(
            "import time\n\nclass slow_main(object):\n"
            "    def nap(self, args):\n        time.sleep(float(args.seconds))\n"
            "        return {'slept': args.seconds}\n")
        row(agent, "idle", None, scratch)
        for operation in OPERATIONS:
            row(agent, operation.__name__, operation, scratch)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
