"""Upload and download through the agent, side by side with a plain TLS
stream of the same size between two processes using the same cipher.
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
MIB = 1024 * 1024


def _plain_peer(cert, key, port_queue, direction, size):
    """The other process of the plain stream: receives `size` bytes and
    drops them, or sends them, over TLS with the agent's certificate."""
    context = server_context(cert, key)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port_queue.put(listener.getsockname()[1])
        raw, _ = listener.accept()
        with context.wrap_socket(raw, server_side=True) as conn:
            buf = bytearray(PIECE)
            left = size
            while left > 0:
                if direction == "send":
                    n = min(PIECE, left)
                    conn.sendall(memoryview(buf)[:n])
                else:
                    n = conn.recv_into(buf)
                    if n == 0:
                        raise ConnectionError("stream ended early")
                left -= n
            conn.sendall(b"k")


def plain_stream(cert, key, direction, size):
    """One plain TLS stream of `size` bytes; the cipher it used."""
    ports = multiprocessing.Queue()
    peer = multiprocessing.Process(target=_plain_peer, args=(
        cert, key, ports, "send" if direction == "download" else "recv", size))
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
    path = os.path.join(remote_dir, "up.bin")
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
                    plain_times.append(timed(
                        lambda: plain_stream(cert, key, name, size)))

            growth = peak_growth_mib(pid, alternate)
            agent_s = statistics.median(agent_times)
            plain_s = statistics.median(plain_times)
            print("%-8s %d MiB: agent %.0f MiB/s, plain TLS %.0f MiB/s; "
                  "agent/plain = %.2f (target >= 0.8); agent peak RSS "
                  "+%.1f MiB (target <= 16)"
                  % (name, args.size_mib, args.size_mib / agent_s,
                     args.size_mib / plain_s, plain_s / agent_s, growth))
        cipher = plain_stream(cert, key, "download", MIB)
        print("ciphers: agent %s, plain %s"
              % (session.sock.cipher()[:2], cipher[:2]))


if __name__ == "__main__":
    main()
