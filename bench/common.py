"""What the benchmarks share: an installed tree with a running agent, a
connected session, a plain TLS ping-pong to hold round trips against,
medians and processor time and peak memory of the agent process."""
import contextlib
import multiprocessing
import os
import pathlib
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "master"))
sys.path.insert(0, str(REPO / "tests" / "support"))

import agent_process  # noqa: E402
from harness import BUILD  # noqa: E402
from vemo_master import wire  # noqa: E402


# The panel's own crypto helper builds a cipher object on every call; the
# checkout's stand-in keeps one per session key.  The heartbeat and listing
# benches measure against the first unless --checkout-host asks for the
# stand-in as it is; the others take the stand-in.
PANEL_LIKE_HOST = "import rsa_aes\nrsa_aes.CIPHER_CACHE_SIZE = 0"


def add_host_option(parser):
    parser.add_argument("--checkout-host", action="store_true",
                        help="serve with the checkout's host stand-ins as they are, "
                        "not with a crypto helper that builds a cipher on every call "
                        "as the panel's does")


def host_text(checkout_host):
    return "checkout's host stand-ins" if checkout_host else "a cipher built on every call"


@contextlib.contextmanager
def running_agent(build=BUILD, checkout_host=True):
    """A fresh install of the current build, served by a real agent; with
    `checkout_host` false its crypto helper builds a cipher on every call."""
    with tempfile.TemporaryDirectory(prefix="vemo-bench-") as tmp:
        root = pathlib.Path(tmp)
        subprocess.run(["cmake", "--install", str(build), "--prefix",
                        str(root / "vemo")], check=True,
                       stdout=subprocess.DEVNULL)
        (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
        # Each run's agent has a new certificate, maybe on a port pinned
        # before: masters pin into a throwaway known-hosts file.
        saved = os.environ.get("XDG_CONFIG_HOME")
        os.environ["XDG_CONFIG_HOME"] = str(root / "master-config")
        agent = agent_process.start_agent(root, setup=None if checkout_host else PANEL_LIKE_HOST)
        try:
            yield agent
        finally:
            agent.stop()
            if saved is None:
                del os.environ["XDG_CONFIG_HOME"]
            else:
                os.environ["XDG_CONFIG_HOME"] = saved


def server_context(cert, key):
    """TLS server side of a plain peer, with the agent's certificate."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def client_context():
    """TLS client side as a master has it: no chain to check."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def _plain_server(cert, key, port_queue, request_size, reply):
    context = server_context(cert, key)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port_queue.put(listener.getsockname()[1])
        conn, _ = listener.accept()
        with context.wrap_socket(conn, server_side=True) as tls:
            while True:
                try:
                    wire.recv_exact(tls, request_size)
                except (ConnectionError, OSError):
                    return
                tls.sendall(reply)


def start_plain_peer(agent, serve, *args):
    """(process, port) of a plain TLS server process with the agent's
    certificate: `serve(cert, key, port_queue, *args)`, which puts its
    listening port on the queue."""
    cert = str(agent.install_dir / "cert" / "certificate.pem")
    key = str(agent.install_dir / "cert" / "privateKey.pem")
    ports = multiprocessing.Queue()
    peer = multiprocessing.Process(target=serve, args=(cert, key, ports) + args)
    peer.start()
    return peer, ports.get(timeout=10)


def plain_round_trips(agent, request, reply, rounds):
    """Seconds for `rounds` ping-pongs of `request` and `reply` over plain
    TLS between two processes, with the agent's certificate."""
    peer, port = start_plain_peer(agent, _plain_server, len(request), reply)
    context = client_context()
    raw = socket.create_connection(("127.0.0.1", port), 10)
    with context.wrap_socket(raw) as tls:
        def ping_pongs():
            for _ in range(rounds):
                tls.sendall(request)
                wire.recv_exact(tls, len(reply))
        seconds = timed(ping_pongs)
    peer.join(10)
    return seconds


def cpu_seconds(pid):
    """User and system time of process `pid` so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def median_time(fn, runs):
    return statistics.median(timed(fn) for _ in range(runs))


def _status_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def peak_growth_mib(pid, fn):
    """How far the peak resident memory of process `pid` rises above its
    resident memory at the start while `fn` runs."""
    try:
        # Resets the peak to the current resident size (Linux 4.0 and later).
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
    except OSError:
        pass
    before = _status_kib(pid, "VmRSS")
    fn()
    return (_status_kib(pid, "VmHWM") - before) / 1024.0
