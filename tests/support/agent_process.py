"""Running the real agent in a child process for end-to-end tests."""
import pathlib
import signal
import socket
import ssl
import subprocess
import sys
import time

from harness import agent_env
from vemo_master import Session

START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _serves_tls(port):
    # A full handshake, not a bare TCP connect: the agent handshakes inside
    # accept and would log a failed handshake for a probe that hangs up.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    try:
        with socket.create_connection(("127.0.0.1", port), 1.0) as raw:
            context.wrap_socket(raw).close()
        return True
    except OSError:
        return False


class AgentProcess(object):
    def __init__(self, root, port, proc, out_path, err_path):
        self.root = pathlib.Path(root)
        self.port = port
        self.proc = proc
        self._out_path = out_path
        self._err_path = err_path
        self._sessions = []
        self.public_key = None

    @property
    def install_dir(self):
        return self.root / "vemo" / "client-side"

    @property
    def key_path(self):
        """The public key a master needs."""
        return self.install_dir / "data" / "id_rsa.pub"

    def output(self):
        return self._out_path.read_text(errors="replace")

    def errors(self):
        return self._err_path.read_text(errors="replace")

    def session(self, **kw):
        """A connected, keyed Session; closed by stop() if still open."""
        s = Session("127.0.0.1", self.port, self.public_key, **kw)
        self._sessions.append(s)
        s.connect()
        s.exchange_key()
        return s

    def stop(self):
        """Interrupt the agent (killing it if it lingers); its output."""
        for s in self._sessions:
            s.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(STOP_TIMEOUT)
        return self.output()


def start_agent(root, port=None, setup=None, wrap=()):
    """Start an agent serving server root `root` and wait until it speaks
    TLS. `setup` is Python run on the agent object `a` before `run`;
    `wrap` is a command the agent's command line is handed to."""
    root = pathlib.Path(root)
    port = port or free_port()
    install_dir = root / "vemo" / "client-side"
    (install_dir / "data" / "port.pl").write_text(str(port))
    code = "import client\na = client.zq_vemo_client()\n%s\na.run()\n" % (
        setup or "pass")
    out_path = root / ("agent-%d.out" % port)
    err_path = root / ("agent-%d.err" % port)
    with open(str(out_path), "wb") as out, open(str(err_path), "wb") as err:
        proc = subprocess.Popen(
            list(wrap) + [sys.executable, "-u", "-c", code],
            cwd=str(install_dir),
            env=agent_env(root), stdout=out, stderr=err)
    agent = AgentProcess(root, port, proc, out_path, err_path)
    deadline = time.monotonic() + START_TIMEOUT
    while not _serves_tls(port):
        if proc.poll() is not None or time.monotonic() > deadline:
            agent.stop()
            raise RuntimeError(
                "agent did not start on port %d (exit %s)\nstdout:\n%s\n"
                "stderr:\n%s" % (port, proc.returncode, agent.output(),
                                 agent.errors()))
        time.sleep(0.1)
    agent.public_key = (install_dir / "data" / "id_rsa.pub").read_bytes()
    return agent
