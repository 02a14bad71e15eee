"""Heartbeat round trips per second on one keyed connection, side by side
with a plain TLS ping-pong of the same message sizes between two processes;
and the agent's own processor time per heartbeat, which other work on the
machine disturbs less than the round trips."""
import os
import multiprocessing
import socket
import statistics
import sys

from common import client_context, running_agent, server_context, timed
from vemo_master import MsgType, wire


def cpu_seconds(pid):
    """User and system time of process `pid` so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


ROUNDS = 5000
RUNS = 5


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


def plain_round_trips(cert, key, request, reply):
    """Seconds for ROUNDS ping-pongs of `request` and `reply` over plain TLS."""
    ports = multiprocessing.Queue()
    peer = multiprocessing.Process(target=_plain_server, args=(
        cert, key, ports, len(request), reply))
    peer.start()
    context = client_context()
    raw = socket.create_connection(("127.0.0.1", ports.get(timeout=10)), 10)
    with context.wrap_socket(raw) as tls:
        def rounds():
            for _ in range(ROUNDS):
                tls.sendall(request)
                wire.recv_exact(tls, len(reply))
        seconds = timed(rounds)
    peer.join(10)
    return seconds


def main():
    with running_agent() as agent:
        session = agent.session()
        request = wire.pack_request(MsgType.HEARTBEAT)
        session.sock.sendall(request)
        reply_size = 4 + len(session.recv_reply())
        cert = str(agent.install_dir / "cert" / "certificate.pem")
        key = str(agent.install_dir / "cert" / "privateKey.pem")

        def agent_rounds():
            for _ in range(ROUNDS):
                session.sock.sendall(request)
                session.recv_reply()

        agent_times, plain_times, agent_cpu = [], [], []
        for _ in range(RUNS):
            cpu = cpu_seconds(agent.proc.pid)
            agent_times.append(timed(agent_rounds))
            agent_cpu.append((cpu_seconds(agent.proc.pid) - cpu) / ROUNDS)
            plain_times.append(plain_round_trips(cert, key, request, b"r" * reply_size))
        agent_s, plain_s = statistics.median(agent_times), statistics.median(plain_times)
        print("heartbeat: agent %.0f round trips/s, plain TLS ping-pong %.0f/s "
              "(%d-byte request, %d-byte reply); agent/plain = %.2f (median of %d)"
              % (ROUNDS / agent_s, ROUNDS / plain_s, len(request), reply_size,
                 plain_s / agent_s, RUNS))
        print("  agent processor time per heartbeat: %.1f us (median; %.1f..%.1f)"
              % (statistics.median(agent_cpu) * 1e6, min(agent_cpu) * 1e6, max(agent_cpu) * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
