"""Upload and download through the agent, side by side with a plain TLS
stream of the same size between two processes using the same cipher (for
uploads, the receiving side writes the same file beside the agent's).
Prints median throughputs, their ratios, and how far the agent's peak
resident memory rose during each transfer."""
import argparse
import multiprocessing
import os
import socket
import statistics
import tempfile

from common import client_context, peak_growth_mib, running_agent, server_context, timed

from vemo_master import transfer

PIECE = 256 * 1024
TARGETS = {"upload": 1.3, "download": 0.95}
MIB = 1024 * 1024


def _plain_peer(cert, key, port_queue, direction, size, target):
    """The other process of the plain stream: sends `size` bytes, or
    receives them and writes them to the file `target`, as an upload
    would, over TLS with the agent's certificate."""
    context = server_context(cert, key)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port_queue.put(listener.getsockname()[1])
        raw, _ = listener.accept()
        with context.wrap_socket(raw, server_side=True) as conn, \
                open(target if direction == "recv" else os.devnull, "wb") as sink:
            buf = bytearray(PIECE)
            view = memoryview(buf)
            left = size
            while left > 0:
                if direction == "send":
                    n = min(PIECE, left)
                    conn.sendall(view[:n])
                else:
                    n = conn.recv_into(buf)
                    if n == 0:
                        raise ConnectionError("stream ended early")
                    sink.write(view[:n])
                left -= n
            conn.sendall(b"k")


def plain_stream(cert, key, direction, size, target):
    """One plain TLS stream of `size` bytes; the cipher it used."""
    ports = multiprocessing.Queue()
    peer = multiprocessing.Process(target=_plain_peer, args=(
        cert, key, ports, "send" if direction == "download" else "recv", size, target))
    peer.start()
    context = client_context()
    with socket.create_connection(("127.0.0.1", ports.get())) as raw, \
            context.wrap_socket(raw) as conn:
        buf = bytearray(PIECE)
        view = memoryview(buf)
        left = size
        while left > 0:
            if direction == "download":
                n = conn.recv_into(view, min(PIECE, left))
            else:
                n = min(PIECE, left)
                conn.sendall(view[:n])
            left -= n
        conn.recv(1)
        cipher = conn.cipher()
    peer.join()
    return cipher


def agent_upload(session, src, remote_dir):
    reply = transfer.send_upload(session, src, remote_dir, "up.bin")
    assert reply["status"], reply


def remove_upload(remote_dir):
    # Freeing the previous copy is no part of the next transfer.
    for name in ("up.bin", "plain.bin"):
        path = os.path.join(remote_dir, name)
        if os.path.exists(path):
            os.remove(path)


def agent_download(session, remote):
    header = transfer.request_download(session, remote)
    with open(os.devnull, "wb") as sink:
        transfer.receive_download(session, header, 0, sink)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--size-mib", type=int, default=256,
                        help="transfer size (1024 for the full target)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    size = args.size_mib * MIB
    with tempfile.TemporaryDirectory(prefix="vemo-transfer-") as d, \
            running_agent() as agent:
        src = os.path.join(d, "src.bin")
        with open(src, "wb") as f:
            for _ in range(args.size_mib):
                f.write(os.urandom(MIB))
        cert = str(agent.install_dir / "cert" / "certificate.pem")
        key = str(agent.install_dir / "cert" / "privateKey.pem")
        session = agent.session(timeout=120)
        pid = agent.proc.pid

        cases = {
            "upload": lambda: agent_upload(session, src, d),
            "download": lambda: agent_download(session, src),
        }
        for name, run in cases.items():
            agent_times, plain_times = [], []

            def alternate(run=run, name=name, agent_times=agent_times, plain_times=plain_times):
                # Interleaved, so that load from elsewhere hits both alike.
                for _ in range(args.runs):
                    remove_upload(d)
                    agent_times.append(timed(run))
                    plain_times.append(timed(lambda: plain_stream(
                        cert, key, name, size, os.path.join(d, "plain.bin"))))

            growth = peak_growth_mib(pid, alternate)
            agent_s = statistics.median(agent_times)
            plain_s = statistics.median(plain_times)
            # Each run's ratio, of the agent and the plain stream side by side.
            ratios = sorted(p / a for a, p in zip(agent_times, plain_times))
            print("%-8s %d MiB: agent %.0f MiB/s, plain TLS %.0f MiB/s; "
                  "agent/plain = %.2f (%.2f..%.2f; target >= %s); agent peak RSS "
                  "+%.1f MiB (target <= 16)"
                  % (name, args.size_mib, args.size_mib / agent_s,
                     args.size_mib / plain_s, statistics.median(ratios), ratios[0],
                     ratios[-1], TARGETS[name], growth))
        cipher = plain_stream(cert, key, "download", MIB, os.devnull)
        print("ciphers: agent %s, plain %s"
              % (session.sock.cipher()[:2], cipher[:2]))


if __name__ == "__main__":
    main()
