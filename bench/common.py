"""What the benchmarks share: an installed tree with a running agent, a
connected session, medians and peak memory of the agent process."""
import contextlib
import os
import pathlib
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


@contextlib.contextmanager
def running_agent(build=REPO / "build"):
    """A fresh install of the current build, served by a real agent."""
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
        agent = agent_process.start_agent(root)
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
