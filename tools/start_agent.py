"""`make run`: start the agent installed under a server root, with a
default port when none is configured, and tell the operator what a master
needs to reach it."""
import os
import subprocess
import sys

DEFAULT_PORT = 8899


def main(root):
    root = os.path.abspath(root)
    install_dir = os.path.join(root, "vemo", "client-side")
    data = os.path.join(install_dir, "data")
    os.makedirs(data, exist_ok=True)
    port_file = os.path.join(data, "port.pl")
    if not os.path.exists(port_file):
        with open(port_file, "w") as f:
            f.write(str(DEFAULT_PORT))
    with open(port_file) as f:
        port = f.read().strip()
    code = (
        "import client\n"
        "agent = client.zq_vemo_client()\n"
        "print('agent port: %s' % " + repr(port) + ", flush=True)\n"
        "print('master public key: %s' % " + repr(os.path.join(data, "id_rsa.pub")) + ", flush=True)\n"
        "from vemo_master import cert_fingerprint\n"
        "print('certificate fingerprint (vemoctl pins it at first contact): %s'"
        " % cert_fingerprint(open(agent._cert).read()), flush=True)\n"
        "agent.run()\n")
    env = dict(os.environ, VEMO_SERVER_ROOT=root)
    try:
        return subprocess.call([sys.executable, "-u", "-c", code], cwd=install_dir, env=env)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "server-root"))
