"""New sessions per second: connect, TLS handshake, key exchange and one
heartbeat against the agent, side by side with connect, TLS handshake and
one ping-pong of the same sizes against a plain TLS server process."""
import socket
import statistics
import sys

from common import client_context, running_agent, server_context, start_plain_peer, timed

from vemo_master import MsgType, Session, wire

SESSIONS = 200
RUNS = 5


def _plain_server(cert, key, port_queue, request_size, reply):
    context = server_context(cert, key)
    with socket.create_server(("127.0.0.1", 0), backlog=64) as listener:
        port_queue.put(listener.getsockname()[1])
        for _ in range(SESSIONS * RUNS):
            conn, _ = listener.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with context.wrap_socket(conn, server_side=True) as tls:
                wire.recv_exact(tls, request_size)
                tls.sendall(reply)


def main():
    with running_agent() as agent:
        probe = agent.session()
        probe.sock.sendall(wire.pack_request(MsgType.HEARTBEAT))
        reply = b"r" * (4 + len(probe.recv_reply()))
        request = wire.pack_request(MsgType.HEARTBEAT)
        server, plain_port = start_plain_peer(agent, _plain_server, len(request), reply)
        context = client_context()

        def agent_sessions():
            for _ in range(SESSIONS):
                with Session("127.0.0.1", agent.port, agent.public_key, timeout=10) as s:
                    s.exchange_key()
                    assert s.heartbeat()

        def plain_sessions():
            for _ in range(SESSIONS):
                raw = socket.create_connection(("127.0.0.1", plain_port), 10)
                raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                with context.wrap_socket(raw) as tls:
                    tls.sendall(request)
                    wire.recv_exact(tls, len(reply))

        agent_times, plain_times = [], []
        for _ in range(RUNS):
            agent_times.append(timed(agent_sessions))
            plain_times.append(timed(plain_sessions))
        server.join(10)
        agent_s, plain_s = statistics.median(agent_times), statistics.median(plain_times)
        print("sessions: agent %.0f/s (connect, TLS, key exchange, heartbeat), plain TLS "
              "%.0f/s (connect, TLS, ping-pong); agent/plain = %.2f (median of %d)"
              % (SESSIONS / agent_s, SESSIONS / plain_s, plain_s / agent_s, RUNS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
